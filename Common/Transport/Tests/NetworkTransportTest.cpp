#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Network.h"
#include "NetworkTransportImpl.h"
#include "Scheduler.h"
#include "SocketLayer.h"
#include "TestLogCapture.h"
#include "TransportFrames.h"
#include "TransportLoopbackSupport.h"

namespace corvane {
namespace {

using test::FakeServer;
using test::kLoopback;
using test::LoopbackPeer;
using test::RecordingReceiver;
using test::StreamOf;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;

const UUID kType(0x11223344u, 0x5566, 0x7788, 0x99aabbccddeeff00ull);

int ElapsedMs(Clock::time_point since) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A transport with its receiver; Finalize and the leak check on the way out.
struct Endpoint {
  Endpoint(uint16_t port, TransportMode mode, const EncryptionStruct* settings, bool asyncNotify = true)
      : port(port), receiver(new RecordingReceiver(), false) {
    ITransport* raw = nullptr;
    if (mode.framed) {
      platform::CreateInstance(0, port, const_cast<EncryptionStruct*>(settings), &raw);
    } else if (mode.handshake) {
      platform::CreateTextInstance(0, port, &raw);
    } else {
      platform::CreateRawInstance(0, port, const_cast<EncryptionStruct*>(settings), &raw);
    }
    transport.Attach(raw);
    initResult = transport->Initialize(asyncNotify, true);
    transport->AddNotify(receiver.Get());
  }
  ~Endpoint() {
    transport->Finalize();
    transport.Reset();
  }
  ITransportFastWrite* Fast() { return dynamic_cast<ITransportFastWrite*>(transport.Get()); }
  int Count() {
    int n = -1;
    transport->GetStatistics(&n);
    return n;
  }

  uint16_t port;
  RefPtr<ITransport> transport;
  RefPtr<RecordingReceiver> receiver;
  int initResult = 0;
};

bool NoConnectionsLeft() {
  return WaitUntil([] { return NetworkTransportImpl::LiveConnectionCount() == 0; }, 10000);
}

std::string FrameBytes(const UUID& type, const std::string& body) {
  std::string block;
  BuildBinaryFrame(type, StreamOf(body).Get(), &block);
  return block;
}

// Frames both ways, ids, addresses, writers, the unknown-id results and the
// Connected/Disconnected events, plain and over TLS.
void RunBinaryRoundTrip(bool tls) {
  test::ScopedCapture capture;
  const EncryptionStruct settings = test::TestCredentials::Get().Settings();
  {
    Endpoint server(test::FreePort(), kBinaryTransportMode, tls ? &settings : nullptr);
    ASSERT_EQ(0, server.initResult);
    if (tls) {
      ASSERT_EQ(0, server.transport->SetEncryptionEnabled(true));
    }
    Endpoint client(0, kBinaryTransportMode, nullptr);
    ASSERT_EQ(0, client.initResult);
    EXPECT_EQ(static_cast<int>(Result_AlreadyInitialized), client.transport->Initialize(true, true));

    UUID id;
    ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &id, 2000));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 1; }));
    EXPECT_EQ(id, server.receiver->Ids(TransportEvent_Connected)[0]);
    // An accepted connection is counted once the manager's thread has taken
    // it, which may come after its Connected.
    EXPECT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
    EXPECT_EQ(1, client.Count());

    // A body bigger than a TLS record and than one socket read.
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    EXPECT_EQ(0, client.transport->Write(id, kType, StreamOf("hello").Get()));
    EXPECT_EQ(0, client.transport->Write(id, kType, StreamOf(big).Get()));
    EXPECT_EQ(0, server.transport->Write(id, kType, StreamOf("back").Get()));
    RefPtr<ITransportFastWrite::IWriter> writer;
    ASSERT_EQ(0, server.Fast()->CreateWriter(id, writer.Receive()));
    EXPECT_EQ(0, writer->Write(kType, StreamOf(big).Get()));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 2 && client.receiver->MessageCount() == 2; }));
    auto got = server.receiver->Messages();
    EXPECT_EQ(kType, got[0].type);
    EXPECT_EQ("hello", got[0].bytes);
    EXPECT_TRUE(got[1].bytes == big);
    got = client.receiver->Messages();
    EXPECT_EQ("back", got[0].bytes);
    EXPECT_TRUE(got[1].bytes == big);
    EXPECT_EQ(0, client.receiver->Events(TransportEvent_Connected));  // clients are never announced

    uint32_t peer = 0, local = 0;
    uint16_t port = 0;
    EXPECT_EQ(0, client.transport->GetPeerIpv4(id, &peer, &port));
    EXPECT_EQ(kLoopback, peer);
    EXPECT_EQ(server.port, port);
    EXPECT_EQ(0, client.transport->GetPeerIpv4(id, &peer, nullptr));
    EXPECT_EQ(0, client.transport->GetLocalIpv4(id, &local));
    EXPECT_EQ(kLoopback, local);
    bool ready = false;
    EXPECT_EQ(0, client.transport->ConnectionReadyForWrite(id, &ready));
    EXPECT_TRUE(ready);

    const UUID unknown(1, 2, 3, 4);
    RefPtr<ITransportFastWrite::IWriter> none;
    EXPECT_EQ(static_cast<int>(Result_ConnectionNotFound), client.Fast()->CreateWriter(unknown, none.Receive()));
    EXPECT_FALSE(none);
    EXPECT_EQ(static_cast<int>(Result_ConnectionNotFound), client.transport->Write(unknown, kType, StreamOf("x").Get()));
    EXPECT_EQ(static_cast<int>(Result_Fail), client.transport->GetPeerIpv4(unknown, &peer, &port));
    EXPECT_EQ(static_cast<int>(Result_Fail), client.transport->SetConnectionSocketDscp(unknown, 8));
    EXPECT_EQ(0, client.transport->SetKeepAlive(unknown, 100, 1000));
    EXPECT_EQ(0, client.transport->WriteText(unknown, StreamOf("x;").Get()));
    EXPECT_EQ(0, client.transport->ConnectionReadyForWrite(unknown, &ready));
    EXPECT_FALSE(ready);
    EXPECT_EQ(0, client.transport->CloseConnection(unknown));
    EXPECT_EQ(static_cast<int>(Result_InvalidPointer), client.transport->OpenConnection(kLoopback, 1, nullptr, 10));
    EXPECT_EQ(static_cast<int>(Result_InvalidArgument), client.transport->SetWriteTimeout(0));

    if (tls) {
      // A peer that fails the TLS accept was never announced: no events.
      LoopbackPeer plain;
      std::vector<uint8_t> hs;
      ASSERT_TRUE(plain.Connect(server.port));
      ASSERT_TRUE(plain.ReceiveExactly(49, &hs));
      EXPECT_EQ(1, hs[48]);
      ASSERT_TRUE(plain.Send(FrameBytes(kType, "not a client hello")));
      EXPECT_TRUE(plain.WaitClosed(6000));
      EXPECT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
      EXPECT_TRUE(capture->Contains("SSL error: "));
      EXPECT_EQ(1, server.receiver->Events(TransportEvent_Connected));
      EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected));
    }

    // Closing on one side: the other side hears of it once, and so does
    // the closing side (its connection is destroyed).
    EXPECT_EQ(0, client.transport->CloseConnection(id));
    ASSERT_TRUE(WaitUntil([&] {
      return server.receiver->Events(TransportEvent_Disconnected, id) == 1 &&
             client.receiver->Events(TransportEvent_Disconnected, id) == 1;
    }));
    ASSERT_TRUE(WaitUntil([&] { return server.Count() == 0 && client.Count() == 0; }));
    EXPECT_EQ(static_cast<int>(Result_Fail), writer->Write(kType, StreamOf("late").Get()));
    writer.Reset();
  }
  EXPECT_TRUE(NoConnectionsLeft());
  EXPECT_TRUE(capture->Contains("RETURN Result: 0x80000039 - Connection not found"));
  EXPECT_TRUE(capture->Contains("RETURN Result: 0x80000000 - Socket closed."));
}

