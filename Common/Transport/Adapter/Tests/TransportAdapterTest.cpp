// The reconnecting adapter end to end over real loopback transports: two
// adapters back to back carry random messages exactly once and in order
// across sockets cut at random moments; the exact frames a layered
// connection puts on the wire; plain peers; and hostile layered frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Network.h"
#include "Result.h"
#include "Scheduler.h"
#include "TestLogCapture.h"
#include "TransportAdapter.h"
#include "TransportFrames.h"
#include "TransportLoopbackSupport.h"

namespace corvane {
namespace {

using test::kLoopback;
using test::RecordingReceiver;
using test::StreamOf;
using test::WaitUntil;

const UUID kType("01020304-0506-0708-090a-0b0c0d0e0f10");
const UUID kRpcType("7a49fb65-09ab-11de-8c30-0800200c9a66");

using test::ConnectRecord;
using test::Le64;
using test::UuidBytes;

// A transport (adapted or bare) with its receiver; finalised on the way out.
struct Endpoint {
  Endpoint(uint16_t listenPort, bool adapted) : port(listenPort), receiver(new RecordingReceiver(), false) {
    ITransport* bare = nullptr;
    EXPECT_EQ(0, platform::CreateInstance(listenPort ? kLoopback : 0, listenPort, &bare));
    inner.Attach(bare);
    if (adapted) {
      ITransport* adapter = nullptr;
      EXPECT_EQ(0, CreateTransportAdapter(kLoopback, listenPort, bare, &adapter));
      transport.Attach(adapter);
    } else {
      transport = inner;
    }
    EXPECT_EQ(0, transport->Initialize(true, true));
    EXPECT_EQ(0, transport->AddNotify(receiver.Get()));
  }
  ~Endpoint() {
    transport->RemoveNotify(receiver.Get());
    transport->Finalize();
  }
  int Write(const UUID& id, const UUID& type, const std::string& bytes) {
    return transport->Write(id, type, StreamOf(bytes).Get());
  }
  // The n-th message received, once it is there.
  test::ReceivedMessage Message(size_t n) {
    EXPECT_TRUE(WaitUntil([&] { return receiver->MessageCount() > n; }, 10000)) << "message " << n;
    auto all = receiver->Messages();
    return n < all.size() ? all[n] : test::ReceivedMessage{};
  }
  // The n-th message received on one inner connection, once it is there.
  test::ReceivedMessage MessageOn(const UUID& connection, size_t n) {
    std::vector<test::ReceivedMessage> on;
    EXPECT_TRUE(WaitUntil(
        [&] {
          on.clear();
          for (auto& m : receiver->Messages()) {
            if (m.connection == connection) on.push_back(m);
          }
          return on.size() > n;
        },
        10000))
        << "message " << n << " on " << connection.ToString();
    return n < on.size() ? on[n] : test::ReceivedMessage{};
  }

