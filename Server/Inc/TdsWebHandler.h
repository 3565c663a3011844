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
// the same. At most one document of each kind is built at a time: a request
// that finds the state changed while another builds takes the newest
// finished document, or waits for the build when there is none. Small locks
// guard the caches and are never held while a document is built.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "HttpServer.h"
#include "RefCount.h"
#include "Scheduler.h"

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
  // The same written straight into a string of its own (no second copy of a
  // large document).
  static std::shared_ptr<const std::string> BuildSharedDiscoverJson(const std::vector<DisplayInfo>& displays);
  static std::string BuildConnectionsJson(uint32_t publisherCount, uint32_t subscriberCount,
                                          uint32_t publisherDisconnectCount, uint32_t subscriberDisconnectCount,
                                          const std::vector<DisconnectedDisplay>& disconnected);

  // One kind of document, built at most once at a time and kept with the
  // state it was built from.
  template <class Key>
  class DocumentCache {
   public:
    DocumentCache();
    // The kept document while `current` is its key; otherwise the newest
    // finished one while another request builds, or a fresh one from
    // build(&key), which returns null when the registry could not answer
    // (then built again next time). Never null.
    std::shared_ptr<const std::string> Get(
        const Key& current, const std::function<std::shared_ptr<const std::string>(Key*, bool*)>& build);

   private:
    // Lock order: buildLock_, then lock_ (a leaf, held only to read or swap
    // the kept document). buildLock_ is held across the build, which waits
    // for the registry's work thread; that thread takes neither. Framework
    // locks: not under the compiler's lock analysis.
    std::unique_ptr<corvane::Scheduler::FastMutex> lock_;
    // Held while a document is built; a request with nothing to serve waits
    // on it.
    std::unique_ptr<corvane::Scheduler::FastMutex> buildLock_;
    bool building_ = false;
    // Documents kept so far: a request that waited for a build takes the
    // one that finished after it came.
    uint64_t builds_ = 0;
    Key key_{};
    std::shared_ptr<const std::string> json_;
  };

 protected:
  ~TdsWebHandler() override = default;

 private:
  // The counters and the disconnected rows' version.
  using ConnectionsKey = std::array<uint64_t, 5>;

  std::shared_ptr<const std::string> DiscoverJson();
  std::shared_ptr<const std::string> ConnectionsJson();

  std::shared_ptr<Registry> registry_;
  DocumentCache<uint64_t> discover_;
  DocumentCache<ConnectionsKey> connections_;
};
