// A raw receiver that answers and closes on the delivering thread, as the
// HTTP server does: the peer sees the end of the stream at once, and a
// connection answered this way no longer holds one of the listener's slots.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "DataStream.h"
#include "Network.h"
#include "NetworkTransportImpl.h"
#include "SocketLayer.h"
#include "TransportLoopbackSupport.h"

namespace corvane {
namespace {

using test::LoopbackPeer;
using test::StreamOf;
using test::WaitUntil;

// Answers every chunk with "answer" and closes, unless told to keep quiet;
// may keep each connection's writer, which keeps the connection alive.
class Answering final : public ITransport::ITransportNotify, public IRefCountImpl, public test::EventLog {
 public:
  int OnDataReady(const UUID& id, const UUID&, IDataStream*) override {
    if (keepWriters) {
      RefPtr<ITransportFastWrite::IWriter> writer;
      dynamic_cast<ITransportFastWrite*>(transport)->CreateWriter(id, writer.Receive());
      std::lock_guard<std::mutex> lock(mutex);
      writers.push_back(writer);
    }
    transport->WriteText(id, StreamOf("answer").Get());
    transport->CloseConnection(id);
    return 0;
  }
  int OnEvent(const UUID& id, int event) override {
    Add(id, event);
    return 0;
  }

  ITransport* transport = nullptr;
  bool keepWriters = false;
  std::mutex mutex;
  std::vector<RefPtr<ITransportFastWrite::IWriter>> writers;
};

struct RawServer {
  RawServer() : port(test::FreePort()), answering(new Answering(), false) {
    ITransport* raw = nullptr;
    platform::CreateRawInstance(0, port, nullptr, &raw);
    transport.Attach(raw);
    answering->transport = raw;
    initResult = transport->Initialize(false, true);
    transport->AddNotify(answering.Get());
  }
  ~RawServer() {
    transport->Finalize();
    transport->RemoveNotify(answering.Get());
    {
      std::lock_guard<std::mutex> lock(answering->mutex);
      answering->writers.clear();
    }
    transport.Reset();
  }

  uint16_t port;
  RefPtr<ITransport> transport;
  RefPtr<Answering> answering;
  int initResult = 0;
};

bool NoConnectionsLeft() {
  return WaitUntil([] { return NetworkTransportImpl::LiveConnectionCount() == 0; }, 20000);
}

// The close is not left to the connection's destruction: a writer held by
// the receiver keeps the connection alive, and still the peer reads the
// whole answer and then the end of the stream. The peer's own close later
// raises Disconnected once.
TEST(RawConnectionCloseTest, AConnectionClosedOnItsOwnThreadEndsItsStreamAtOnce) {
  {
    RawServer server;
    ASSERT_EQ(0, server.initResult);
    server.answering->keepWriters = true;
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(server.port));
    ASSERT_TRUE(peer.Send(std::string("GET / HTTP/1.1\r\n\r\n")));
    EXPECT_EQ("answer", peer.ReceiveText(6, 10000));
    EXPECT_TRUE(peer.WaitClosed(10000));
    {
      std::lock_guard<std::mutex> lock(server.answering->mutex);
      EXPECT_EQ(1u, server.answering->writers.size());
    }
    peer.Close();
    EXPECT_TRUE(WaitUntil([&] { return server.answering->Events(TransportEvent_Disconnected) == 1; }));
    EXPECT_EQ(1, server.answering->Events(TransportEvent_Connected));
  }
  EXPECT_TRUE(NoConnectionsLeft());
}

// A client that asked for one answer need not close for the connection to
// end, and the ended connection is removed and destroyed while nothing else
// is asked of the transport (its removal is batched, not forgotten).
TEST(RawConnectionCloseTest, AnAnsweredConnectionEndsBeforeThePeerClosesAndIsRemovedUnasked) {
  RawServer server;
  ASSERT_EQ(0, server.initResult);
  LoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(server.port));
  ASSERT_TRUE(peer.Send(std::string("GET / HTTP/1.1\r\n\r\n")));
  EXPECT_EQ("answer", peer.ReceiveText(6, 10000));
  EXPECT_TRUE(peer.WaitClosed(10000));
  EXPECT_TRUE(WaitUntil([&] { return server.answering->Events(TransportEvent_Disconnected) == 1; }, 20000));
  EXPECT_TRUE(NoConnectionsLeft());
  peer.Close();
}

// The manager's thread is held in a send to a peer that does not read, so
// every removal waits in its queue. Connections answered and closed on their
// own threads meanwhile leave their slots at once: far more than 100 clients
// in a row are all answered before the held send ends.
TEST(RawConnectionCloseTest, AnsweredConnectionsLeaveTheirSlotsWhileTheManagerIsBusy) {
  platform::EnsureOpenFileLimit(4096, nullptr);
  {
    RawServer server;
    ASSERT_EQ(0, server.initResult);
    ASSERT_EQ(0, server.transport->SetWriteTimeout(120000));
    LoopbackPeer stalled;
    ASSERT_TRUE(stalled.Connect(server.port, 5000, 4096));
    ASSERT_TRUE(WaitUntil([&] { return server.answering->Events(TransportEvent_Connected) == 1; }));
    const UUID stalledId = server.answering->Ids(TransportEvent_Connected)[0];
    // Written from this thread, so it is queued to the manager, whose send
    // then waits for the peer to read; what is queued after it waits too.
    ASSERT_EQ(0, server.transport->WriteText(stalledId, StreamOf(std::string(16 << 20, 'x')).Get()));

    int answered = 0;
    for (int i = 0; i < 150; ++i) {
      LoopbackPeer peer;
      ASSERT_TRUE(peer.Connect(server.port));
      ASSERT_TRUE(peer.Send(std::string("GET\r\n\r\n")));
      if (peer.ReceiveText(6, 20000) != "answer") break;
      ++answered;
    }
    EXPECT_EQ(150, answered);
    // The held send fails and the manager catches up.
    stalled.ResetOnClose();
    stalled.Close();
  }
  EXPECT_TRUE(NoConnectionsLeft());
}

}  // namespace
}  // namespace corvane