  uint16_t port;
  RefPtr<ITransport> inner;
  RefPtr<ITransport> transport;
  RefPtr<RecordingReceiver> receiver;
};

std::string Body(uint32_t index, uint32_t maxSize) {
  std::mt19937 rng(index * 2654435761u + 7);
  std::string body(4 + rng() % maxSize, '\0');
  std::memcpy(body.data(), &index, 4);
  for (size_t n = 4; n < body.size(); ++n) body[n] = static_cast<char>(rng());
  return body;
}

void RunExactlyOnceAcrossCuts(int mode, uint32_t messages, uint32_t maxSize, int cuts) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), true);
  Endpoint client(0, true);
  // The client dials the relay, which can drop the sockets at any moment.
  test::TcpRelay relay(server.port);
  ASSERT_EQ(0, mode == 1 ? client.transport->SetResendMode() : client.transport->SetFlowControlMode());
  UUID id;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, relay.Port(), &id, 5000));
  // A round trip: both ends have exchanged connect records.
  ASSERT_EQ(0, client.Write(id, kType, "hello"));
  ASSERT_EQ(id, server.Message(0).connection);
  ASSERT_EQ(0, server.Write(id, kType, "welcome"));
  ASSERT_EQ("welcome", client.Message(0).bytes);

  // Cuts fall at moments the writer does not choose: spread over the run by
  // the receiver's progress.
  std::atomic<int> cutsDone{0};
  std::atomic<bool> stop{false};
  std::thread cutter([&] {
    for (int n = 0; n < cuts && !stop.load(); ++n) {
      const size_t at = 1 + static_cast<size_t>(n + 1) * messages / static_cast<size_t>(cuts + 1);
      WaitUntil([&] { return stop.load() || server.receiver->MessageCount() >= at; }, 60000);
      if (stop.load()) break;
      relay.Cut();
      ++cutsDone;
    }
  });
  int failures = 0;
  for (uint32_t index = 0; index < messages; ++index) {
    const int result = client.Write(id, kType, Body(index, maxSize));
    if (result != 0) {
      ++failures;
      ADD_FAILURE() << "write " << index << " result " << std::hex << result;
      if (failures > 3) break;
    }
    if (index % 64 == 0) {
      EXPECT_EQ(0, server.Write(id, kType, "r")) << index;
    }
  }
  const bool arrived = WaitUntil([&] { return server.receiver->MessageCount() >= messages + 1; }, 60000);
  stop.store(true);
  cutter.join();
  ASSERT_TRUE(arrived) << server.receiver->MessageCount() << " of " << messages + 1;
  EXPECT_EQ(cuts, cutsDone.load());

  auto received = server.receiver->Messages();
  ASSERT_EQ(messages + 1, received.size());
  for (uint32_t n = 0; n < messages; ++n) {
    const auto& m = received[n + 1];
    ASSERT_EQ(id, m.connection) << n;
    ASSERT_EQ(kType, m.type) << n;
    ASSERT_TRUE(m.bytes == Body(n, maxSize)) << "message " << n << " mode " << mode;
  }
  // The replies the other way arrived once each as well.
  ASSERT_TRUE(WaitUntil([&] { return client.receiver->MessageCount() >= 1 + (messages + 63) / 64; }));
  EXPECT_EQ(1 + (messages + 63) / 64, client.receiver->MessageCount());
  for (const auto& m : client.receiver->Messages()) EXPECT_EQ(id, m.connection);
  // Redials raise no event on the client; the server never lost the connection.
  EXPECT_EQ(0, client.receiver->Events(TransportEvent_Connected));
  EXPECT_EQ(0, client.receiver->Events(TransportEvent_Disconnected));
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected, id));
  EXPECT_TRUE(capture->Has(Log_Severe, "reconnect succeeded for connection " + id.ToString()));
  EXPECT_TRUE(capture->Has(Log_Severe, "try reconnect connection " + id.ToString()));

  // Closing on one side makes the other drop the connection without
  // waiting for a reconnection.
  ASSERT_EQ(0, client.transport->CloseConnection(id));
  EXPECT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Disconnected, id) == 1; }));
  EXPECT_EQ(Result_InvalidArgument, server.Write(id, kType, "gone"));
}

TEST(TransportAdapterTest, Mode1ExactlyOnceInOrderAcrossCuts) { RunExactlyOnceAcrossCuts(1, 1000, 64 * 1024, 20); }

TEST(TransportAdapterTest, Mode2ExactlyOnceInOrderAcrossCuts) { RunExactlyOnceAcrossCuts(2, 1000, 64 * 1024, 20); }

