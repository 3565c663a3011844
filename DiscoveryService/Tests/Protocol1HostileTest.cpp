// The protocol-1 service against peers that speak the layered transport by
// hand: a flow-controlled peer that never acknowledges, a peer that renames
// its connection between registrations, and a callback connection whose
// window fills in the middle of a callback. The service runs on two free
// ports; every peer is a bare transport writing the layer records itself.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryService.h"
#include "DiscoveryServiceConstants.h"
#include "DiscoveryServiceStubImpl.h"
#include "IRpc.h"
#include "Network.h"
#include "Result.h"
#include "RpcCallbackThread.h"
#include "SocketLayer.h"
#include "TestLogCapture.h"
#include "TestLoopbackPeer.h"
#include "TransportAdapter.h"
#include "TransportLoopbackSupport.h"

namespace corvane::talvenor::server {
namespace {

using test::kLoopback;
using test::RecordingReceiver;
using test::WaitUntil;

using test::ConnectRecord;

std::string Le(uint64_t v, int bytes) { return test::Le64(v).substr(0, bytes); }
std::string Wire(const UUID& id) { return test::UuidBytes(id); }

// [5][seq][0][RPC type] then a two-way request of the service's object.
std::string RpcRequest(uint64_t sequence, int method, const std::string& params) {
  UUID call;
  call.Generate();
  return "\x05" + Le(sequence, 8) + std::string(1, '\0') + Wire(RpcChannelType) + std::string(1, '\0') +
         Wire(DiscoveryServiceStubId) + Le(static_cast<uint64_t>(method), 2) + Wire(call) + params;
}

// The same in mode 2: flow data and a single last fragment in front.
std::string FlowFramed(const std::string& record) { return "\x02" + Le(1, 8) + "\x01\x01" + record; }

// The service on two free ports.
struct Service {
  Service() : service(0, [this](uint16_t port, ITransport** out) {
                return CreateAdaptedTransport(kLoopback, port == 0 ? rpcPort : callbackPort, out);
              }) {
    EXPECT_EQ(0, service.Initialize());
  }
  uint16_t rpcPort = test::FreePort();
  uint16_t callbackPort = test::FreePort();
  TalvenorDiscoveryService service;
  int CallbackConnections() {
    int connections = 0, pending = 0;
    service.GetCallbackStatistics(&connections, &pending);
    return connections;
  }
};

// A bare transport: the peer writes every layer record itself.
struct Peer {
  Peer() {
    EXPECT_EQ(0, platform::CreateInstance(0, 0, transport.Receive()));
    EXPECT_EQ(0, transport->Initialize(true, true));
    EXPECT_EQ(0, transport->AddNotify(receiver.Get()));
  }
  ~Peer() {
    transport->RemoveNotify(receiver.Get());
    transport->Finalize();
  }
  UUID Open(uint16_t port, int timeoutMs = 5000) {
    UUID id;
    EXPECT_EQ(0, transport->OpenConnection(kLoopback, port, &id, timeoutMs));
    return id;
  }
  int Write(const UUID& id, const UUID& type, const std::string& bytes) {
    return transport->Write(id, type, test::StreamOf(bytes).Get());
  }
  size_t Received(const UUID& id) {
    size_t n = 0;
    for (const auto& m : receiver->Messages()) n += m.connection == id;
    return n;
  }
  RefPtr<ITransport> transport;
  RefPtr<RecordingReceiver> receiver{new RecordingReceiver(), false};
};

// A plain protocol-1 caller: RPC over a bare transport, no layers.
struct Caller {
  explicit Caller(uint16_t port, int openTimeoutMs = 5000) {
    CreateRpc(rpc.Receive());
    rpc->SetTransport(peer.transport.Get(), 0);
    connection = peer.Open(port, openTimeoutMs);
  }
  ~Caller() { rpc->Detach(); }
  int Call(int method, const std::string& params = "") {
    RefPtr<IDataStream> response;
    CreateDataStream(response.Receive());
    return rpc->Execute(connection, DiscoveryServiceStubId, method, test::StreamOf(params).Get(), response.Get(),
                        30000);
  }
  Peer peer;
  RefPtr<IRpc> rpc;
  UUID connection;
};

// Peers that take every slot of the RPC port and then say nothing, not
// even reading the transport's handshake, do not lock a caller out: the
// listener closes one of them for the caller.
TEST(Protocol1HostileTest, SilentPeersOnEverySlotDoNotLockACallerOut) {
  test::ScopedCapture log;
  platform::EnsureOpenFileLimit(4096, nullptr);
  Service s;
  std::vector<test::LoopbackPeer> silent(100);
  for (auto& peer : silent) ASSERT_TRUE(peer.Connect(s.rpcPort, 5000, 0, 0x7F000002u));
  ASSERT_TRUE(WaitUntil([&] { return log->Contains("Exceeded MAX_CONNECTION_COUNT -- will not accept new connections"); }));
  Caller caller(s.rpcPort, 30000);
  EXPECT_EQ(0, caller.Call(DiscoveryServiceMethod_RemoveNotify));
  EXPECT_TRUE(log->Contains("All 100 connection slots are held: closing connection"));
  size_t closed = 0;
  for (auto& peer : silent) closed += peer.WaitClosed(0);
  EXPECT_EQ(1u, closed);
}

// The transport's one delivery thread carries every caller's requests; a
// peer whose flow-control window stays full costs it a short wait per
// answer, not the write time-out, so another caller's calls go on.
TEST(Protocol1HostileTest, AStalledWindowDoesNotDelayAnotherCaller) {
  test::ScopedCapture log;
  Service s;
  Peer hostile;
  const UUID socket = hostile.Open(s.rpcPort);
  UUID id, instance;
  id.Generate();
  instance.Generate();
  const UUID flow = FlowControlledMessageType();
  ASSERT_EQ(0, hostile.Write(socket, flow, ConnectRecord(id, instance, false)));
  // More two-way requests than their answers' window holds; nothing is
  // ever acknowledged.
  constexpr int kRequests = 160;
  for (int n = 1; n <= kRequests; ++n) {
    ASSERT_EQ(0, hostile.Write(socket, flow, FlowFramed(RpcRequest(n, DiscoveryServiceMethod_RemoveNotify, ""))));
  }
  ASSERT_TRUE(WaitUntil([&] { return hostile.Received(socket) > 100; }, 20000));

  // Each of these would have waited behind every blocked answer for the
  // whole write time-out, far past the calls' own time-out.
  Caller caller(s.rpcPort);
  for (int n = 0; n < 3; ++n) EXPECT_EQ(0, caller.Call(DiscoveryServiceMethod_RemoveNotify)) << "call " << n;
  EXPECT_TRUE(WaitUntil([&] { return log->Has(Log_Severe, "flow control timeout"); }, 20000));
}

// Registrations are made under the name the caller's connection has at the
// time; its disconnect removes those made under every earlier name too.
TEST(Protocol1HostileTest, ARenamedConnectionsRegistrationEndsWithIt) {
  Service s;
  Peer callbacks;
  const UUID first = callbacks.Open(s.callbackPort);
  const UUID second = callbacks.Open(s.callbackPort);
  Peer hostile;
  const UUID socket = hostile.Open(s.rpcPort);
  const UUID layered = LayeredMessageType();
  uint64_t sequence = 0;
  int registered = 0;
  for (const UUID& callback : {first, second}) {
    UUID name, instance;
    name.Generate();
    instance.Generate();
    ASSERT_EQ(0, hostile.Write(socket, layered, ConnectRecord(name, instance, false)));
    ASSERT_EQ(0, hostile.Write(socket, layered, RpcRequest(++sequence, DiscoveryServiceMethod_AddNotify, Wire(callback))));
    ++registered;
    ASSERT_TRUE(WaitUntil([&] { return s.CallbackConnections() == registered; }, 10000));
  }

  ASSERT_EQ(0, hostile.Write(socket, layered, ConnectRecord(UUID(), UUID(), false)));
  ASSERT_EQ(0, hostile.transport->CloseConnection(socket));
  EXPECT_TRUE(WaitUntil([&] { return s.CallbackConnections() == 0; }, 10000));
}

std::string Str(const std::string& text) { return Le(text.size(), 4) + text; }

std::string UpdateRequest(const UUID& display, const std::string& name) {
  return Wire(display) + Str(name) + Str("") + Le(0x0A000001, 4) + Le(53202, 2) + Le(0, 4) + Str("");
}

// The sequence number of a mode-2 data record's first piece, or 0.
uint64_t FirstPieceSequence(const std::string& frame) {
  if (frame.size() < 20 || frame[0] != '\x02' || frame[9] != '\x01' || frame[11] != '\x05') return 0;
  uint64_t sequence = 0;
  for (int i = 7; i >= 0; --i) sequence = (sequence << 8) | static_cast<uint8_t>(frame[12 + i]);
  return sequence;
}

// A callback whose record is cut by a full window: the record is kept for
// the reconnection, so the send counts as done and the callback thread
// never sends the callback a second time under a new number.
TEST(Protocol1HostileTest, AKeptRecordIsReportedWrittenAndItsCallbackSentOnce) {
  Service s;
  Peer client;
  const UUID flow = FlowControlledMessageType();
  const UUID socket = client.Open(s.callbackPort);
  UUID id, instance, instance2, display;
  id.Generate();
  instance.Generate();
  instance2.Generate();
  display.Generate();
  ASSERT_EQ(0, client.Write(socket, flow, ConnectRecord(id, instance, false)));
  ASSERT_TRUE(WaitUntil([&] { return client.Received(socket) >= 1; }, 10000));

  // One batch of about 9000 bytes: three pieces, of which the first window
  // (8192 bytes, never acknowledged here) takes two.
  Caller caller(s.rpcPort);
  ASSERT_EQ(0, caller.Call(DiscoveryServiceMethod_UpdateDisplay, UpdateRequest(display, std::string(9000, 'n'))));
  ASSERT_EQ(0, caller.Call(DiscoveryServiceMethod_AddNotify, Wire(id)));
  const std::string enumerate = std::string(1, '\0') + Le(0, 8);
  ASSERT_EQ(0, caller.Call(DiscoveryServiceMethod_RequestDisplayEnumeration, enumerate));
  // The rest cannot follow: the service drops the socket after its write
  // time-out.
  ASSERT_TRUE(WaitUntil([&] { return client.receiver->Events(TransportEvent_Disconnected, socket) == 1; }, 30000));

  // Back from the same address: the whole record again, once, bare.
  const UUID socket2 = client.Open(s.callbackPort);
  ASSERT_EQ(0, client.Write(socket2, flow, ConnectRecord(id, instance2, true)));
  auto onSecond = [&] {
    std::vector<std::string> out;
    for (const auto& m : client.receiver->Messages()) {
      if (m.connection == socket2) out.push_back(m.bytes);
    }
    return out;
  };
  const std::string resent = "\x05" + Le(1, 8);
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& m : onSecond()) {
      if (m.compare(0, resent.size(), resent) == 0) return true;
    }
    return false;
  }, 10000));
  ASSERT_TRUE(WaitUntil([&] {
    int connections = 0, pending = -1;
    s.service.GetCallbackStatistics(&connections, &pending);
    return pending == 0;
  }, 30000));

  // The next callback (a list small enough for the fresh window) takes the
  // next number: none went to a second copy of the first.
  ASSERT_EQ(0, caller.Call(DiscoveryServiceMethod_UpdateDisplay, UpdateRequest(display, "n")));
  ASSERT_EQ(0, caller.Call(DiscoveryServiceMethod_AddNotify, Wire(id)));
  ASSERT_EQ(0, caller.Call(DiscoveryServiceMethod_RequestDisplayEnumeration, enumerate));
  uint64_t next = 0;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& m : onSecond()) {
      if (FirstPieceSequence(m) != 0) next = FirstPieceSequence(m);
    }
    return next != 0;
  }, 10000));
  EXPECT_EQ(2u, next);
}

