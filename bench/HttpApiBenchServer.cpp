// The web API on its own for load tests: an HTTP server on the given port
// with TdsWebHandler under "/api" over a registry holding `displays`
// displays (each with three tags and a session). Writes the exact
// "/api/discover" body to `bodyFile` (for a static server to serve the same
// bytes), prints "READY", and runs until SIGTERM or SIGINT; then stops and
// prints the requests still pending (0 when none leaked).
//
//   HttpApiBenchServer <port> <displays> <bodyFile>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "HttpServer.h"
#include "TdsWebHandler.h"

using corvane::RefPtr;
using Registry = corvane::talvenor::server::TalvenorDiscoveryServicePersistent;
using DisplayInfo = corvane::talvenor::server::IDiscoveryService::DisplayInfo;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <port> <displays> <bodyFile>\n", argv[0]);
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const int count = std::atoi(argv[2]);

  // Signals are taken by sigwait below, never by a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto registry = std::make_shared<Registry>(0);
  for (int i = 0; i < count; i++) {
    DisplayInfo display;
    char id[40];
    std::snprintf(id, sizeof id, "2783ffd0-7ec7-11e2-9e96-%012x", i);
    display.id = corvane::UUID(id);
    display.name = "Display " + std::to_string(i);
    display.ipv4 = 0x0A000000u + static_cast<uint32_t>(i);
    display.port = 7000;
    display.flags = 0x01020800;
    display.appData = "TG=Lobby:0,Floor%3A2:1,Demo:3;SN=Room " + std::to_string(i) + ";SD=" + id + ";";
    registry->ForwardToSubscribers(display);
  }
  std::vector<DisplayInfo> all;
  while (static_cast<int>(all.size()) < count) {
    all.clear();
    registry->GetDiscovered(&all);
  }
  std::ofstream(argv[3], std::ios::binary) << TdsWebHandler::BuildDiscoverJson(all);

  RefPtr<corvane::HttpServer> server(new corvane::HttpServer(0, port), false);
  server->RegisterHandler("/api", RefPtr<TdsWebHandler>(new TdsWebHandler(registry), false).Get());
  if (server->Start() != 0) {
    std::fprintf(stderr, "cannot listen on port %u\n", port);
    return 1;
  }
  std::printf("READY\n");
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  const size_t pending = server->PendingRequestCount();
  server->Stop();
  std::printf("pending requests at stop: %zu\n", pending);
  return 0;
}