// A layered client against a bare transport: the exact records on the wire.
TEST(TransportAdapterTest, LayeredFramesOnTheWire) {
  for (int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    Endpoint bare(test::FreePort(), false);
    Endpoint client(0, true);
    mode == 1 ? client.transport->SetResendMode() : client.transport->SetFlowControlMode();
    const UUID frameType = mode == 1 ? LayeredMessageType() : FlowControlledMessageType();
    UUID id;
    ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, bare.port, &id, 5000));

    // The connect record names the connection by the server's id; control
    // records travel bare in both modes.
    const auto connect = bare.Message(0);
    EXPECT_EQ(id, connect.connection);
    EXPECT_EQ(frameType, connect.type);
    ASSERT_EQ(34u, connect.bytes.size());
    EXPECT_EQ('\x04', connect.bytes[0]);
    EXPECT_EQ(UuidBytes(id), connect.bytes.substr(1, 16));
    EXPECT_EQ('\0', connect.bytes[33]);
    // Echo the instance back: the client is connected.
    ASSERT_EQ(0, bare.Write(id, frameType, connect.bytes));

    ASSERT_EQ(0, client.Write(id, kType, "AB"));
    const auto data = bare.Message(1);
    const std::string resend = std::string(1, '\x05') + Le64(1) + std::string(1, '\0') + UuidBytes(kType) + "AB";
    if (mode == 1) {
      EXPECT_EQ(resend, data.bytes);
    } else {
      ASSERT_EQ(39u, data.bytes.size());
      EXPECT_EQ('\x02', data.bytes[0]);
      int64_t senderTime = 0;
      std::memcpy(&senderTime, data.bytes.data() + 1, 8);
      EXPECT_NEAR(static_cast<double>(CurrentUtcTimeMs()), static_cast<double>(senderTime), 60000.0);
      EXPECT_EQ(std::string("\x01\x01", 2) + resend, data.bytes.substr(9));
    }

    // A data record the other way is delivered once, under the user's type,
    // and acknowledged every time it arrives.
    std::string incoming = std::string(1, '\x05') + Le64(1) + std::string(1, '\0') + UuidBytes(kType) + "hi";
    if (mode == 2) incoming = std::string(1, '\x02') + Le64(CurrentUtcTimeMs()) + std::string("\x01\x01", 2) + incoming;
    ASSERT_EQ(0, bare.Write(id, frameType, incoming));
    ASSERT_EQ(0, bare.Write(id, frameType, incoming));
    const auto hi = client.Message(0);
    EXPECT_EQ(id, hi.connection);
    EXPECT_EQ(kType, hi.type);
    EXPECT_EQ("hi", hi.bytes);
    const std::string ack = std::string(1, '\x06') + Le64(1);
    const size_t expected = mode == 1 ? 4 : 6;  // two acknowledgements, and in mode 2 two window acks
    ASSERT_TRUE(WaitUntil([&] { return bare.receiver->MessageCount() >= expected; }));
    int acks = 0;
    int windowAcks = 0;
    for (const auto& m : bare.receiver->Messages()) {
      if (m.bytes == ack) ++acks;
      if (m.bytes.size() == 17 && m.bytes[0] == '\x03') {
        ++windowAcks;
        int64_t bytes = 0;
        std::memcpy(&bytes, m.bytes.data() + 9, 8);
        EXPECT_EQ(static_cast<int64_t>(incoming.size()), bytes);
      }
    }
    EXPECT_EQ(2, acks);
    EXPECT_EQ(mode == 2 ? 2 : 0, windowAcks);
    EXPECT_EQ(1u, client.receiver->MessageCount());

    // A message too large for its resent frame is refused before it is
    // queued, and the connection carries on.
    RefPtr<IDataStream> huge;
    ASSERT_EQ(0, CreateDataStream(huge.Receive()));
    ASSERT_EQ(0, huge->AppendEmpty(kMaxMessageBody - 25));
    EXPECT_EQ(Result_InvalidArgument, client.transport->Write(id, kType, huge.Get()));
    const size_t at = bare.receiver->MessageCount();
    ASSERT_EQ(0, client.Write(id, kType, "CD"));
    const std::string next = std::string(1, '\x05') + Le64(2) + std::string(1, '\0') + UuidBytes(kType) + "CD";
    ASSERT_TRUE(WaitUntil([&] { return bare.receiver->MessageCount() > at; }));
    const std::string last = bare.receiver->Messages().back().bytes;
    EXPECT_EQ(next, mode == 1 ? last : last.substr(11));
  }
}

// Peers that never send layered frames see the plain transport, byte for byte.
TEST(TransportAdapterTest, PlainPeersInteroperate) {
  Endpoint server(test::FreePort(), true);
  Endpoint bare(0, false);
  // Registered twice, it still gets each message once.
  EXPECT_EQ(0, server.transport->AddNotify(server.receiver.Get()));
  EXPECT_EQ(Result_Fail, server.transport->SetDataHook(nullptr));
  EXPECT_EQ(Result_AlreadyInitialized, server.transport->Initialize(true, true));

  UUID id;
  ASSERT_EQ(0, bare.transport->OpenConnection(kLoopback, server.port, &id, 5000));
  const std::string call("\x01\x02\x00\x03rpc-call", 11);
  ASSERT_EQ(0, bare.Write(id, kRpcType, call));
  const auto in = server.Message(0);
  EXPECT_EQ(id, in.connection);
  EXPECT_EQ(kRpcType, in.type);
  EXPECT_EQ(call, in.bytes);
  EXPECT_EQ(1, server.receiver->Events(TransportEvent_Connected, id));

  const std::string reply("\x00\xffreply", 7);
  ASSERT_EQ(0, server.Write(id, kRpcType, reply));
  const auto out = bare.Message(0);
  EXPECT_EQ(kRpcType, out.type);
  EXPECT_EQ(reply, out.bytes);
  EXPECT_EQ(Result_InvalidArgument, server.Write(UUID("99999999-0000-0000-0000-000000000000"), kRpcType, reply));

  // A plain connection is never redialled: it goes as soon as its socket does.
  ASSERT_EQ(0, bare.transport->CloseConnection(id));
  EXPECT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Disconnected, id) == 1; }));
  EXPECT_EQ(1u, server.receiver->MessageCount());
}

