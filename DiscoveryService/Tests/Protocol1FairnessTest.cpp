// The protocol-1 service shared fairly: one peer address cannot take every
// registration or display from the others, a registration whose caller is
// already gone is not kept, and an id known over both protocols is listed
// once. The service runs in this process on two free ports; the flooding
// peers come from loopback addresses of their own and write the transport's
// frames and RPC records by hand, the legitimate client is a real one from
// 127.0.0.1.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AddressShares.h"
#include "DiscoveryService.h"
#include "Protocol1TestSupport.h"
#include "Result.h"
#include "SocketLayer.h"
#include "TestLoopbackPeer.h"
#include "TransportAdapter.h"

namespace corvane::talvenor::server::testing {
namespace {

using Service = TalvenorDiscoveryService;

constexpr uint32_t kFlooder = 0x7F000002;
constexpr uint32_t kOtherFlooder = 0x7F000003;

// The service on two free loopback ports.
struct Running {
  Running() {
    service.Attach(new Service(0, [this](uint16_t port, ITransport** out) {
      return CreateAdaptedTransport(kLoopback, port == 0 ? rpcPort : callbackPort, out);
    }));
    EXPECT_EQ(0, service->Initialize());
  }
  ~Running() { service->Shutdown(); }
  int Registrations() {
    int connections = 0, pending = 0;
    service->GetCallbackStatistics(&connections, &pending);
    return connections;
  }
  uint16_t rpcPort = test::PickFreePort();
  uint16_t callbackPort = test::PickFreePort();
  RefPtr<Service> service;
};

// A transport connection from a chosen loopback address, spoken by hand:
// the server's handshake read, then plain binary frames.
struct RawConnection {
  bool Open(uint16_t port, uint32_t source) {
    Bytes handshake;
    if (!peer.Connect(port, 5000, 0, source) || !peer.ReceiveExactly(49, &handshake)) return false;
    id = UUID(std::string(handshake.begin() + 11, handshake.begin() + 47));
    return true;
  }
  // A call of the service's object: one-way, or two-way with its result
  // (1 when no answer came).
  bool Send(int method, const Bytes& params, const UUID& call = UUID()) {
    const Bytes body = Cat({{uint8_t(call == UUID() ? 1 : 0)},
                            Wire(DiscoveryServiceStubId),
                            {uint8_t(method), uint8_t(method >> 8)},
                            Wire(call),
                            params});
    return peer.Send(Cat({Text("CRVMSG"), {0}, U32(static_cast<uint32_t>(body.size())), Wire(RpcChannelType), body}));
  }
  int Call(int method, const Bytes& params) {
    UUID call;
    call.Generate();
    if (!Send(method, params, call)) return 1;
    Bytes head, body;
    while (peer.ReceiveExactly(27, &head, 20000)) {
      const uint32_t size = head[7] | head[8] << 8 | head[9] << 16 | uint32_t(head[10]) << 24;
      if (!peer.ReceiveExactly(size, &body, 20000)) break;
      if (body.size() >= 21 && body[0] == 2 && Bytes(body.begin() + 1, body.begin() + 17) == Wire(call)) {
        return static_cast<int>(body[17] | body[18] << 8 | body[19] << 16 | uint32_t(body[20]) << 24);
      }
    }
    return 1;
  }
  test::LoopbackPeer peer;
  UUID id;
};

Bytes Update(uint32_t n, const std::string& appData = "") {
  return UpdateRequest(UUID(0x20000000u + n, 0, 0x4000, 0x8000000000000000ull), "d", "", 0x0A000001, 1, 0, appData);
}

TEST(Protocol1FairnessTest, OneAddressHoldsOnlyItsShareOfRegistrationsAndDisplays) {
  platform::EnsureOpenFileLimit(4096, nullptr);
  Running s;
  // Registrations: every one the flooder's share allows, each with a live
  // callback connection of its own, then one more.
  const size_t registrationShare = Service::kMaxRegistrations / AddressShares::kShareDivisor;
  std::vector<std::unique_ptr<RawConnection>> held;
  for (size_t n = 0; n <= registrationShare; ++n) {
    auto rpc = std::make_unique<RawConnection>(), callback = std::make_unique<RawConnection>();
    ASSERT_TRUE(rpc->Open(s.rpcPort, kFlooder));
    ASSERT_TRUE(callback->Open(s.callbackPort, kFlooder));
    EXPECT_EQ(rpc->Call(DiscoveryServiceMethod_AddNotify, Wire(callback->id)),
              n < registrationShare ? 0 : static_cast<int>(Result_Fail))
        << "registration " << n;
    held.push_back(std::move(rpc));
    held.push_back(std::move(callback));
  }
  EXPECT_EQ(static_cast<size_t>(s.Registrations()), registrationShare);
  Protocol1Client client;
  ASSERT_TRUE(client.Connect(5000, s.rpcPort, s.callbackPort));
  EXPECT_EQ(client.Call(DiscoveryServiceMethod_AddNotify, Wire(client.callbackConnection)), 0);

  // Displays by count: the share in one burst; a new one past it is
  // refused, while the flooder's own stay refreshable and others may add.
  const uint32_t displayShare = Service::kMaxDisplays / AddressShares::kShareDivisor;
  RawConnection flooder;
  ASSERT_TRUE(flooder.Open(s.rpcPort, kFlooder));
  for (uint32_t n = 0; n < displayShare; ++n) ASSERT_TRUE(flooder.Send(DiscoveryServiceMethod_UpdateDisplay, Update(n)));
  EXPECT_EQ(flooder.Call(DiscoveryServiceMethod_UpdateDisplay, Update(displayShare)), static_cast<int>(Result_Fail));
  EXPECT_EQ(flooder.Call(DiscoveryServiceMethod_UpdateDisplay, Update(0, "refreshed")), 0);
  EXPECT_EQ(client.Call(DiscoveryServiceMethod_UpdateDisplay, Update(displayShare)), 0);

  // Displays by bytes: the largest records another address may hold.
  const std::string longest(Service::kMaxStringBytes, 'x');
  const uint64_t perDisplay = 3 * longest.size();
  const uint64_t fits = Service::kMaxDisplayBytes / AddressShares::kShareDivisor / perDisplay;
  RawConnection large;
  ASSERT_TRUE(large.Open(s.rpcPort, kOtherFlooder));
  for (uint32_t n = 0; n <= fits; ++n) {
    const UUID id(0x30000000u + n, 0, 0x4000, 0x8000000000000000ull);
    EXPECT_EQ(large.Call(DiscoveryServiceMethod_UpdateDisplay, UpdateRequest(id, longest, longest, 1, 1, 0, longest)),
              n < fits ? 0 : static_cast<int>(Result_Fail))
        << "display " << n;
  }
  EXPECT_EQ(client.Call(DiscoveryServiceMethod_UpdateDisplay,
                        UpdateRequest(UUID(0x40000000u, 0, 0x4000, 0x8000000000000000ull), longest, longest, 1, 1, 0,
                                      longest)),
            0);
}

// A caller's disconnect can come before its AddNotify is delivered; a
// registration made after it would hold a slot that no disconnect frees.
TEST(Protocol1FairnessTest, ARegistrationWhoseCallerIsGoneIsNotKept) {
  Running s;
  Protocol1Client client;
  ASSERT_TRUE(client.Connect(5000, s.rpcPort, s.callbackPort));
  UUID gone;
  gone.Generate();
  EXPECT_EQ(s.service->AddNotify(gone, client.callbackConnection, DiscoveryServiceStubId),
            static_cast<int>(Result_Fail));
  EXPECT_EQ(s.Registrations(), 0);
  EXPECT_EQ(client.Call(DiscoveryServiceMethod_AddNotify, Wire(client.callbackConnection)), 0);
  EXPECT_EQ(s.Registrations(), 1);
}

// The protocol-2 publisher owns an id it publishes: protocol 1 lists its
// record alone, and its own again once protocol 2 lets the id go.
TEST(Protocol1FairnessTest, AnIdPublishedOnBothProtocolsIsListedOnce) {
  Running s;
  Protocol1Client client;
  ASSERT_TRUE(client.Connect(5000, s.rpcPort, s.callbackPort));
  ASSERT_EQ(client.Call(DiscoveryServiceMethod_AddNotify, Wire(client.callbackConnection)), 0);
  const UUID id("00000000-0000-4000-8000-0000000000aa");
  const uint32_t ipv4 = 0x0A000001;
  ASSERT_EQ(s.service->UpdateDisplay(id, "one", "", &ipv4, 1, 0, ""), 0);
  DisplayInfo published = Display(id, "two");
  s.service->StoreForeignDisplay(published);
  auto listed = [&] {
    const size_t before = client.recorder->Count();
    uint64_t stamp = 0;
    EXPECT_EQ(client.Enumerate(false, 0, &stamp), 0);
    EXPECT_TRUE(WaitUntil([&] { return client.recorder->Count() > before; }));
    return client.recorder->Batches().back();
  };
  Bytes list = listed();
  EXPECT_EQ(Bytes(list.begin(), list.begin() + 4), U32(1));
  EXPECT_TRUE(Contains(list, Str("two")));
  s.service->RemoveDisplayByUuid(id);
  list = listed();
  EXPECT_EQ(Bytes(list.begin(), list.begin() + 4), U32(1));
  EXPECT_TRUE(Contains(list, Str("one")));
}

}  // namespace
}  // namespace corvane::talvenor::server::testing