TEST(NetworkTransportTest, BinaryRoundTripPlain) { RunBinaryRoundTrip(false); }
TEST(NetworkTransportTest, BinaryRoundTripTls) { RunBinaryRoundTrip(true); }

// What a bare peer sees and sends on each mode's wire.
TEST(NetworkTransportTest, WireBytesOfEachMode) {
  {
    Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(server.port));
    std::vector<uint8_t> hs;
    ASSERT_TRUE(peer.ReceiveExactly(49, &hs));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 1; }));
    const UUID id = server.receiver->Ids(TransportEvent_Connected)[0];
    EXPECT_EQ(test::HandshakeBytes(id, false), std::string(hs.begin(), hs.end()));
    ASSERT_TRUE(peer.Send(FrameBytes(kType, "abc")));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
    EXPECT_EQ("abc", server.receiver->Messages()[0].bytes);
    EXPECT_EQ(0, server.transport->Write(id, kType, StreamOf("xyz").Get()));
    std::vector<uint8_t> frame;
    ASSERT_TRUE(peer.ReceiveExactly(30, &frame));
    EXPECT_EQ(FrameBytes(kType, "xyz"), std::string(frame.begin(), frame.end()));
    peer.Close();
    EXPECT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Disconnected, id) == 1; }));
  }
  {
    Endpoint server(test::FreePort(), kTextTransportMode, nullptr);
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(server.port));
    std::vector<uint8_t> hs;
    ASSERT_TRUE(peer.ReceiveExactly(49, &hs));
    ASSERT_TRUE(peer.Send(std::string("junkcrvmsg:hi there;")));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
    const auto m = server.receiver->Messages()[0];
    EXPECT_EQ(UUID(), m.type);
    EXPECT_EQ(std::string("\x09\0\0\0hi there;", 13), m.bytes);
    EXPECT_EQ(0, server.transport->WriteTextSynchronous(m.connection, StreamOf("ok;").Get()));
    EXPECT_EQ("CRVMSG:ok;", peer.ReceiveText(10, 5000));
  }
  {
    Endpoint server(test::FreePort(), kRawTransportMode, nullptr);
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(server.port));
    ASSERT_TRUE(peer.Send(std::string("GET / HTTP/1.1\r\n\r\n")));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
    const auto m = server.receiver->Messages()[0];
    EXPECT_EQ(server.receiver->Events(TransportEvent_Connected), 1);  // raw connections are announced too
    std::string expected("\x01\0\0\x7f\x01\0\0\x7f\x12\0\0\0GET / HTTP/1.1\r\n\r\n", 30);
    EXPECT_EQ(expected, m.bytes);
    EXPECT_EQ(0, server.transport->WriteTextSynchronous(m.connection, StreamOf("HTTP/1.1 200 OK\r\n").Get()));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", peer.ReceiveText(17, 5000));
  }
  EXPECT_TRUE(NoConnectionsLeft());
}

// A raw receiver answering on the delivering thread, as the HTTP server
// does: a response in several buffers (one of them shared, bigger than the
// socket buffers) goes out whole and in order behind a slow reader, the
// text written after it follows it, and the close comes last.
TEST(NetworkTransportTest, RawAnswerFromTheReceiveThreadGoesOutWholeAndInOrder) {
  class Answering final : public ITransport::ITransportNotify, public IRefCountImpl {
   public:
    explicit Answering(std::shared_ptr<const std::string> body) : body_(std::move(body)) {}
    int OnDataReady(const UUID& id, const UUID&, IDataStream*) override {
      RefPtr<IDataStream> head;
      CreateDataStream(head.Receive());
      head->Write("head;", 5);
      AppendSharedBytes(head.Get(), body_);
      head->Write(";end", 4);
      const int first = transport->WriteText(id, head.Get());
      const int second = transport->WriteText(id, StreamOf("tail").Get());
      {
        std::lock_guard<std::mutex> lock(mutex);
        results = {first, second};
      }
      transport->CloseConnection(id);
      return 0;
    }
    int OnEvent(const UUID&, int) override { return 0; }
    ITransport* transport = nullptr;
    std::mutex mutex;
    std::vector<int> results;

   private:
    std::shared_ptr<const std::string> body_;
  };
  auto body = std::make_shared<std::string>(4 << 20, '\0');
  for (size_t i = 0; i < body->size(); ++i) (*body)[i] = static_cast<char>(i * 13 + (i >> 12));
  Endpoint server(test::FreePort(), kRawTransportMode, nullptr, false);
  RefPtr<Answering> answering(new Answering(body), false);
  answering->transport = server.transport.Get();
  server.transport->AddNotify(answering.Get());

  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(server.port, 5000, 16384));
  ASSERT_TRUE(peer.Send(std::string("GET\r\n\r\n")));
  // Read in small helpings, so the sends stop part-way through pieces.
  std::string got;
  const auto start = Clock::now();
  while (got.size() < body->size() + 13 && ElapsedMs(start) < 20000) {
    const std::vector<uint8_t> part = peer.ReceiveFor(5);
    got.append(part.begin(), part.end());
  }
  EXPECT_TRUE(peer.WaitClosed(5000));
  EXPECT_EQ(body->size() + 13, got.size());
  EXPECT_TRUE(got == "head;" + *body + ";endtail") << "bytes out of order or changed";
  std::lock_guard<std::mutex> lock(answering->mutex);
  EXPECT_EQ((std::vector<int>{0, 0}), answering->results);
  server.transport->RemoveNotify(answering.Get());
}

// A client against servers that misbehave: each ends with its result within
// the call's time-out.
TEST(NetworkTransportTest, OpenConnectionAgainstHostileServers) {
  test::ScopedCapture capture;
  Endpoint client(0, kBinaryTransportMode, nullptr);
  auto open = [&](uint16_t port, int timeoutMs, UUID* id) {
    const auto start = Clock::now();
    const int result = client.transport->OpenConnection(kLoopback, port, id, timeoutMs);
    // Room for a loaded machine; a call that ignored its time-out waits far longer.
    EXPECT_LT(ElapsedMs(start), timeoutMs + 4000);
    return result;
  };
  const auto stall = [](LoopbackPeer&, const std::atomic<bool>& stop) { WaitUntil([&] { return stop.load(); }); };
  UUID id(9, 9, 9, 9);
  {
    FakeServer silent(stall);
    EXPECT_EQ(static_cast<int>(Result_Fail), open(silent.Port(), 400, &id));
  }
  {
    FakeServer closes([](LoopbackPeer& peer, const std::atomic<bool>&) { peer.Close(); });
    EXPECT_EQ(static_cast<int>(Result_VersionMismatch), open(closes.Port(), 2000, &id));
    EXPECT_TRUE(capture->Contains("does not match client protocol version (0002). scancount: 0"));
  }
  {
    FakeServer wrong([&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
      std::string hs = test::HandshakeBytes(UUID(1, 2, 3, 4), false);
      hs[10] = '3';
      peer.Send(hs);
      stall(peer, stop);
    });
    EXPECT_EQ(static_cast<int>(Result_VersionMismatch), open(wrong.Port(), 2000, &id));
    EXPECT_TRUE(capture->Contains("The server protocol version (0003) does not match"));
  }
  EXPECT_EQ(UUID(9, 9, 9, 9), id);  // untouched on failure
  {
    // The first garbage id is taken as it parses; a second identical one is
    // refused rather than shadowing the first connection.
    const auto garbage = [&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
      std::string hs = test::HandshakeBytes(UUID(), false);
      for (int i = 11; i < 47; ++i) hs[i] = 'z';
      peer.Send(hs);
      stall(peer, stop);
    };
    FakeServer first(garbage);
    FakeServer second(garbage);
    UUID a, b;
    EXPECT_EQ(0, open(first.Port(), 2000, &a));
    EXPECT_EQ(static_cast<int>(Result_Fail), open(second.Port(), 2000, &b));
    EXPECT_TRUE(capture->Contains("Unable to add connection to connection manager."));
    EXPECT_EQ(1, client.Count());
    EXPECT_EQ(0, client.transport->CloseConnection(a));
  }
  {
    FakeServer tlsThenSilence([&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
      peer.Send(test::HandshakeBytes(UUID(5, 6, 7, 8), true));
      stall(peer, stop);
    });
    EXPECT_EQ(static_cast<int>(Result_Fail), open(tlsThenSilence.Port(), 500, &id));
    EXPECT_TRUE(capture->Contains("Unable to complete SSL handshake, closing socket."));
  }
  {
    const uint16_t closed = test::FreePort();
    EXPECT_EQ(static_cast<int>(Result_Fail), open(closed, 300, &id));
    EXPECT_TRUE(capture->Contains("Unable to connect. Error: 111"));
    EXPECT_TRUE(capture->Contains("Unable to initialize new connection. ip: 127.0.0.1 port: " + std::to_string(closed) +
                                  ", timeout: 300"));
  }
  EXPECT_EQ(0, client.receiver->Events(TransportEvent_Disconnected) - 1);  // only the refused duplicate's twin
}