// Hostile layered frames: nothing partial is delivered, nothing crashes, and
// no two connections ever answer to one UUID.
TEST(TransportAdapterTest, HostileLayeredFrames) {
  Endpoint server(test::FreePort(), true);
  Endpoint client(0, true);
  Endpoint hostile(0, false);
  client.transport->SetResendMode();
  UUID good;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &good, 5000));
  ASSERT_EQ(0, client.Write(good, kType, "first"));
  ASSERT_EQ("first", server.Message(0).bytes);

  const UUID layered = LayeredMessageType();
  auto open = [&] {
    UUID id;
    EXPECT_EQ(0, hostile.transport->OpenConnection(kLoopback, server.port, &id, 5000));
    return id;
  };
  UUID instance;
  instance.Generate();

  // Garbage on one connection: empty, short header, bad type bytes, short
  // records, data whose adapter header is cut short or wrong.
  const UUID junk = open();
  for (const std::string& frame :
       {std::string(), std::string(1, '\0'), std::string("\0\x01\x02", 3), std::string(1, '\x07'),
        std::string("\xff\x00\x01", 3), std::string(1, '\x04'), ConnectRecord(good, instance, false).substr(0, 33),
        std::string("\x05\x01", 2), std::string(1, '\x06'), std::string("\x05", 1) + Le64(1) + "\x00\x01\x02",
        std::string("\x05", 1) + Le64(2) + "\x09" + UuidBytes(kType) + "x"}) {
    ASSERT_EQ(0, hostile.Write(junk, layered, frame));
  }
  // A plain frame after the garbage still gets through in order: nothing
  // before it was delivered.
  ASSERT_EQ(0, hostile.Write(junk, kType, "plain"));
  const auto plain = server.Message(1);
  EXPECT_EQ("plain", plain.bytes);
  EXPECT_EQ(junk, plain.connection);

  // A new connection claiming the live connection's UUID is refused and closed.
  const UUID thief = open();
  ASSERT_EQ(0, hostile.Write(thief, layered, ConnectRecord(good, instance, false)));
  EXPECT_TRUE(WaitUntil([&] { return hostile.receiver->Events(TransportEvent_Disconnected, thief) == 1; }));
  // A reconnection of a connection the server does not know: closed too.
  const UUID stranger = open();
  UUID unknown;
  unknown.Generate();
  ASSERT_EQ(0, hostile.Write(stranger, layered, ConnectRecord(unknown, instance, true)));
  EXPECT_TRUE(WaitUntil([&] { return hostile.receiver->Events(TransportEvent_Disconnected, stranger) == 1; }));

  // A reconnection naming the very connection it arrives on is a new one:
  // answered with the server's connect record, then data flows.
  const UUID self = open();
  ASSERT_EQ(0, hostile.Write(self, layered, ConnectRecord(self, instance, true)));
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& m : hostile.receiver->Messages()) {
      if (m.connection == self && m.bytes == ConnectRecord(self, instance, false)) return true;
    }
    return false;
  }));
  ASSERT_EQ(0, hostile.Write(self, layered, std::string("\x05", 1) + Le64(1) + '\0' + UuidBytes(kType) + "ok"));
  const auto ok = server.Message(2);
  EXPECT_EQ("ok", ok.bytes);
  EXPECT_EQ(self, ok.connection);
  // A nil connect record: the peer is closing; nothing else happens.
  ASSERT_EQ(0, hostile.Write(self, layered, ConnectRecord(UUID(), instance, false)));

  // The live connection is untouched both ways.
  ASSERT_EQ(0, client.Write(good, kType, "still"));
  const auto still = server.Message(3);
  EXPECT_EQ("still", still.bytes);
  EXPECT_EQ(good, still.connection);
  ASSERT_EQ(0, server.Write(good, kType, "back"));
  EXPECT_EQ("back", client.Message(0).bytes);
  EXPECT_EQ(4u, server.receiver->MessageCount());
  for (const auto& m : hostile.receiver->Messages()) EXPECT_NE(good, m.connection);
}

