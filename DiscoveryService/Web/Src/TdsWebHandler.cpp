#include "TdsWebHandler.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>

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

template <class Key, class Document>
TdsWebHandler::DocumentCache<Key, Document>::DocumentCache() = default;

template <class Key, class Document>
void TdsWebHandler::DocumentCache<Key, Document>::FinishBuild(uint64_t number, const Document& json) {
  building_ = false;
  finished_ = number;
  lastBuilt_ = json;
  changed_.notify_all();
}

template <class Key, class Document>
Document TdsWebHandler::DocumentCache<Key, Document>::Get(
    const Key& current, const Build& build, const std::function<bool()>& cancelled) {
  corvane::CheckedLock hold(mutex_);
  uint64_t seen = started_;
  for (;;) {
    if (kept_ && key_ == current) return kept_;
    if (finished_ > seen) {
      if (lastBuilt_ || cancelled()) return lastBuilt_;
      // That build gave up for a request of its own (a server stopping that
      // is not this one's): the next one is this caller's to wait for.
      seen = started_;
      continue;
    }
    if (cancelled()) return nullptr;
    if (!building_) break;
    changed_.wait_for(hold.Native(), std::chrono::milliseconds(kWaitSliceMs));
  }

  building_ = true;
  const uint64_t number = ++started_;
  Document json;
  Key key{};
  bool keep = false;
  hold.Unlock();
  try {
    json = build(&key, &keep);
  } catch (...) {
    // Waiters must never wait for a build that will not end.
    hold.Lock();
    FinishBuild(number, nullptr);
    throw;
  }
  hold.Lock();
  FinishBuild(number, json);
  if (json && keep) {
    key_ = key;
    kept_ = json;
  }
  return json;
}

// The two kinds the handler keeps; tests use the first directly.
template class TdsWebHandler::DocumentCache<uint64_t>;
template class TdsWebHandler::DocumentCache<uint64_t, std::shared_ptr<const TdsWebHandler::Pieces>>;
template class TdsWebHandler::DocumentCache<std::array<uint64_t, 5>>;

TdsWebHandler::TdsWebHandler(std::shared_ptr<Registry> registry) : registry_(std::move(registry)) {}

std::shared_ptr<const TdsWebHandler::Pieces> TdsWebHandler::DiscoverJson(const std::function<bool()>& cancelled) {
  // Asking for the version costs nothing; the list itself is copied on the
  // registry's one work thread, which every request would otherwise queue on.
  return discover_.Get(
      registry_->GetListVersion(),
      [&](uint64_t* version, bool* keep) -> std::shared_ptr<const Pieces> {
        if (cancelled()) return nullptr;
        std::vector<DisplayInfo> displays;
        *keep = registry_->GetDiscovered(&displays, version);
        return discoverBuilder_.Build(std::move(displays), cancelled);
      },
      cancelled);
}

std::shared_ptr<const std::string> TdsWebHandler::ConnectionsJson(const std::function<bool()>& cancelled) {
  const auto counts = [this](ConnectionsKey* key) {
    uint32_t publishers = 0, subscribers = 0, publisherDisconnects = 0, subscriberDisconnects = 0;
    registry_->GetConnectionCounts(&publishers, &subscribers, &publisherDisconnects, &subscriberDisconnects);
    *key = ConnectionsKey{publishers, subscribers, publisherDisconnects, subscriberDisconnects, 0};
  };
  ConnectionsKey current;
  counts(&current);
  current[4] = registry_->GetDisconnectedVersion();
  return connections_.Get(
      current,
      [&](ConnectionsKey* key, bool* keep) -> std::shared_ptr<const std::string> {
        if (cancelled()) return nullptr;
        // Read afresh: the build may begin well after the caller came, and
        // its document must be as new as every caller that shares it.
        counts(key);
        std::vector<DisconnectedDisplay> disconnected;
        registry_->GetDisconnectedDisplays(&disconnected, &(*key)[4]);
        *keep = true;
        const auto& k = *key;
        return std::make_shared<const std::string>(BuildConnectionsJson(
            static_cast<uint32_t>(k[0]), static_cast<uint32_t>(k[1]), static_cast<uint32_t>(k[2]),
            static_cast<uint32_t>(k[3]), disconnected));
      },
      cancelled);
}