// Keep-alive between two transports, expiry of a silent peer, and the idle
// purge of a connection without keep-alive.
TEST(NetworkTransportTest, KeepAliveExpiryAndIdlePurge) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  Endpoint client(0, kBinaryTransportMode, nullptr);
  UUID live;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &live, 2000));
  ASSERT_EQ(0, client.transport->SetKeepAlive(live, 100, 600));

  // A bare peer that announces keep-alive settings and then falls silent:
  // the server sends it keep-alive frames and drops it after 600 ms.
  LoopbackPeer silent;
  ASSERT_TRUE(silent.Connect(server.port));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(silent.ReceiveExactly(49, &bytes));
  std::string settings = BuildKeepAliveSettingsFrame(100, 600);
  ASSERT_TRUE(silent.Send(settings));
  const std::string keepAlive = BuildKeepAliveFrame();
  ASSERT_TRUE(silent.ReceiveExactly(keepAlive.size(), &bytes, 3000));
  EXPECT_EQ(keepAlive, std::string(bytes.begin(), bytes.end()));
  const auto start = Clock::now();
  EXPECT_TRUE(silent.WaitClosed(5000));
  EXPECT_GE(ElapsedMs(start), 400);
  EXPECT_TRUE(capture->Contains("Keep Alive on connection expired - Connection ID"));
  EXPECT_TRUE(capture->Contains("Keepalive: 600"));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Disconnected) == 1; }));

  // Meanwhile the live pair kept each other alive well past the time-out.
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected, live));
  EXPECT_EQ(1, client.Count());

  // Interval not below the time-out: nothing is ever sent, and the peer
  // that watches expires the connection.
  LoopbackPeer quiet;
  ASSERT_TRUE(quiet.Connect(server.port));
  ASSERT_TRUE(quiet.ReceiveExactly(49, &bytes));
  ASSERT_TRUE(quiet.Send(BuildKeepAliveSettingsFrame(400, 400)));
  EXPECT_TRUE(quiet.WaitClosed(5000));

  // Idle purge: a plain bare connection idle "for five minutes" goes; the
  // connection guarded by keep-alive stays.
  LoopbackPeer idle;
  ASSERT_TRUE(idle.Connect(server.port));
  ASSERT_TRUE(idle.ReceiveExactly(49, &bytes));
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 2; }));
  // Only an announced connection is announced gone.
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 4; }));
  ASSERT_EQ(0, server.transport->SetIdleConnectionPurgeEnabled(true));
  GetDefaultScheduler()->AdvanceTestTimeMs(301000);
  bool ready = false;
  server.transport->ConnectionReadyForWrite(UUID(), &ready);  // wakes the manager
  EXPECT_TRUE(idle.WaitClosed(5000));
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  EXPECT_TRUE(capture->Contains("Safety timout reached. Connection thread removed. State = 0"));
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected, live));
  EXPECT_EQ(3, server.receiver->Events(TransportEvent_Disconnected));
}

// A peer that asks for keep-alives and then stops inside a frame, 10 bytes
// into a body or 3 bytes into a start code, is silent: its keep-alive
// expires as if it had sent nothing, and the idle purge takes it although
// its keep-alive would exempt a silent peer between frames.
// Connects, reads the handshake, asks for keep-alive settings that never
// send and then sends tail.
bool ConnectWithSettings(uint16_t port, uint32_t timeoutMs, const std::string& tail, LoopbackPeer* peer) {
  std::vector<uint8_t> hs;
  return peer->Connect(port) && peer->ReceiveExactly(49, &hs) &&
         peer->Send(BuildKeepAliveSettingsFrame(0xFFFFFFFFu, timeoutMs) + tail);
}

TEST(NetworkTransportTest, APeerStalledInsideAFrameIsSilent) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  const std::string body = FrameBytes(kType, std::string(1000, 'b')).substr(0, 27 + 10);
  LoopbackPeer inBody;
  LoopbackPeer inStartCode;
  ASSERT_TRUE(ConnectWithSettings(server.port, 500, body, &inBody));
  ASSERT_TRUE(ConnectWithSettings(server.port, 500, "CRV", &inStartCode));
  EXPECT_TRUE(inBody.WaitClosed(20000));
  EXPECT_TRUE(inStartCode.WaitClosed(20000));
  EXPECT_TRUE(WaitUntil([&] {
    int expired = 0;
    for (const auto& line : capture->Lines()) expired += line.message.find("Keep Alive on connection expired") == 0;
    return expired == 2;
  }));

  // A keep-alive time-out within the purge's idle time exempts a silent
  // peer, but not one inside a frame.
  LoopbackPeer exempt;
  LoopbackPeer trickling;
  ASSERT_TRUE(ConnectWithSettings(server.port, 300000, "", &exempt));
  ASSERT_TRUE(ConnectWithSettings(server.port, 300000, body, &trickling));
  ASSERT_EQ(0, server.transport->SetIdleConnectionPurgeEnabled(true));
  EXPECT_TRUE(WaitUntil([&] {
    GetDefaultScheduler()->AdvanceTestTimeMs(31000);
    bool ready = false;
    server.transport->ConnectionReadyForWrite(UUID(), &ready);  // wakes the manager
    return trickling.WaitClosed(50);
  }));
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  EXPECT_FALSE(exempt.WaitClosed(0));
  EXPECT_TRUE(capture->Contains("Safety timout reached. Connection thread removed. State = 2"));
}

