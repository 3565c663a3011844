#include "TdsWebHandler.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "DataStream.h"
#include "HttpRequest.h"
#include "Locks.h"
#include "StringUtils.h"
#include "TalvenorDiscoveryAppData.h"

using corvane::talvenor::TagSet;
using corvane::talvenor::TalvenorDiscoveryAppData;

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void Key(JsonWriter& w, const char* name) { w.Key(name); }
void String(JsonWriter& w, const std::string& text) {
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteDisplay(JsonWriter& w, const TdsWebHandler::DisplayInfo& display) {
  const uint32_t flags = display.flags;
  const bool inSession = (flags & 0x1000000) != 0;
  w.StartObject();
  Key(w, "name");
  String(w, display.name);
  Key(w, "id");
  String(w, display.id.ToString());
  Key(w, "ipv4");
  String(w, corvane::FormatIPv4(display.ipv4));
  Key(w, "port");
  w.Uint(display.port);
  Key(w, "user_count");
  w.Uint((flags >> 16) & 0xFF);
  Key(w, "locked");
  w.Bool((flags & 0x800) != 0);
  Key(w, "airplay_enabled");
  w.Bool((flags & 0x4000) != 0);
  Key(w, "session_capable");
  w.Bool((flags & 0x2000000) != 0);
  Key(w, "in_session");
  w.Bool(inSession);

  TagSet tags;
  TalvenorDiscoveryAppData::ParseTags(display.appData, &tags);
  Key(w, "tags");
  w.StartArray();
  for (const auto& tag : tags) {
    w.StartObject();
    Key(w, "tag_name");
    String(w, tag.name);
    Key(w, "tag_color_index");
    w.Uint(static_cast<uint32_t>(tag.colorIndex) & 0xFF);
    w.EndObject();
  }
  w.EndArray();

  if (inSession) {
    std::string sessionName;
    TalvenorDiscoveryAppData::ParseSessionName(display.appData, &sessionName);
    Key(w, "session_name");
    String(w, sessionName);
    std::vector<corvane::UUID> synced;
    TalvenorDiscoveryAppData::ParseSyncedDisplays(display.appData, &synced);
    Key(w, "synced_display_ids");
    w.StartArray();
    for (const auto& id : synced) {
      w.StartObject();
      Key(w, "display_id");
      String(w, id.ToString());
      w.EndObject();
    }
    w.EndArray();
  }
  w.EndObject();
}

}  // namespace

TdsWebHandler::TdsWebHandler(std::shared_ptr<Registry> registry)
    : registry_(std::move(registry)), cacheLock_(corvane::GetDefaultScheduler()->CreateFastMutex()) {}

std::shared_ptr<const std::string> TdsWebHandler::DiscoverJson() {
  // Asking for the version costs nothing; the list itself is copied on the
  // registry's one work thread, which every request would otherwise queue on.
  const uint64_t current = registry_->GetListVersion();
  {
    corvane::ScopedLock hold(cacheLock_.get());
    if (cachedJson_ && cachedVersion_ == current) return cachedJson_;
  }
  std::vector<DisplayInfo> displays;
  uint64_t version = 0;
  const bool listed = registry_->GetDiscovered(&displays, &version);
  // Built outside the lock: concurrent requests for a changed list each
  // build it, and the newest one is kept.
  auto json = std::make_shared<const std::string>(BuildDiscoverJson(displays));
  // A list the registry could not give (it is stopping) is served but never
  // kept: it would hide the real list until the next change.
  if (!listed) return json;
  corvane::ScopedLock hold(cacheLock_.get());
  if (!cachedJson_ || version >= cachedVersion_) {
    cachedVersion_ = version;
    cachedJson_ = json;
  }
  return json;
}

std::string TdsWebHandler::BuildDiscoverJson(const std::vector<DisplayInfo>& displays) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  Key(w, "displays");
  w.StartArray();
  for (const auto& display : displays) WriteDisplay(w, display);
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string TdsWebHandler::BuildConnectionsJson(uint32_t publisherCount, uint32_t subscriberCount,
                                                uint32_t publisherDisconnectCount,
                                                uint32_t subscriberDisconnectCount,
                                                const std::vector<DisconnectedDisplay>& disconnected) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  Key(w, "connections");
  w.StartObject();
  Key(w, "publisher_count");
  w.Uint(publisherCount);
  Key(w, "subscriber_count");
  w.Uint(subscriberCount);
  Key(w, "publisher_disconnect_count");
  w.Uint(publisherDisconnectCount);
  Key(w, "subscriber_disconnect_count");
  w.Uint(subscriberDisconnectCount);
  w.EndObject();
  Key(w, "disconnected_displays");
  w.StartArray();
  for (const auto& row : disconnected) {
    w.StartObject();
    Key(w, "name");
    String(w, row.name);
    Key(w, "disconnect_count");
    w.Uint(row.disconnectCount);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool TdsWebHandler::HandleRequest(Request* request, corvane::IDataStream* body, std::string* headers) {
  if (!request || !body || !headers || !registry_) return false;
  const std::string uri = request->GetRequestUri();
  std::string json;
  if (uri == "/api/discover") {
    // The cached document is shared with the response, not copied into it.
    if (corvane::Failed(corvane::AppendSharedBytes(body, DiscoverJson()))) return false;
    *headers = kResponseHeaders;
    return true;
  } else if (uri == "/api/connections") {
    uint32_t publishers = 0, subscribers = 0, publisherDisconnects = 0, subscriberDisconnects = 0;
    registry_->GetConnectionCounts(&publishers, &subscribers, &publisherDisconnects, &subscriberDisconnects);
    std::vector<DisconnectedDisplay> disconnected;
    registry_->GetDisconnectedDisplays(&disconnected);
    json = BuildConnectionsJson(publishers, subscribers, publisherDisconnects, subscriberDisconnects, disconnected);
  } else {
    return false;
  }
  body->Write(json.data(), static_cast<uint32_t>(json.size()));
  *headers = kResponseHeaders;
  return true;
}