std::string TdsWebHandler::BuildDiscoverJson(const std::vector<DisplayInfo>& displays) {
  std::string json;
  StringOutput out(&json);
  rapidjson::Writer<StringOutput> w(out);
  w.StartObject();
  Key(w, "displays");
  w.StartArray();
  for (const auto& display : displays) WriteDisplay(w, display);
  w.EndArray();
  w.EndObject();
  return json;
}

std::shared_ptr<const TdsWebHandler::Pieces> TdsWebHandler::DiscoverBuilder::Build(
    std::vector<DisplayInfo> displays, const std::function<bool()>& cancelled) {
  static constexpr char kHead[] = "{\"displays\":[";
  static constexpr char kTail[] = "]}";
  auto pieces = std::make_shared<Pieces>();
  pieces->reserve(displays.size() + 2);
  pieces->push_back(std::make_shared<const std::string>(kHead));
  size_t total = sizeof(kHead) - 1 + sizeof(kTail) - 1;
  std::map<corvane::UUID, Kept> next;
  for (auto& display : displays) {
    // A display of the largest records is some 30 KB: asking before each
    // one lets a huge document give up within milliseconds.
    if (cancelled && cancelled()) return nullptr;
    std::shared_ptr<const std::string> json;
    // A display listed twice (published here and learned over protocol 1)
    // is looked up among this build's too.
    for (const auto* kept : {&next, &kept_}) {
      auto it = kept->find(display.id);
      if (it != kept->end() && it->second.display == display) {
        json = it->second.json;
        break;
      }
    }
    if (!json) {
      auto text = std::make_shared<std::string>(",");
      StringOutput out(text.get());
      rapidjson::Writer<StringOutput> w(out);
      WriteDisplay(w, display);
      json = std::move(text);
    }
    total += json->size() - (pieces->size() == 1 ? 1 : 0);
    pieces->push_back(json);
    const corvane::UUID id = display.id;
    next.insert_or_assign(id, Kept{std::move(display), std::move(json)});
  }
  pieces->push_back(std::make_shared<const std::string>(kTail));
  // The pieces of displays gone since are let go.
  kept_.swap(next);
  // The first display's object goes without its comma.
  if (pieces->size() > 2) {
    auto first = std::make_shared<std::string>(*(*pieces)[0]);
    first->append(*(*pieces)[1], 1, std::string::npos);
    pieces->erase(pieces->begin());
    (*pieces)[0] = std::move(first);
  }
  if (total < kJoinBelowBytes) {
    auto joined = std::make_shared<std::string>();
    joined->reserve(total);
    for (const auto& piece : *pieces) joined->append(*piece);
    return std::make_shared<const Pieces>(Pieces{std::move(joined)});
  }
  return pieces;
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
  const std::function<bool()> cancelled = [request] { return request->Cancelled(); };
  std::shared_ptr<const Pieces> json;
  if (uri == "/api/discover") {
    json = DiscoverJson(cancelled);
  } else if (uri == "/api/connections") {
    if (auto text = ConnectionsJson(cancelled)) json = std::make_shared<const Pieces>(Pieces{std::move(text)});
  } else {
    return false;
  }
  // Only a stopping server's request goes without a document; its
  // connection is being closed, so there is nothing to answer.
  if (!json) return true;
  // The cached document is shared with the response, not copied into it.
  for (const auto& piece : *json) {
    if (corvane::Failed(corvane::AppendSharedBytes(body, piece))) return false;
  }
  *headers = kResponseHeaders;
  return true;
}