// A peer that stops reading: writes time out without sending anything and
// keep the connection; a frame cut short closes it.
TEST(NetworkTransportTest, WriteTimeoutAgainstStalledPeer) {
  test::ScopedCapture capture;
  Endpoint client(0, kBinaryTransportMode, nullptr);
  std::atomic<bool> drain{false};
  FakeServer stalled(
      [&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
    peer.Send(test::HandshakeBytes(UUID(7, 7, 7, 7), false));
    WaitUntil([&] { return stop.load() || drain.load(); });
    peer.ReceiveFor(50);  // frees some room, then stalls again
    WaitUntil([&] { return stop.load(); });
  },
      4096);
  UUID id;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, stalled.Port(), &id, 2000));
  ASSERT_EQ(0, client.transport->SetWriteTimeout(200));
  const std::string body(16384, 'x');
  int result = 0;
  for (int i = 0; i < 1000000 && result == 0; ++i) result = client.transport->Write(id, kType, StreamOf(body).Get());
  EXPECT_EQ(static_cast<int>(Result_WriteTimeout), result);
  // The peer's kernel may still take a few bytes after the timeout (it
  // compacts its receive queue and reopens the window), so the socket can
  // turn writable again for a moment; fill it again until the report holds.
  EXPECT_TRUE(WaitUntil([&] {
    int r = 0;
    for (int i = 0; i < 1000000 && r == 0; ++i) r = client.transport->Write(id, kType, StreamOf(body).Get());
    if (r != static_cast<int>(Result_WriteTimeout)) return false;
    bool ready = true;
    client.transport->ConnectionReadyForWrite(id, &ready);
    return !ready;
  }));
  EXPECT_EQ(1, client.Count());
  EXPECT_EQ(0, client.receiver->Events(TransportEvent_Disconnected));

  drain.store(true);
  const std::string big(32 << 20, 'y');
  const auto start = Clock::now();
  do {
    result = client.transport->Write(id, kType, StreamOf(big).Get());
  } while (result == static_cast<int>(Result_WriteTimeout) && ElapsedMs(start) < 5000);
  EXPECT_EQ(static_cast<int>(Result_ConnectionLost), result);
  EXPECT_TRUE(capture->Contains("Socket write failure - Connection ID - " + id.ToString()));
  EXPECT_TRUE(WaitUntil([&] { return client.receiver->Events(TransportEvent_Disconnected, id) == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return client.Count() == 0; }));
}

// A write blocked on a peer that does not read holds up that peer's writers
// only: another connection of the same transport is written, tested for
// writability and given keep-alive settings meanwhile.
TEST(NetworkTransportTest, AWriteToAPeerThatDoesNotReadHoldsUpNoOtherConnection) {
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  Endpoint client(0, kBinaryTransportMode, nullptr);
  std::atomic<bool> arrived{false};
  std::atomic<bool> drain{false};
  FakeServer deaf(
      [&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
    peer.Send(test::HandshakeBytes(UUID(7, 7, 7, 7), false));
    // The first bytes queued here: the write has begun, and it cannot end
    // before this peer reads.
    WaitUntil([&] {
      int queued = 0;
      return stop.load() || (::ioctl(peer.Fd(), FIONREAD, &queued) == 0 && queued > 0);
    });
    arrived.store(true);
    WaitUntil([&] { return stop.load() || drain.load(); }, 60000);
    while (!stop.load()) peer.ReceiveFor(50);
  },
      4096);
  UUID stuck;
  UUID other;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, deaf.Port(), &stuck, 2000));
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &other, 2000));
  ASSERT_EQ(0, client.transport->SetWriteTimeout(120000));

  std::atomic<bool> stuckReturned{false};
  std::atomic<int> stuckResult{-1};
  std::thread stuckWriter([&] {
    stuckResult.store(client.transport->Write(stuck, kType, StreamOf(std::string(32 << 20, 's')).Get()));
    stuckReturned.store(true);
  });
  ASSERT_TRUE(WaitUntil([&] { return arrived.load(); }));
  std::atomic<bool> otherDone{false};
  int results[3] = {-1, -1, -1};
  bool ready = false;
  std::thread otherWriter([&] {
    results[0] = client.transport->Write(other, kType, StreamOf("meanwhile").Get());
    results[1] = client.transport->ConnectionReadyForWrite(other, &ready);
    results[2] = client.transport->SetKeepAlive(other, 1000, 60000);
    otherDone.store(true);
  });
  EXPECT_TRUE(WaitUntil([&] { return otherDone.load(); }, 30000));
  EXPECT_FALSE(stuckReturned.load()) << "the blocked write ended first";
  drain.store(true);
  otherWriter.join();
  stuckWriter.join();
  EXPECT_EQ(0, stuckResult.load());
  EXPECT_EQ(0, results[0]);
  EXPECT_EQ(0, results[1]);
  EXPECT_TRUE(ready);
  EXPECT_EQ(0, results[2]);
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
  EXPECT_EQ("meanwhile", server.receiver->Messages()[0].bytes);
}

// The same for waiting text writes: one blocked on a peer that does not read
// holds up no other connection's.
TEST(NetworkTransportTest, ATextWriteToAPeerThatDoesNotReadHoldsUpNoOtherConnection) {
  Endpoint server(test::FreePort(), kTextTransportMode, nullptr);
  ASSERT_EQ(0, server.transport->SetWriteTimeout(120000));
  LoopbackPeer deaf;
  LoopbackPeer reader;
  std::vector<uint8_t> hs;
  ASSERT_TRUE(deaf.Connect(server.port, 5000, 4096));
  ASSERT_TRUE(deaf.ReceiveExactly(49, &hs));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 1; }));
  ASSERT_TRUE(reader.Connect(server.port));
  ASSERT_TRUE(reader.ReceiveExactly(49, &hs));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 2; }));
  const std::vector<UUID> ids = server.receiver->Ids(TransportEvent_Connected);

  std::atomic<bool> stuckReturned{false};
  std::thread stuckWriter([&] {
    server.transport->WriteTextSynchronous(ids[0], StreamOf(std::string(32 << 20, 's') + ";").Get());
    stuckReturned.store(true);
  });
  ASSERT_TRUE(WaitUntil([&] {
    int queued = 0;
    return ::ioctl(deaf.Fd(), FIONREAD, &queued) == 0 && queued > 0;
  }));
  std::atomic<bool> otherDone{false};
  std::thread otherWriter([&] {
    server.transport->WriteTextSynchronous(ids[1], StreamOf("ok;").Get());
    otherDone.store(true);
  });
  EXPECT_TRUE(WaitUntil([&] { return otherDone.load(); }, 30000));
  EXPECT_FALSE(stuckReturned.load()) << "the blocked write ended first";
  EXPECT_EQ("CRVMSG:ok;", reader.ReceiveText(10, 5000));
  deaf.Close();
  otherWriter.join();
  stuckWriter.join();
}

// Receivers that fall behind hold the sender back instead of growing memory:
// the peer's writes stop going through, and once the receivers resume every
// frame that went through arrives, in order, even after the close.
TEST(NetworkTransportTest, SlowReceiversHoldTheSenderBack) {
  class GatedReceiver final : public ITransport::ITransportNotify, public IRefCountImpl {
   public:
    int OnDataReady(const UUID&, const UUID&, IDataStream* data) override {
      WaitUntil([&] { return open.load(); }, 20000);
      uint32_t index = 0;
      data->ReadUInt32(&index);
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(index);
      return 0;
    }
    int OnEvent(const UUID&, int) override { return 0; }
    std::atomic<bool> open{false};
    std::mutex mutex;
    std::vector<uint32_t> order;
  };
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr, true);
  RefPtr<GatedReceiver> gated(new GatedReceiver(), false);
  server.transport->AddNotify(gated.Get());
  Endpoint client(0, kBinaryTransportMode, nullptr);
  UUID id;
  ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &id, 2000));
  ASSERT_EQ(0, client.transport->SetWriteTimeout(500));
  const std::string filler(256 * 1024 - 4, 'f');
  uint32_t sent = 0;
  int result = 0;
  for (; sent < 1000; ++sent) {
    RefPtr<IDataStream> body;
    CreateDataStream(body.Receive());
    body->WriteUInt32(sent);
    body->Write(filler.data(), static_cast<uint32_t>(filler.size()));
    result = client.transport->Write(id, kType, body.Get());
    if (result != 0) break;
  }
  EXPECT_NE(0, result) << "the sender was never held back";
  EXPECT_LT(sent, 200u);  // the bound plus the socket buffers, not everything
  client.transport->CloseConnection(id);
  gated->open.store(true);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(gated->mutex);
    return gated->order.size() >= sent;
  }, 20000));
  server.transport->RemoveNotify(gated.Get());
  std::lock_guard<std::mutex> lock(gated->mutex);
  ASSERT_EQ(sent, gated->order.size());
  for (uint32_t i = 0; i < sent; ++i) ASSERT_EQ(i, gated->order[i]);
}