// A peer comes back on a new socket while the server still holds the old
// one: the old socket is closed, the connection keeps its UUID without an
// event, and what the peer never acknowledged is sent again on the new one.
TEST(TransportAdapterTest, ReconnectReplacesASocketTheServerStillHolds) {
  Endpoint server(test::FreePort(), true);
  Endpoint peer(0, false);
  const UUID layered = LayeredMessageType();
  UUID id;
  id.Generate();
  UUID first;
  UUID second;
  UUID oldInstance;
  UUID newInstance;
  oldInstance.Generate();
  newInstance.Generate();
  ASSERT_EQ(0, peer.transport->OpenConnection(kLoopback, server.port, &first, 5000));
  ASSERT_EQ(0, peer.Write(first, layered, ConnectRecord(id, oldInstance, false)));
  const auto echo = peer.Message(0);
  EXPECT_EQ(ConnectRecord(id, oldInstance, false), echo.bytes);
  EXPECT_EQ(first, echo.connection);
  // Renamed by its first connect record.
  ASSERT_EQ(0, server.Write(id, kType, "q1"));
  const std::string q1 = std::string("\x05", 1) + Le64(1) + '\0' + UuidBytes(kType) + "q1";
  EXPECT_EQ(q1, peer.Message(1).bytes);

  ASSERT_EQ(0, peer.transport->OpenConnection(kLoopback, server.port, &second, 5000));
  ASSERT_EQ(0, peer.Write(second, layered, ConnectRecord(id, newInstance, true)));
  // The new socket is looked at alone: the server's answer to the first
  // connect record may have sent q1 once more on the old one (a duplicate
  // a resend layer drops), had q1 been queued before that answer ended.
  EXPECT_EQ(ConnectRecord(id, newInstance, true), peer.MessageOn(second, 0).bytes);
  EXPECT_EQ(q1, peer.MessageOn(second, 1).bytes);
  EXPECT_TRUE(WaitUntil([&] { return peer.receiver->Events(TransportEvent_Disconnected, first) == 1; }));

  // The new socket carries the connection both ways.
  ASSERT_EQ(0, peer.Write(second, layered, std::string("\x06", 1) + Le64(1)));
  ASSERT_EQ(0, peer.Write(second, layered, std::string("\x05", 1) + Le64(1) + '\0' + UuidBytes(kType) + "a1"));
  const auto a1 = server.Message(0);
  EXPECT_EQ(id, a1.connection);
  EXPECT_EQ("a1", a1.bytes);
  ASSERT_EQ(0, server.Write(id, kType, "q2"));
  EXPECT_EQ(std::string("\x05", 1) + Le64(2) + '\0' + UuidBytes(kType) + "q2", peer.MessageOn(second, 3).bytes);
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected));
}

// The connection UUID travels in clear; a reconnect record naming it from
// another address must not take the connection over.
TEST(TransportAdapterTest, AReconnectRecordFromAnotherAddressIsRefused) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), true);
  Endpoint peer(0, false);
  const UUID layered = LayeredMessageType();
  UUID id, instance, thiefInstance, victim, thief;
  id.Generate();
  instance.Generate();
  thiefInstance.Generate();
  ASSERT_EQ(0, peer.transport->OpenConnection(kLoopback, server.port, &victim, 5000));
  ASSERT_EQ(0, peer.Write(victim, layered, ConnectRecord(id, instance, false)));
  EXPECT_EQ(ConnectRecord(id, instance, false), peer.Message(0).bytes);

  test::TcpRelay elsewhere(server.port, 0x7F000002);
  ASSERT_EQ(0, peer.transport->OpenConnection(kLoopback, elsewhere.Port(), &thief, 5000));
  ASSERT_EQ(0, peer.Write(thief, layered, ConnectRecord(id, thiefInstance, true)));
  EXPECT_TRUE(WaitUntil([&] { return peer.receiver->Events(TransportEvent_Disconnected, thief) == 1; }));
  EXPECT_TRUE(capture->Has(Log_Severe, "already held"));

  // The victim keeps its socket and gets what is written to it.
  ASSERT_EQ(0, server.Write(id, kType, "mine"));
  const auto mine = peer.Message(1);
  EXPECT_EQ(victim, mine.connection);
  EXPECT_EQ(std::string("\x05", 1) + Le64(1) + '\0' + UuidBytes(kType) + "mine", mine.bytes);
  EXPECT_EQ(0, peer.receiver->Events(TransportEvent_Disconnected, victim));
  for (const auto& m : peer.receiver->Messages()) EXPECT_NE(thief, m.connection);
}