// Callers that change the table before every enumeration cost the thread
// that asks nothing but a note: the list thread copies and writes each
// version once, for every request that waits for it. The test thread plays
// the delivery thread and calls the service directly; the callback
// connections are unknown to the transport, so each list stays queued.
TEST(Protocol1HostileTest, AListIsBuiltOncePerVersionAndNotOnTheThreadThatAsks) {
  Service s;
  std::mutex mutex;
  std::vector<std::thread::id> builders;
  std::atomic<bool> open{false};
  s.service.SetListBuildHook([&] {
    {
      std::lock_guard<std::mutex> hold(mutex);
      builders.push_back(std::this_thread::get_id());
    }
    // The first build waits, so that every request below finds it running.
    WaitUntil([&] { return open.load(); }, 10000);
  });
  auto builds = [&] {
    std::lock_guard<std::mutex> hold(mutex);
    return builders.size();
  };
  auto pending = [&] {
    int connections = 0, queued = 0;
    s.service.GetCallbackStatistics(&connections, &queued);
    return queued;
  };
  const uint32_t address = 0x0A000001;
  UUID display, object;
  display.Generate();
  ASSERT_EQ(0, s.service.UpdateDisplay(display, "a", "", &address, 53202, 0, ""));
  // Registrations are taken only from live connections: the callers are
  // real ones, named by the connection id their handshake carries.
  std::vector<test::LoopbackPeer> links(4);
  std::vector<UUID> callers(links.size());
  for (size_t i = 0; i < links.size(); ++i) {
    std::vector<uint8_t> handshake;
    ASSERT_TRUE(links[i].Connect(s.rpcPort));
    ASSERT_TRUE(links[i].ReceiveExactly(49, &handshake));
    callers[i] = UUID(std::string(handshake.begin() + 11, handshake.begin() + 47));
    UUID callback;
    callback.Generate();
    // The service hears of the connection a moment after its handshake.
    ASSERT_TRUE(WaitUntil([&] { return s.service.AddNotify(callers[i], callback, object) == 0; }));
  }
  uint64_t stamp = 0;
  for (const UUID& caller : callers) ASSERT_EQ(0, s.service.RequestDisplayEnumeration(caller, false, 0, &stamp));
  ASSERT_TRUE(WaitUntil([&] { return builds() == 1; }));
  open.store(true);
  ASSERT_TRUE(WaitUntil([&] { return pending() == 4; }));
  EXPECT_EQ(1u, builds());

  // Each change before an enumeration makes one more build, never more.
  for (int n = 0; n < 3; ++n) {
    ASSERT_EQ(0, s.service.UpdateDisplay(display, "b" + std::to_string(n), "", &address, 53202, 0, ""));
    ASSERT_EQ(0, s.service.RequestDisplayEnumeration(callers[0], false, 0, &stamp));
    ASSERT_EQ(0, s.service.RequestDisplayEnumeration(callers[1], false, 0, &stamp));
    ASSERT_TRUE(WaitUntil([&] { return builds() >= 2u + n; }));
  }
  s.service.Shutdown();
  EXPECT_EQ(4u, builds());
  for (const auto& id : builders) EXPECT_NE(std::this_thread::get_id(), id);
}

}  // namespace
}  // namespace corvane::talvenor::server
