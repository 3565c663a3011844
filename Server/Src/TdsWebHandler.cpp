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

// A writer's output straight into a string, so a large document is never
// held twice.
class StringOutput {
 public:
  using Ch = char;
  explicit StringOutput(std::string* out) : out_(out) {}
  void Put(char c) { out_->push_back(c); }
  void Flush() {}

 private:
  std::string* out_;
};

template <class Writer>
void Key(Writer& w, const char* name) {
  w.Key(name);
}
template <class Writer>
void String(Writer& w, const std::string& text) {
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

template <class Writer>
void WriteDisplay(Writer& w, const TdsWebHandler::DisplayInfo& display) {
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

template <class Key>
TdsWebHandler::DocumentCache<Key>::DocumentCache()
    : lock_(corvane::GetDefaultScheduler()->CreateFastMutex()),
      buildLock_(corvane::GetDefaultScheduler()->CreateFastMutex()) {}

template <class Key>
std::shared_ptr<const std::string> TdsWebHandler::DocumentCache<Key>::Get(
    const Key& current, const std::function<std::shared_ptr<const std::string>(Key*, bool*)>& build) {
  uint64_t seen;
  {
    corvane::ScopedLock hold(lock_.get());
    if (json_ && (key_ == current || building_)) return json_;
    seen = builds_;
  }
  corvane::ScopedLock building(buildLock_.get());
  {
    corvane::ScopedLock hold(lock_.get());
    if (json_ && (key_ == current || builds_ != seen)) return json_;
    building_ = true;
  }
  struct Done {
    DocumentCache* cache;
    ~Done() {
      corvane::ScopedLock hold(cache->lock_.get());
      cache->building_ = false;
    }
  } done{this};
  Key key{};
  bool keep = false;
  std::shared_ptr<const std::string> json = build(&key, &keep);
  // A document the registry could not give (it is stopping) is served but
  // never kept: it would hide the real one until the next change.
  if (keep) {
    corvane::ScopedLock hold(lock_.get());
    key_ = key;
    json_ = json;
    ++builds_;
  }
  return json;
}

TdsWebHandler::TdsWebHandler(std::shared_ptr<Registry> registry) : registry_(std::move(registry)) {}

std::shared_ptr<const std::string> TdsWebHandler::DiscoverJson() {
  // Asking for the version costs nothing; the list itself is copied on the
  // registry's one work thread, which every request would otherwise queue on.
  return discover_.Get(registry_->GetListVersion(), [this](uint64_t* version, bool* keep) {
    std::vector<DisplayInfo> displays;
    *keep = registry_->GetDiscovered(&displays, version);
    return BuildSharedDiscoverJson(displays);
  });
}

std::shared_ptr<const std::string> TdsWebHandler::ConnectionsJson() {
  uint32_t publishers = 0, subscribers = 0, publisherDisconnects = 0, subscriberDisconnects = 0;
  registry_->GetConnectionCounts(&publishers, &subscribers, &publisherDisconnects, &subscriberDisconnects);
  const ConnectionsKey current{publishers, subscribers, publisherDisconnects, subscriberDisconnects,
                               registry_->GetDisconnectedVersion()};
  return connections_.Get(current, [&](ConnectionsKey* key, bool* keep) {
    std::vector<DisconnectedDisplay> disconnected;
    uint64_t version = 0;
    registry_->GetDisconnectedDisplays(&disconnected, &version);
    // The counters this document shows are the ones it is kept under.
    *key = ConnectionsKey{publishers, subscribers, publisherDisconnects, subscriberDisconnects, version};
    *keep = true;
    return std::make_shared<const std::string>(
        BuildConnectionsJson(publishers, subscribers, publisherDisconnects, subscriberDisconnects, disconnected));
  });
}

std::string TdsWebHandler::BuildDiscoverJson(const std::vector<DisplayInfo>& displays) {
  return *BuildSharedDiscoverJson(displays);
}

std::shared_ptr<const std::string> TdsWebHandler::BuildSharedDiscoverJson(const std::vector<DisplayInfo>& displays) {
  auto json = std::make_shared<std::string>();
  // Most displays' objects are a few hundred bytes.
  json->reserve(16 + displays.size() * 320);
  StringOutput out(json.get());
  rapidjson::Writer<StringOutput> w(out);
  w.StartObject();
  Key(w, "displays");
  w.StartArray();
  for (const auto& display : displays) WriteDisplay(w, display);
  w.EndArray();
  w.EndObject();
  return json;
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
  std::shared_ptr<const std::string> json;
  if (uri == "/api/discover") {
    json = DiscoverJson();
  } else if (uri == "/api/connections") {
    json = ConnectionsJson();
  } else {
    return false;
  }
  // The cached document is shared with the response, not copied into it.
  if (corvane::Failed(corvane::AppendSharedBytes(body, std::move(json)))) return false;
  *headers = kResponseHeaders;
  return true;
}