// Users register under the names a connection carries; its disconnect
// reaches every one of them, so nothing registered under an old name stays.
TEST(TransportAdapterTest, ARenamedConnectionsDisconnectReachesEveryName) {
  Endpoint server(test::FreePort(), true);
  Endpoint peer(0, false);
  const UUID layered = LayeredMessageType();
  UUID socket, first, second, instance, instance2;
  first.Generate();
  second.Generate();
  instance.Generate();
  instance2.Generate();
  ASSERT_EQ(0, peer.transport->OpenConnection(kLoopback, server.port, &socket, 5000));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 1; }));
  const UUID accepted = server.receiver->Ids(TransportEvent_Connected)[0];
  ASSERT_EQ(0, peer.Write(socket, layered, ConnectRecord(first, instance, false)));
  EXPECT_EQ(ConnectRecord(first, instance, false), peer.Message(0).bytes);
  ASSERT_EQ(0, peer.Write(socket, layered, ConnectRecord(second, instance2, false)));
  EXPECT_EQ(ConnectRecord(second, instance2, false), peer.Message(1).bytes);

  // Closing: the server does not wait for a reconnection.
  ASSERT_EQ(0, peer.Write(socket, layered, ConnectRecord(UUID(), instance2, false)));
  ASSERT_EQ(0, peer.transport->CloseConnection(socket));
  EXPECT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Disconnected, second) == 1; }));
  EXPECT_EQ(1, server.receiver->Events(TransportEvent_Disconnected, first));
  EXPECT_EQ(1, server.receiver->Events(TransportEvent_Disconnected, accepted));
}

// Answers every message on the thread that delivers it, as an RPC endpoint
// does, and keeps each answer's result per connection.
class Answerer final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  Answerer(ITransport* transport, size_t answerBytes) : transport_(transport), answer_(answerBytes, 'a') {}
  int OnDataReady(const UUID& id, const UUID& type, IDataStream*) override {
    ++entered;
    WaitUntil([&] { return !hold.load(); }, 30000);
    const int result = transport_->Write(id, type, StreamOf(answer_).Get());
    std::lock_guard<std::mutex> lock(mutex_);
    results_[id].push_back(result);
    return 0;
  }
  int OnEvent(const UUID&, int) override { return 0; }
  std::vector<int> Results(const UUID& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_[id];
  }
  // While set, the delivery thread is held in the next message.
  std::atomic<bool> hold{false};
  std::atomic<int> entered{0};

 private:
  ITransport* transport_;  // outlives the registration
  const std::string answer_;
  std::mutex mutex_;
  std::map<UUID, std::vector<int>> results_;
};

// A bare peer's connection that speaks layers of the given message type, once
// the server has answered its connect record; *id is its connection UUID.
UUID OpenLayered(Endpoint* peer, uint16_t port, const UUID& type, UUID* id) {
  UUID socket, instance;
  id->Generate();
  instance.Generate();
  EXPECT_EQ(0, peer->transport->OpenConnection(kLoopback, port, &socket, 5000));
  EXPECT_EQ(0, peer->Write(socket, type, ConnectRecord(*id, instance, false)));
  EXPECT_EQ(ConnectRecord(*id, instance, false), peer->Message(0).bytes);
  return socket;
}

int Count(const test::ScopedCapture& capture, const std::string& text) {
  int n = 0;
  for (const auto& line : capture->Lines()) n += line.message.find(text) != std::string::npos;
  return n;
}