// The id a server announces in its 49-byte handshake.
UUID HandshakeId(const std::vector<uint8_t>& handshake) {
  return UUID::Parse(std::string(handshake.begin() + 11, handshake.begin() + 47));
}

// 100 bare peers that each read their handshake; ids in connection order.
std::vector<UUID> FillEverySlot(Endpoint& server, std::vector<LoopbackPeer>* peers) {
  std::vector<UUID> ids;
  if (server.initResult != 0) {
    ADD_FAILURE() << "the server did not start: " << server.initResult;
    return ids;
  }
  std::vector<uint8_t> hs;
  for (auto& peer : *peers) {
    if (!peer.Connect(server.port) || !peer.ReceiveExactly(49, &hs)) {
      ADD_FAILURE() << "peer " << ids.size() << " got no handshake";
      return {};
    }
    ids.push_back(HandshakeId(hs));
  }
  if (!WaitUntil([&] { return server.Count() == 100; })) {
    ADD_FAILURE() << "connections held: " << server.Count();
    return {};
  }
  return ids;
}

bool AnyClosed(std::vector<LoopbackPeer>& peers) {
  for (auto& peer : peers) {
    if (peer.WaitClosed(0)) return true;
  }
  return false;
}

// At 100 connections a waiting client is still served: the listener closes
// a connection whose peer never sent a message.
TEST(NetworkTransportTest, ASlotIsFreedForANewClientWhenAllAreHeld) {
  test::ScopedCapture capture;
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  std::vector<LoopbackPeer> peers(100);
  ASSERT_EQ(100u, FillEverySlot(server, &peers).size());
  // Logged on the manager's thread right after the count moved.
  EXPECT_TRUE(WaitUntil([&] { return capture->Contains("Exceeded MAX_CONNECTION_COUNT -- will not accept new connections"); }));
  // Every peer but the first speaks later than the first.
  GetDefaultScheduler()->AdvanceTestTimeMs(1000);
  for (size_t i = 1; i < peers.size(); ++i) ASSERT_TRUE(peers[i].Send(FrameBytes(kType, "x")));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 99; }));
  LoopbackPeer extra;
  std::vector<uint8_t> hs;
  ASSERT_TRUE(extra.Connect(server.port));
  EXPECT_TRUE(extra.ReceiveExactly(49, &hs, 10000));
  EXPECT_TRUE(peers[0].WaitClosed(5000));
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  EXPECT_TRUE(capture->Contains("All 100 connection slots are held: closing connection"));
  EXPECT_TRUE(WaitUntil([&] {
    return capture->Contains("No longer exceeding MAX_CONNECTION_COUNT -- will resume accepting new connections");
  }));
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 100; }));
  for (size_t i = 1; i < peers.size(); ++i) EXPECT_FALSE(peers[i].WaitClosed(0)) << i;
}

// The close that frees a slot raises Disconnected off the manager's thread:
// a receiver that takes its time over the event (waiting on a lock of its
// own) holds up no request to the manager.
TEST(NetworkTransportTest, AReceiverSlowOverAFreedSlotsEventHoldsUpNoRequest) {
  class SlowReceiver final : public ITransport::ITransportNotify, public IRefCountImpl {
   public:
    int OnDataReady(const UUID&, const UUID&, IDataStream*) override { return 0; }
    int OnEvent(const UUID&, int event) override {
      if (event != TransportEvent_Disconnected) return 0;
      entered.store(true);
      WaitUntil([&] { return release.load(); }, 60000);
      return 0;
    }
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
  };
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  RefPtr<SlowReceiver> slow(new SlowReceiver(), false);
  server.transport->AddNotify(slow.Get());
  std::vector<LoopbackPeer> peers(100);
  const std::vector<UUID> ids = FillEverySlot(server, &peers);
  ASSERT_EQ(100u, ids.size());
  LoopbackPeer extra;
  ASSERT_TRUE(extra.Connect(server.port));
  ASSERT_TRUE(WaitUntil([&] { return slow->entered.load(); }));
  std::atomic<bool> answered{false};
  int result = -1;
  std::thread asker([&] {
    uint32_t address = 0;
    result = server.transport->GetPeerIpv4(ids.back(), &address, nullptr);
    answered.store(true);
  });
  EXPECT_TRUE(WaitUntil([&] { return answered.load(); }, 30000));
  slow->release.store(true);
  asker.join();
  EXPECT_EQ(0, result);
  std::vector<uint8_t> hs;
  EXPECT_TRUE(extra.ReceiveExactly(49, &hs, 10000));
  server.transport->RemoveNotify(slow.Get());
}

// A peer address that holds most of the slots gives one up first, even when
// another address's connection has been silent longer: a peer coming back
// as soon as it is closed cannot wear every other client's connection out.
TEST(NetworkTransportTest, AFullListenerTakesTheSlotFromTheAddressHoldingMost) {
  test::ScopedCapture capture;
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  std::vector<uint8_t> hs;
  LoopbackPeer quiet;
  ASSERT_TRUE(quiet.Connect(server.port));
  ASSERT_TRUE(quiet.ReceiveExactly(49, &hs));
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  GetDefaultScheduler()->AdvanceTestTimeMs(1000);
  std::vector<LoopbackPeer> crowd(99);
  for (auto& peer : crowd) {
    ASSERT_TRUE(peer.Connect(server.port, 5000, 0, 0x7F000002u));
    ASSERT_TRUE(peer.ReceiveExactly(49, &hs));
  }
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 100; }));
  LoopbackPeer extra;
  ASSERT_TRUE(extra.Connect(server.port, 5000, 0, 0x7F000003u));
  EXPECT_TRUE(extra.ReceiveExactly(49, &hs, 10000));
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  EXPECT_TRUE(WaitUntil([&] { return AnyClosed(crowd); }));
  EXPECT_FALSE(quiet.WaitClosed(0));
  EXPECT_TRUE(capture->Contains("All 100 connection slots are held: closing connection"));
}

// Peers that only keep their slots busy with keep-alive frames give one up
// before a client that has called, however recent their keep-alives and
// however long ago its call: churning peers cannot wear the client out.
TEST(NetworkTransportTest, AFullListenerClosesAConnectionThatNeverCalledBeforeOneThatDid) {
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  std::vector<uint8_t> hs;
  LoopbackPeer caller;
  ASSERT_TRUE(caller.Connect(server.port));
  ASSERT_TRUE(caller.ReceiveExactly(49, &hs));
  ASSERT_TRUE(caller.Send(FrameBytes(kType, "call")));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
  GetDefaultScheduler()->AdvanceTestTimeMs(1000);
  std::vector<LoopbackPeer> crowd(99);
  for (auto& peer : crowd) {
    ASSERT_TRUE(peer.Connect(server.port));
    ASSERT_TRUE(peer.ReceiveExactly(49, &hs));
    ASSERT_TRUE(peer.Send(BuildKeepAliveFrame()));
  }
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 100; }));
  LoopbackPeer extra;
  ASSERT_TRUE(extra.Connect(server.port));
  EXPECT_TRUE(extra.ReceiveExactly(49, &hs, 10000));
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  EXPECT_TRUE(WaitUntil([&] { return AnyClosed(crowd); }));
  EXPECT_FALSE(caller.WaitClosed(0));
  EXPECT_EQ(1u, server.receiver->MessageCount());
}

