// The web API: "/api/discover" (the registry's displays with their tags,
// session name and synchronised displays) and "/api/connections" (the
// registry's connection counters and purged displays) as compact JSON.
// Every other target is declined, so the server answers 404; the method,
// parameters and body of a request are not examined.
//
// Runs on the HTTP connection threads, concurrently. Each registry query
// waits for the registry's work thread. The last "/api/discover" document is
// kept with the registry's list version it was built from and served again,
// without a registry query, while that version stays the same (copying the
// list and building the document are most of a request's cost); a small
// lock guards that cache and is never held while a document is built.
#pragma once

#include <cstdint>
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
  static std::string BuildConnectionsJson(uint32_t publisherCount, uint32_t subscriberCount,
                                          uint32_t publisherDisconnectCount, uint32_t subscriberDisconnectCount,
                                          const std::vector<DisconnectedDisplay>& disconnected);

 protected:
  ~TdsWebHandler() override = default;

 private:
  // The current "/api/discover" document, from the cache while the
  // registry's list version is the one it was built from.
  std::shared_ptr<const std::string> DiscoverJson();

  std::shared_ptr<Registry> registry_;
  std::unique_ptr<corvane::Scheduler::FastMutex> cacheLock_;
  uint64_t cachedVersion_ = 0;
  std::shared_ptr<const std::string> cachedJson_;
};
