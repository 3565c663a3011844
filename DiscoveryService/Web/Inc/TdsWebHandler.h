// The web API: "/api/discover" (the registry's displays with their tags,
// session name and synchronised displays) and "/api/connections" (the
// registry's connection counters and purged displays) as compact JSON.
// Every other target is declined, so the server answers 404; the method,
// parameters and body of a request are not examined.
//
// Runs on the HTTP connection threads, concurrently. Each registry query
// waits for the registry's work thread. Each document is kept with the
// registry state it was built from ("/api/discover": the list version;
// "/api/connections": the counters and the disconnected rows' version) and
// served again, without copying the registry's lists, while that state stays
// the same; "/api/discover" is built from the displays' kept pieces, so a
// build writes only the displays that changed. Every request gets a
// document at least as new as the registry was when the request came: one
// built from that same state, or one whose build began after it came. At
// most one document of each kind is built at a time; requests that find the
// state changed while another builds wait and share the next build. A request whose server is stopping takes no
// document: a build on its behalf gives up within a few displays, and the
// request is taken with nothing written (its connection is closing, and
// nothing more can reach it).
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "HttpServer.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "ThreadAnnotations.h"

class TdsWebHandler : public corvane::HttpServer::IUriHandler, public corvane::IRefCountImpl {
 public:
  using Registry = corvane::talvenor::server::TalvenorDiscoveryServicePersistent;
  using DisplayInfo = corvane::talvenor::server::IDiscoveryService::DisplayInfo;
  using DisconnectedDisplay = corvane::talvenor::server::DisconnectedDisplay;

  static constexpr char kResponseHeaders[] = "Content-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n";

  // Keeps the registry alive as long as the handler lives.
  explicit TdsWebHandler(std::shared_ptr<Registry> registry);

  bool HandleRequest(Request* request, corvane::IDataStream* body, std::string* headers) override;

  // {"displays":[...]}: per display name, id, ipv4, port, user_count,
  // locked, airplay_enabled, session_capable, in_session, tags, and only in
  // session session_name and synced_display_ids. Strings keep their length
  // (NUL bytes included) and non-UTF-8 bytes pass through.
  static std::string BuildDiscoverJson(const std::vector<DisplayInfo>& displays);
  static std::string BuildConnectionsJson(uint32_t publisherCount, uint32_t subscriberCount,
                                          uint32_t publisherDisconnectCount, uint32_t subscriberDisconnectCount,
                                          const std::vector<DisconnectedDisplay>& disconnected);

  // A document as the pieces it is sent in, shared and never copied.
  using Pieces = std::vector<std::shared_ptr<const std::string>>;

  // Builds the discover document from the displays' own pieces, kept from
  // one build to the next: only a display that changed is written again, so
  // a large registry with one flapping display costs a build of one display,
  // and the documents in flight share the pieces of the rest. A document
  // below kJoinBelowBytes is joined into one piece (cheaper to send). Used
  // by one build at a time.
  class DiscoverBuilder {
   public:
    static constexpr size_t kJoinBelowBytes = 4u << 20;
    // The same bytes as BuildDiscoverJson, or null once cancelled() turns
    // true, which is asked before every display.
    std::shared_ptr<const Pieces> Build(std::vector<DisplayInfo> displays, const std::function<bool()>& cancelled);

   private:
    struct Kept {
      DisplayInfo display;
      // The display's object with a comma in front.
      std::shared_ptr<const std::string> json;
    };
    std::map<corvane::UUID, Kept> kept_;
  };

  // One kind of document, built at most once at a time and kept with the
  // state it was built from.
  template <class Key, class Document = std::shared_ptr<const std::string>>
  class DocumentCache {
   public:
    // Fills the key of the state it read and whether the document may be
    // kept (false when the registry could not answer: it is served, but
    // kept it would hide the real one until the next change); null when it
    // gave up because its request was cancelled.
    using Build = std::function<Document(Key* key, bool* keep)>;

    DocumentCache();
    // `current` is the registry's state as the caller came. The kept
    // document when it was built from that state; otherwise one from a
    // build that began after the caller came: its own, or the one it waited
    // for together with every other caller. Null only once cancelled()
    // turns true (asked while it waits, at least every kWaitSliceMs).
    Document Get(const Key& current, const Build& build, const std::function<bool()>& cancelled);

    static constexpr uint32_t kWaitSliceMs = 100;

   private:
    // Records the build's end under the lock and wakes the waiters.
    void FinishBuild(uint64_t number, const Document& json) REQUIRES(mutex_);

    // A leaf: held only to read or change the fields below, never while a
    // document is built. The build waits for the registry's work thread,
    // which takes nothing of this.
    corvane::CheckedMutex mutex_;
    std::condition_variable changed_;
    bool building_ GUARDED_BY(mutex_) = false;
    // Builds begun so far; a caller may take the result of any build with a
    // greater number than it saw on coming.
    uint64_t started_ GUARDED_BY(mutex_) = 0;
    // The number and the result of the build that ended last (null when it
    // gave up).
    uint64_t finished_ GUARDED_BY(mutex_) = 0;
    Document lastBuilt_ GUARDED_BY(mutex_);
    Key key_ GUARDED_BY(mutex_){};
    Document kept_ GUARDED_BY(mutex_);
  };

 protected:
  ~TdsWebHandler() override = default;

 private:
  // The counters and the disconnected rows' version.
  using ConnectionsKey = std::array<uint64_t, 5>;

  std::shared_ptr<const Pieces> DiscoverJson(const std::function<bool()>& cancelled);
  std::shared_ptr<const std::string> ConnectionsJson(const std::function<bool()>& cancelled);

  std::shared_ptr<Registry> registry_;
  DocumentCache<uint64_t, std::shared_ptr<const Pieces>> discover_;
  // Used by discover_'s one build at a time.
  DiscoverBuilder discoverBuilder_;
  DocumentCache<ConnectionsKey> connections_;
};
