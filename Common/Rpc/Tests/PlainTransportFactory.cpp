#include "FakeTransport.h"
#include "Network.h"
#include "TransportLoopbackSupport.h"

namespace corvane::test {

namespace {

RefPtr<ITransport> MakePlain(uint16_t port) {
  RefPtr<ITransport> transport;
  if (platform::CreateInstance(0, port, transport.Receive()) < 0 || !transport) return {};
  // Asynchronous delivery, as the services run their endpoints.
  if (transport->Initialize(true, true) < 0) return {};
  return transport;
}

}  // namespace

TransportFactory PlainTransportFactory() {
  TransportFactory f;
  f.name = "Plain";
  // The transport cannot report the port it was given by the kernel, so a
  // port that was free a moment ago is bound instead; never one of the
  // service's fixed ports, which other tests hold under a lock.
  f.makeServer = [](uint16_t* port) {
    do {
      *port = FreePort();
    } while (*port >= 53200 && *port <= 53202);
    return MakePlain(*port);
  };
  f.makeClient = [] { return MakePlain(0); };
  return f;
}

}  // namespace corvane::test