// The transport's user picks which connection makes room; a user that
// picks none leaves the new client waiting in the backlog.
TEST(NetworkTransportTest, AFullListenerClosesTheConnectionItsUserChooses) {
  struct Chooser final : IListenerSlots::IChooser {
    bool ChooseConnectionToClose(UUID* id) override {
      std::lock_guard<std::mutex> lock(mutex);
      ++asked;
      if (victim == UUID()) return false;
      *id = victim;
      return true;
    }
    std::mutex mutex;
    UUID victim;
    int asked = 0;
  } chooser;
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  auto* slots = dynamic_cast<IListenerSlots*>(server.transport.Get());
  ASSERT_NE(nullptr, slots);
  ASSERT_EQ(0, slots->SetSlotChooser(&chooser));
  std::vector<LoopbackPeer> peers(100);
  const std::vector<UUID> ids = FillEverySlot(server, &peers);
  ASSERT_EQ(100u, ids.size());
  LoopbackPeer extra;
  std::vector<uint8_t> hs;
  ASSERT_TRUE(extra.Connect(server.port));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(chooser.mutex);
    return chooser.asked > 0;
  }));
  EXPECT_TRUE(extra.ReceiveFor(300).empty());
  {
    std::lock_guard<std::mutex> lock(chooser.mutex);
    chooser.victim = ids[42];
  }
  EXPECT_TRUE(extra.ReceiveExactly(49, &hs, 10000));
  EXPECT_TRUE(peers[42].WaitClosed(5000));
  EXPECT_EQ(1, server.receiver->Events(TransportEvent_Disconnected, ids[42]));
  EXPECT_FALSE(peers[0].WaitClosed(0));
  server.transport->Finalize();
  slots->SetSlotChooser(nullptr);
}

// A slot that comes free while the listener asks whom to close costs nobody
// a connection: the manager counts again before it closes.
TEST(NetworkTransportTest, ASlotFreedWhileTheListenerChoosesClosesNobody) {
  struct Chooser final : IListenerSlots::IChooser {
    bool ChooseConnectionToClose(UUID* id) override {
      if (asked.fetch_add(1) == 0) {
        // From a thread of its own: this one holds the listener's lock, and
        // the transport's lock may not be taken under it.
        std::thread([this] {
          transport->CloseConnection(leaving);
          WaitUntil([&] {
            int n = -1;
            transport->GetStatistics(&n);
            return n == 99;
          });
        }).join();
      }
      *id = victim;
      return true;
    }
    ITransport* transport = nullptr;
    UUID leaving;
    UUID victim;
    std::atomic<int> asked{0};
  } chooser;
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  auto* slots = dynamic_cast<IListenerSlots*>(server.transport.Get());
  ASSERT_NE(nullptr, slots);
  std::vector<LoopbackPeer> peers(100);
  const std::vector<UUID> ids = FillEverySlot(server, &peers);
  ASSERT_EQ(100u, ids.size());
  chooser.transport = server.transport.Get();
  chooser.leaving = ids[10];
  chooser.victim = ids[42];
  ASSERT_EQ(0, slots->SetSlotChooser(&chooser));
  LoopbackPeer extra;
  std::vector<uint8_t> hs;
  ASSERT_TRUE(extra.Connect(server.port));
  EXPECT_TRUE(extra.ReceiveExactly(49, &hs, 10000));
  EXPECT_TRUE(peers[10].WaitClosed(5000));
  EXPECT_FALSE(peers[42].WaitClosed(0));
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected, ids[42]));
  server.transport->Finalize();
  slots->SetSlotChooser(nullptr);
}

// With every slot held and no request to wake the manager, the idle purge
// still runs; a peer's keep-alive settings do not exempt it from the purge.
TEST(NetworkTransportTest, ThePurgeRunsOnAFullListener) {
  test::ScopedCapture capture;
  platform::EnsureOpenFileLimit(4096, nullptr);
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  ASSERT_EQ(0, server.transport->SetIdleConnectionPurgeEnabled(true));
  std::vector<LoopbackPeer> peers(100);
  ASSERT_EQ(100u, FillEverySlot(server, &peers).size());
  // "Keep-alive for ever": the purge must still close it.
  // The message behind the settings shows that both were read.
  ASSERT_TRUE(peers[0].Send(BuildKeepAliveSettingsFrame(0xFFFFFFFFu, 0xFFFFFFFFu) + FrameBytes(kType, "x")));
  ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
  GetDefaultScheduler()->AdvanceTestTimeMs(NetworkTransportImpl::kDefaultPurgeIdleMs + 1000);
  for (size_t i = 0; i < peers.size(); ++i) EXPECT_TRUE(peers[i].WaitClosed(10000)) << i;
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  EXPECT_TRUE(WaitUntil([&] { return server.Count() == 0; }));
  EXPECT_TRUE(capture->Contains("Safety timout reached. Connection thread removed."));
}

// Live connections torn down by Finalize, repeatedly: every Finalize is
// quick, every connection is announced gone exactly once, nothing leaks.
TEST(NetworkTransportTest, TearDownUnderLoad) {
  platform::EnsureOpenFileLimit(4096, nullptr);
  constexpr int kConnections = 100;
  for (int cycle = 0; cycle < 5; ++cycle) {
    {
      Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr, cycle % 2 == 0);
      Endpoint client(0, kBinaryTransportMode, nullptr, cycle % 2 == 1);
      std::vector<UUID> ids(kConnections);
      for (auto& id : ids) ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, server.port, &id, 2000));
      ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == kConnections; }));
      // Traffic in flight both ways while the server goes.
      std::atomic<bool> stop{false};
      std::thread sender([&] {
        while (!stop.load()) {
          for (const auto& id : ids) client.transport->Write(id, kType, StreamOf(std::string(512, 'a')).Get());
        }
      });
      for (const auto& id : ids) server.transport->WriteText(id, StreamOf("x").Get());
      const auto start = Clock::now();
      EXPECT_EQ(0, server.transport->Finalize());
      EXPECT_LT(ElapsedMs(start), 5000) << "cycle " << cycle;
      stop.store(true);
      sender.join();
      for (const auto& id : ids) ASSERT_EQ(1, server.receiver->Events(TransportEvent_Disconnected, id));
      ASSERT_TRUE(WaitUntil([&] { return client.receiver->Events(TransportEvent_Disconnected) == kConnections; }));
      for (const auto& id : ids) ASSERT_EQ(1, client.receiver->Events(TransportEvent_Disconnected, id));
      EXPECT_EQ(static_cast<int>(Result_NotInitialized), server.transport->Finalize());
    }
    ASSERT_TRUE(NoConnectionsLeft()) << "cycle " << cycle;
  }
}