// A flow-controlled peer that never acknowledges shuts its window. The
// delivery thread, which carries every peer's messages, waits for that
// window once; the peer's later answers fail at once, so a second
// connection's answer behind them is not held up, until an acknowledgement
// opens the window again.
TEST(TransportAdapterTest, AShutWindowIsWaitedForOnceUntilItOpens) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), true);
  Endpoint hostile(0, false);
  Endpoint client(0, true);
  RefPtr<Answerer> answerer(new Answerer(server.transport.Get(), 3000), false);
  ASSERT_EQ(0, server.transport->AddNotify(answerer.Get()));
  const UUID flow = FlowControlledMessageType();
  UUID id;
  const UUID socket = OpenLayered(&hostile, server.port, flow, &id);
  auto call = [&](uint64_t sequence) {
    const std::string record = std::string("\x02", 1) + Le64(0) + std::string("\x01\x01\x05", 3) + Le64(sequence) +
                               '\0' + UuidBytes(kType) + "call";
    ASSERT_EQ(0, hostile.Write(socket, flow, record));
  };
  // Three answers of 3000 bytes fill the 8192-byte window; the rest find it shut.
  constexpr uint64_t kCalls = 12;
  for (uint64_t n = 1; n <= kCalls; ++n) call(n);
  ASSERT_TRUE(WaitUntil([&] { return answerer->Results(id).size() == kCalls; }));
  const std::vector<int> results = answerer->Results(id);
  for (size_t n = 0; n < results.size(); ++n) {
    EXPECT_EQ(n < 3 ? 0 : Result_WriteTimeout, results[n]) << "answer " << n;
  }

  // Behind them, another connection is answered.
  ASSERT_EQ(0, client.transport->SetFlowControlMode());
  UUID legit;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &legit, 5000));
  ASSERT_EQ(0, client.Write(legit, kType, "call"));
  EXPECT_EQ(std::string(3000, 'a'), client.Message(0).bytes);
  auto waits = [&] { return Count(capture, "on timeout ("); };
  EXPECT_EQ(1, waits());

  // An acknowledgement opens the window: the next answer goes out.
  ASSERT_EQ(0, hostile.Write(socket, flow, std::string("\x03", 1) + Le64(0) + Le64(1 << 20)));
  call(kCalls + 1);
  ASSERT_TRUE(WaitUntil([&] { return answerer->Results(id).size() == kCalls + 1; }));
  EXPECT_EQ(0, answerer->Results(id).back());
  // It carries the number the failed answers left unused.
  std::vector<std::string> answers;
  EXPECT_TRUE(WaitUntil([&] {
    answers.clear();
    for (const auto& m : hostile.receiver->Messages()) {
      if (m.bytes.size() > 3000) answers.push_back(m.bytes);
    }
    return answers.size() == 4;
  }));
  ASSERT_EQ(4u, answers.size());
  EXPECT_EQ(std::string("\x01\x01\x05", 3) + Le64(4), answers[3].substr(9, 11));
  EXPECT_EQ(1, waits());
  server.transport->RemoveNotify(answerer.Get());
}

// Messages read before a peer's socket dropped are still delivered; their
// answers wait for the reconnection, on the thread every peer's messages
// share, once, not once each.
TEST(TransportAdapterTest, AReconnectionIsWaitedForOnceByTheDeliveryThread) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), true);
  Endpoint hostile(0, false);
  RefPtr<Answerer> answerer(new Answerer(server.transport.Get(), 10), false);
  answerer->hold = true;
  ASSERT_EQ(0, server.transport->AddNotify(answerer.Get()));
  const UUID layered = LayeredMessageType();
  UUID id;
  const UUID socket = OpenLayered(&hostile, server.port, layered, &id);
  constexpr uint64_t kCalls = 8;
  for (uint64_t n = 1; n <= kCalls; ++n) {
    ASSERT_EQ(0, hostile.Write(socket, layered, std::string("\x05", 1) + Le64(n) + '\0' + UuidBytes(kType) + "call"));
  }
  // Every call acknowledged, so all were read before the socket goes.
  EXPECT_EQ(std::string("\x06", 1) + Le64(kCalls), hostile.Message(kCalls).bytes);
  ASSERT_TRUE(WaitUntil([&] { return answerer->entered.load() == 1; }));
  ASSERT_EQ(0, hostile.transport->CloseConnection(socket));
  ASSERT_TRUE(WaitUntil([&] { return capture->Has(Log_Severe, "reconnect connection " + id.ToString()); }));
  answerer->hold = false;
  ASSERT_TRUE(WaitUntil([&] { return answerer->Results(id).size() == kCalls; }));
  for (int result : answerer->Results(id)) EXPECT_EQ(Result_WriteTimeout, result);
  EXPECT_EQ(1, Count(capture, "timeout waiting for reconnect"));
  server.transport->RemoveNotify(answerer.Get());
}

}  // namespace
}  // namespace corvane