// Lifecycle rules of the transport object itself.
TEST(NetworkTransportTest, LifecycleAndListenerPort) {
  test::ScopedCapture capture;
  {
    // A busy port fails Initialize, which leaves nothing behind: a retry on
    // a free port then works.
    const uint16_t port = test::FreePort();
    Endpoint first(port, kBinaryTransportMode, nullptr);
    RefPtr<ITransport> second;
    platform::CreateInstance(0, port, second.Receive());
    EXPECT_EQ(static_cast<int>(Result_Fail), second->Initialize(true, true));
    EXPECT_TRUE(capture->Contains("Failed to bind socket. Params: "));
    EXPECT_EQ(static_cast<int>(Result_NotInitialized), second->Finalize());
    EXPECT_EQ(static_cast<int>(Result_NotInitialized), second->CloseAllConnections());
    EXPECT_TRUE(capture->Contains("RETURN Result: 0x8000000b - Transport object is not initialized."));

    // Moving the listener: the old port stops answering, the new one does.
    const uint16_t moved = test::FreePort();
    EXPECT_EQ(0, first.transport->ChangeListenerPort(0));
    EXPECT_EQ(0, first.transport->ChangeListenerPort(moved));
    LoopbackPeer peer;
    std::vector<uint8_t> hs;
    ASSERT_TRUE(peer.Connect(moved));
    EXPECT_TRUE(peer.ReceiveExactly(49, &hs));
    EXPECT_FALSE(LoopbackPeer().Connect(port, 500));
    EXPECT_EQ(0, first.transport->ReleaseListenerPort());
    EXPECT_FALSE(LoopbackPeer().Connect(moved, 500));

    // A closed gate accepts nothing until it opens again.
    EXPECT_EQ(0, first.transport->ChangeListenerPort(port));
    EXPECT_EQ(0, first.transport->SetEnabled(false));
    LoopbackPeer waiting;
    ASSERT_TRUE(waiting.Connect(port));
    EXPECT_TRUE(waiting.ReceiveFor(300).empty());
    EXPECT_EQ(0, first.transport->SetEnabled(true));
    EXPECT_TRUE(waiting.ReceiveExactly(49, &hs));
  }
  {
    EncryptionStruct noKey = test::TestCredentials::Get().Settings();
    noKey.privateKey.clear();
    RefPtr<ITransport> t;
    platform::CreateInstance(0, test::FreePort(), &noKey, t.Receive());
    EXPECT_EQ(static_cast<int>(Result_Fail), t->Initialize(true, true));
    EXPECT_TRUE(capture->Contains("We must have valid certificate and private key parameters"));
    RefPtr<ITransport> clientOnly;
    platform::CreateInstance(0, 0, &noKey, clientOnly.Receive());
    EXPECT_EQ(0, clientOnly->Initialize(true, true));
    EXPECT_EQ(0, clientOnly->SetEncryptionEnabled(true));
    EXPECT_EQ(0, clientOnly->Finalize());
    RefPtr<ITransport> plain;
    platform::CreateInstance(0, 0, plain.Receive());
    EXPECT_EQ(0, plain->Initialize(true, true));
    EXPECT_EQ(static_cast<int>(Result_Fail), plain->SetEncryptionEnabled(true));
    EXPECT_EQ(0, plain->Finalize());
  }
  {
    RefPtr<ITransport> t;
    platform::CreateInstance(0, 0, t.Receive());
    EXPECT_EQ(0, t->SetDataHook(nullptr));
    EXPECT_EQ(0, t->RemoveNotify(nullptr));
    EXPECT_EQ(static_cast<int>(Result_Fail), t->SetFlowControlMode());
    uint32_t ip = 1;
    EXPECT_EQ(0, t->GetHostByName("192.168.1.20", &ip));
    EXPECT_EQ(0xC0A80114u, ip);
    EXPECT_EQ(0, t->GetHostByName("1.2.3.4xyz", &ip));
    EXPECT_EQ(0x01020304u, ip);
    EXPECT_EQ(0, t->GetHostByName(" 1. 2.+3.4", &ip));
    EXPECT_EQ(0x01020304u, ip);
    EXPECT_EQ(0, t->GetHostByName("localhost", &ip));
    EXPECT_EQ(kLoopback, ip);
    EXPECT_NE(0, t->GetHostByName("4294967297.0.0.1", &ip));  // no wrap to 1.0.0.1
    EXPECT_NE(0, t->GetHostByName(std::string(255, 'a'), &ip));
    EXPECT_EQ(static_cast<int>(Result_InvalidPointer), t->GetHostByName("1.2.3.4", nullptr));
  }
}

// Registering, marking, re-keying and bracketing need an initialised
// transport: before Initialize each is refused with a logged failure, not
// reported as done.
TEST(NetworkTransportTest, OperationsBeforeInitializeReturnNotInitialized) {
  test::ScopedCapture capture;
  RefPtr<ITransport> t;
  ASSERT_EQ(0, platform::CreateInstance(0, 0, t.Receive()));
  auto* impl = dynamic_cast<NetworkTransportImpl*>(t.Get());
  ASSERT_NE(nullptr, impl);
  RefPtr<RecordingReceiver> receiver(new RecordingReceiver(), false);
  const int notInitialized = Result_NotInitialized;
  RefPtr<IDataStream> stream;
  EXPECT_EQ(notInitialized, t->AddNotify(receiver.Get()));
  EXPECT_EQ(notInitialized, t->SetConnectionSocketDscp(UUID(1, 2, 3, 4), 8));
  EXPECT_EQ(notInitialized, t->UpdateEncryptionStruct(test::TestCredentials::Get().Settings()));
  EXPECT_EQ(notInitialized, t->BeginWrite());
  EXPECT_EQ(notInitialized, t->EndWrite());
  EXPECT_EQ(notInitialized, impl->CreateDataStream(stream.Receive()));
  EXPECT_FALSE(stream);
  EXPECT_TRUE(capture->Has(Log_Severe, "RETURN Result: 0x8000000b - Transport object is not initialized."));

  ASSERT_EQ(0, t->Initialize(true, true));
  EXPECT_EQ(0, t->AddNotify(receiver.Get()));
  EXPECT_EQ(0, t->BeginWrite());
  EXPECT_EQ(0, t->EndWrite());
  ASSERT_EQ(0, impl->CreateDataStream(stream.Receive()));
  uint32_t size = 1;
  ASSERT_TRUE(stream);
  EXPECT_EQ(0, stream->GetSize(&size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(static_cast<int>(Result_InvalidPointer), impl->CreateDataStream(nullptr));
  EXPECT_EQ(0, t->Finalize());
  EXPECT_EQ(notInitialized, t->EndWrite());
}

// Moving the listener to a port that stays busy tries six times with a
// 500 ms pause after each attempt, then fails and keeps the old listener.
TEST(NetworkTransportTest, ChangeListenerPortToABusyPortTriesForThreeSeconds) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  Endpoint holder(test::FreePort(), kBinaryTransportMode, nullptr);
  ASSERT_EQ(0, server.initResult);
  ASSERT_EQ(0, holder.initResult);
  const auto start = Clock::now();
  EXPECT_EQ(static_cast<int>(Result_Fail), server.transport->ChangeListenerPort(holder.port));
  EXPECT_GE(ElapsedMs(start), 2950);
  EXPECT_TRUE(capture->Has(Log_Severe, "Failed to bind socket. Error "));
  LoopbackPeer peer;
  std::vector<uint8_t> hs;
  ASSERT_TRUE(peer.Connect(server.port));
  EXPECT_TRUE(peer.ReceiveExactly(49, &hs));
}

// A settings frame that holds only the interval changes only the interval:
// the peer's time-out still watches the connection, which expires.
TEST(NetworkTransportTest, ShortKeepAliveSettingsFrameKeepsTheTimeout) {
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), kBinaryTransportMode, nullptr);
  LoopbackPeer peer;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(peer.Connect(server.port));
  ASSERT_TRUE(peer.ReceiveExactly(49, &bytes));
  ASSERT_TRUE(peer.Send(BuildKeepAliveSettingsFrame(100, 2000)));
  const std::string keepAlive = BuildKeepAliveFrame();
  ASSERT_TRUE(peer.ReceiveExactly(keepAlive.size(), &bytes, 5000));
  ASSERT_TRUE(peer.Send(FrameBytes(KeepAliveConfigMessageType, std::string("\xc8\0\0\0", 4))));
  EXPECT_TRUE(peer.WaitClosed(20000));
  EXPECT_TRUE(capture->Contains("Keepalive: 2000"));
  EXPECT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Disconnected) == 1; }));
}

// A text write cut short by a peer that resets: the send's own line, then
// the one failed-result line of the text writer, without the frame
// writer's line. Written on the receive thread, as the HTTP server does, so
// no other thread closes the socket under the write.
TEST(NetworkTransportTest, FailedTextWriteLogsTheSendErrorAndOneFailureLine) {
  class Answering final : public ITransport::ITransportNotify, public IRefCountImpl {
   public:
    int OnDataReady(const UUID& id, const UUID&, IDataStream*) override {
      // Far more than the socket buffers hold: the write is still going on
      // when the peer resets.
      transport->WriteText(id, StreamOf(std::string(32 << 20, 'r')).Get());
      connection = id;
      done.store(true);
      return 0;
    }
    int OnEvent(const UUID&, int) override { return 0; }
    ITransport* transport = nullptr;
    UUID connection;
    std::atomic<bool> done{false};
  };
  test::ScopedCapture capture;
  Endpoint server(test::FreePort(), kRawTransportMode, nullptr, false);
  RefPtr<Answering> answering(new Answering(), false);
  answering->transport = server.transport.Get();
  server.transport->AddNotify(answering.Get());
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(server.port, 5000, 4096));
  ASSERT_TRUE(peer.Send(std::string("GET / HTTP/1.1\r\n\r\n")));
  std::vector<uint8_t> first;
  EXPECT_TRUE(peer.ReceiveExactly(1, &first));
  peer.ResetOnClose();
  peer.Close();
  ASSERT_TRUE(WaitUntil([&] { return answering->done.load(); }, 30000));
  server.transport->RemoveNotify(answering.Get());
  const std::string id = answering->connection.ToString();
  EXPECT_TRUE(capture->Has(Log_Severe, "Socket send error attempting to send "));
  EXPECT_TRUE(capture->Has(Log_Severe, "RETURN Result: 0x8000003d - Socket write failure - Connection ID - " + id));
  EXPECT_FALSE(capture->Contains("Socket write failure - Connection ID - " + id + " socket error"));
}

// A connection still in its TLS accept when the transport goes was never
// announced, so receivers hear nothing of its close either.
TEST(NetworkTransportTest, UnannouncedConnectionClosesWithoutDisconnected) {
  const EncryptionStruct settings = test::TestCredentials::Get().Settings();
  Endpoint server(test::FreePort(), kBinaryTransportMode, &settings);
  ASSERT_EQ(0, server.initResult);
  ASSERT_EQ(0, server.transport->SetEncryptionEnabled(true));
  LoopbackPeer peer;
  std::vector<uint8_t> hs;
  ASSERT_TRUE(peer.Connect(server.port));
  ASSERT_TRUE(peer.ReceiveExactly(49, &hs));  // the accept now waits for a ClientHello
  ASSERT_TRUE(WaitUntil([&] { return server.Count() == 1; }));
  EXPECT_EQ(0, server.transport->Finalize());
  EXPECT_TRUE(peer.WaitClosed(5000));
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Connected));
  EXPECT_EQ(0, server.receiver->Events(TransportEvent_Disconnected));
}

// An openssl command-line tool with its stdin and stdout on pipes; ended by
// its pid.
class ToolProcess {
 public:
  explicit ToolProcess(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    // Everything the child needs is made before the fork: other threads may
    // hold the allocator's lock at that moment.
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~ToolProcess() {
    ::close(stdin_);
    ::close(stdout_);
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5000)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  bool Write(const std::string& bytes) { return ::write(stdin_, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }
  // Collects stdout until it holds needle or the time runs out.
  bool WaitOutput(const std::string& needle, int timeoutMs) {
    return WaitUntil(
        [&] {
          pollfd p{stdout_, POLLIN, 0};
          if (::poll(&p, 1, 20) == 1) {
            char buffer[4096];
            const ssize_t n = ::read(stdout_, buffer, sizeof(buffer));
            if (n > 0) output_.append(buffer, static_cast<size_t>(n));
          }
          return output_.find(needle) != std::string::npos;
        },
        timeoutMs);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string output_;
};

// A real TLS 1.2 peer on each side, through a relay that supplies (for
// s_server) or strips (for s_client) the 49 clear handshake bytes.
TEST(NetworkTransportTest, InteroperatesWithOpenSslTools) {
  if (::system("openssl version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl tool";
  const auto& credentials = test::TestCredentials::Get();
  {
    const uint16_t port = test::FreePort();
    ToolProcess server({"openssl", "s_server", "-accept", std::to_string(port), "-cert", credentials.CertFile(), "-key",
                        credentials.KeyFile(), "-tls1_2", "-quiet"});
    ASSERT_TRUE(WaitUntil([&] { return LoopbackPeer().Connect(port, 200); }, 10000));
    FakeServer relay([&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
      peer.Send(test::HandshakeBytes(UUID(0xabcdef01u, 2, 3, 4), true));
      LoopbackPeer upstream;
      if (upstream.Connect(port)) test::Pump(peer.Fd(), upstream.Fd(), stop);
    });
    Endpoint client(0, kBinaryTransportMode, nullptr);
    UUID id;
    ASSERT_EQ(0, client.transport->OpenConnection(kLoopback, relay.Port(), &id, 5000));
    EXPECT_EQ(UUID(0xabcdef01u, 2, 3, 4), id);
    EXPECT_EQ(0, client.transport->Write(id, kType, StreamOf("ping-from-transport").Get()));
    EXPECT_TRUE(server.WaitOutput(FrameBytes(kType, "ping-from-transport"), 5000));
    ASSERT_TRUE(server.Write(FrameBytes(kType, "pong-from-s_server")));
    ASSERT_TRUE(WaitUntil([&] { return client.receiver->MessageCount() == 1; }));
    EXPECT_EQ("pong-from-s_server", client.receiver->Messages()[0].bytes);
  }
  {
    const EncryptionStruct settings = credentials.Settings();
    Endpoint server(test::FreePort(), kBinaryTransportMode, &settings);
    ASSERT_EQ(0, server.transport->SetEncryptionEnabled(true));
    FakeServer relay([&](LoopbackPeer& peer, const std::atomic<bool>& stop) {
      LoopbackPeer downstream;
      std::vector<uint8_t> handshake;
      if (downstream.Connect(server.port) && downstream.ReceiveExactly(49, &handshake) && handshake[48] == 1) {
        test::Pump(peer.Fd(), downstream.Fd(), stop);
      }
    });
    ToolProcess client(
        {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(relay.Port()), "-tls1_2", "-quiet"});
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->Events(TransportEvent_Connected) == 1; }));
    const UUID id = server.receiver->Ids(TransportEvent_Connected)[0];
    ASSERT_TRUE(client.Write(FrameBytes(kType, "ping-from-s_client")));
    ASSERT_TRUE(WaitUntil([&] { return server.receiver->MessageCount() == 1; }));
    EXPECT_EQ("ping-from-s_client", server.receiver->Messages()[0].bytes);
    EXPECT_EQ(0, server.transport->Write(id, kType, StreamOf("pong-from-transport").Get()));
    EXPECT_TRUE(client.WaitOutput(FrameBytes(kType, "pong-from-transport"), 5000));
  }
  EXPECT_TRUE(NoConnectionsLeft());
}

}  // namespace
}  // namespace corvane
