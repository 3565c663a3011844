// The adapter layers end to end: exact record bytes, bad input, the
// flow-control window, and two in-memory stacks joined back to back that
// carry random messages across random socket cuts.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FlowControl.h"
#include "FlowControlLayer.h"
#include "FragmentLayer.h"
#include "Locks.h"
#include "ResendLayer.h"
#include "Result.h"
#include "Scheduler.h"
#include "TestLogCapture.h"
#include "TestWait.h"
#include "TransportHeldBytes.h"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

const UUID kLayered("585e9369-bd10-4a57-ac8d-ac3bc4f4b4a4");
const UUID kType("01020304-0506-0708-090a-0b0c0d0e0f10");

RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  s->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return s;
}

// Every byte of the stream, whatever its position.
Bytes AllBytes(IDataStream* s) {
  uint32_t size = 0;
  s->GetSize(&size);
  RefPtr<IDataStream> view;
  CreateSubStream(s, 0, size, view.Receive());
  Bytes out(size);
  view->Read(out.data(), size);
  return out;
}

Bytes Rest(IDataStream* s) {
  Bytes out(RemainingBytes(s));
  s->Read(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

Bytes Le64(uint64_t v) {
  Bytes out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes UuidBytes(const UUID& u) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  u.Serialize(s.Get());
  return AllBytes(s.Get());
}

// [0][type] body: the adapter header.
RefPtr<IDataStream> AdapterMessage(const Bytes& body) { return StreamOf(Cat({{0}, UuidBytes(kType), body})); }

class FakeClock : public ILayerClock {
 public:
  int64_t MonotonicMs() override { return mono.load(); }
  int64_t UtcMs() override { return utc.load(); }
  std::atomic<int64_t> mono{1000000};
  std::atomic<int64_t> utc{1700000000000};
};

// The bottom of a stack in the byte tests: records what is sent, fails on
// demand, and hands out queued records on Receive.
class CaptureLayer : public ITransportLayer {
 public:
  int Send(IDataStream* message, int timeoutMs) override {
    if (failAfter >= 0 && static_cast<int>(sent.size()) >= failAfter && (timeoutMs != 0 || failControl)) {
      return Result_WriteTimeout;
    }
    sent.push_back(AllBytes(message));
    timeouts.push_back(timeoutMs);
    if (onSend) onSend();
    return 0;
  }
  int Receive(IDataStream**, ITransport::PostReceiveTask**) override { return 0; }
  int OnConnect(const UUID&, const UUID&, bool) override { return 0; }
  int OnDisconnect() override { return 0; }

  std::vector<Bytes> sent;
  std::vector<int> timeouts;
  int failAfter = -1;  // fail sends once this many went out
  std::function<void()> onSend;
  bool failControl = false;
};

class FakeConnection : public IResendConnection, public IRefCountImpl {
 public:
  uint64_t GetSocketGeneration() override { return generation; }
  void OnPartialSend() override {
    ++partialSends;
    ++generation;
  }
  int OnConnect(const UUID& c, const UUID& i, bool r) override {
    connects.push_back({c, i, r});
    return 0;
  }
  struct Connect {
    UUID connection, instance;
    bool reconnect;
  };
  uint64_t generation = 1;
  int partialSends = 0;
  std::vector<Connect> connects;
};

// Runs a stack's Receive on one incoming record.
int Feed(ITransportLayer* top, const Bytes& record, RefPtr<IDataStream>* out,
         RefPtr<ITransport::PostReceiveTask>* task = nullptr) {
  IDataStream* s = nullptr;
  CreateDataStream(&s);
  s->Write(record.data(), static_cast<uint32_t>(record.size()));
  uint32_t pos = 0;
  s->GetPosition(&pos);  // reading mode, as the transport delivers it
  ITransport::PostReceiveTask* t = nullptr;
  int r = top->Receive(&s, &t);
  out->Attach(s);
  if (task) {
    task->Attach(t);
  } else if (t) {
    t->Run();
    t->Release();
  }
  return r;
}

// ---------------------------------------------------------------------------

TEST(TransportLayersTest, ResendRecordsBytesAndReceiveRules) {
  test::ScopedCapture log;
  FakeConnection conn;
  auto bottom = std::make_unique<CaptureLayer>();
  CaptureLayer* cap = bottom.get();
  ResendLayer resend(&conn, std::move(bottom));

  // Mode-1 frame body: 05 | seq | 00 | type | body.
  ASSERT_EQ(0, resend.Send(AdapterMessage({'A', 'B'}).Get(), 10000));
  EXPECT_EQ(cap->sent[0], Cat({{5}, Le64(1), {0}, UuidBytes(kType), {'A', 'B'}}));
  EXPECT_EQ(cap->timeouts[0], 10000);

  // A failed send with nothing out is not queued and keeps its number.
  cap->failAfter = 1;
  EXPECT_EQ(Result_WriteTimeout, resend.Send(AdapterMessage({'C'}).Get(), 10000));
  EXPECT_EQ(1u, resend.QueuedRecords());
  EXPECT_EQ(2u, resend.NextSequence());
  // A failure after the socket changed under the send keeps the record and
  // its number: bytes of it may be out.
  cap->failAfter = -1;
  ASSERT_EQ(0, resend.Send(AdapterMessage({'C'}).Get(), 10000));
  EXPECT_EQ(cap->sent[1], Cat({{5}, Le64(2), {0}, UuidBytes(kType), {'C'}}));

  // Connect record (34 bytes), then the queue resent bare, in order.
  UUID c("11111111-2222-3333-4444-555555555555"), i("66666666-7777-8888-9999-aaaaaaaaaaaa");
  ASSERT_EQ(0, resend.OnConnect(c, i, true));
  ASSERT_EQ(5u, cap->sent.size());
  EXPECT_EQ(cap->sent[2], Cat({{4}, UuidBytes(c), UuidBytes(i), {1}}));
  EXPECT_EQ(34u, cap->sent[2].size());
  EXPECT_EQ(cap->sent[3], cap->sent[0]);
  EXPECT_EQ(cap->sent[4], cap->sent[1]);
  EXPECT_EQ((std::vector<int>{10000, 10000, 0, 0, 0}), cap->timeouts);
  EXPECT_TRUE(log->Has(Log_Information, "resend result for 1: 0"));
  EXPECT_TRUE(log->Has(Log_Information, "resend result for 2: 0"));
  EXPECT_TRUE(log->Has(Log_Information, "resend onconnect result: 0"));
  // A nil connection UUID (closing) resends nothing.
  ASSERT_EQ(0, resend.OnConnect(UUID(), i, false));
  EXPECT_EQ(6u, cap->sent.size());

  // Acknowledgement 5 with 3..7 queued leaves 6 and 7; a short one is ignored.
  for (int n = 3; n <= 7; ++n) ASSERT_EQ(0, resend.Send(AdapterMessage({'x'}).Get(), 10000));
  RefPtr<IDataStream> out;
  EXPECT_EQ(0, Feed(&resend, Cat({{6}, Le64(2)}), &out));
  EXPECT_EQ(5u, resend.QueuedRecords());
  EXPECT_EQ(0, Feed(&resend, {6, 9, 0, 0}, &out));
  EXPECT_FALSE(out);
  EXPECT_EQ(5u, resend.QueuedRecords());
  EXPECT_EQ(0, Feed(&resend, Cat({{6}, Le64(5)}), &out));
  EXPECT_EQ(2u, resend.QueuedRecords());
  EXPECT_EQ(0, Feed(&resend, Cat({{6}, Le64(~0ull)}), &out));
  EXPECT_EQ(0u, resend.QueuedRecords());
  EXPECT_EQ(0u, resend.QueuedBytes());

  // Receiving: 1 accepted, 1 again dropped but acknowledged, 4 a gap.
  cap->sent.clear();
  EXPECT_EQ(0, Feed(&resend, Cat({{5}, Le64(1), {'h', 'i'}}), &out));
  ASSERT_TRUE(out);
  EXPECT_EQ(Rest(out.Get()), (Bytes{'h', 'i'}));
  EXPECT_EQ(0, Feed(&resend, Cat({{5}, Le64(1), {'h', 'i'}}), &out));
  EXPECT_FALSE(out);
  EXPECT_EQ(0, Feed(&resend, Cat({{5}, Le64(0)}), &out));
  EXPECT_FALSE(out);
  EXPECT_EQ(0, Feed(&resend, Cat({{5}, Le64(4), {'z'}}), &out));
  ASSERT_TRUE(out);
  EXPECT_TRUE(log->Has(Log_Severe, "received sequence 4; expected 2 on 00000000-0000"));
  EXPECT_EQ((std::vector<Bytes>{Cat({{6}, Le64(1)}), Cat({{6}, Le64(1)}), Cat({{6}, Le64(0)}), Cat({{6}, Le64(4)})}),
            cap->sent);
  // The acknowledgement fails: the message is still delivered.
  cap->failAfter = 0;
  cap->failControl = true;
  EXPECT_EQ(0, Feed(&resend, Cat({{5}, Le64(5), {'q'}}), &out));
  ASSERT_TRUE(out);
  EXPECT_EQ(5u, resend.LastReceived());
  cap->failAfter = -1;

  // Short records: data and connect dropped without acknowledgement or call.
  const size_t acks = cap->sent.size();
  EXPECT_LT(Feed(&resend, Cat({{5}, {1, 0, 0, 0, 0, 0, 0}}), &out), 0);
  EXPECT_FALSE(out);
  EXPECT_LT(Feed(&resend, Cat({{4}, UuidBytes(c), UuidBytes(i)}), &out), 0);
  EXPECT_FALSE(out);
  EXPECT_EQ(acks, cap->sent.size());
  EXPECT_TRUE(conn.connects.empty());
  EXPECT_EQ(0, Feed(&resend, Cat({{4}, UuidBytes(c), UuidBytes(i), {0}}), &out));
  EXPECT_FALSE(out);
  ASSERT_EQ(1u, conn.connects.size());
  EXPECT_EQ(c, conn.connects[0].connection);
  EXPECT_EQ(i, conn.connects[0].instance);
  EXPECT_FALSE(conn.connects[0].reconnect);
  // Unknown types pass up unchanged.
  EXPECT_EQ(0, Feed(&resend, {9, 1, 2}, &out));
  ASSERT_TRUE(out);
  EXPECT_EQ(Rest(out.Get()), (Bytes{9, 1, 2}));
}

TEST(TransportLayersTest, ResendQueueIsBounded) {
  FakeConnection conn;
  auto bottom = std::make_unique<CaptureLayer>();
  ResendLayer resend(&conn, std::move(bottom));
  // One shared 16 MiB body: the queue holds views, so this costs one buffer.
  RefPtr<IDataStream> body;
  CreateDataStream(body.Receive());
  body->AppendEmpty(16u << 20);
  for (int n = 0; n < 3; ++n) ASSERT_EQ(0, resend.Send(body.Get(), 10000));
  EXPECT_EQ(Result_WriteTimeout, resend.Send(body.Get(), 10000));
  EXPECT_EQ(3u, resend.QueuedRecords());
  EXPECT_EQ(4u, resend.NextSequence());
}

// The mode-2 send path: resend -> fragment -> flow control -> capture.
struct Mode2Stack {
  explicit Mode2Stack(FakeClock* clock) {
    monitor.reset(GetDefaultScheduler()->CreateMonitor());
    factory = std::make_shared<FlowControl::MyFactory>(monitor.get(), clock);
    auto bottom = std::make_unique<CaptureLayer>();
    cap = bottom.get();
    auto flow = std::make_unique<FlowControlLayer>(&conn, &conn, &conn, 0x7f000001, 5000, factory->Create(),
                                                   std::move(bottom), clock);
    flowLayer = flow.get();
    auto fragment = std::make_unique<FragmentLayer>(&conn, std::move(flow));
    fragmentLayer = fragment.get();
    top = std::make_unique<ResendLayer>(&conn, std::move(fragment));
    // The peer acknowledges every record at once, so the window never fills.
    cap->onSend = [this] { flowLayer->flowControl()->OnAck(0, 1 << 20); };
  }
  FakeConnection conn;
  std::unique_ptr<Scheduler::Monitor> monitor;
  std::shared_ptr<FlowControl::MyFactory> factory;
  CaptureLayer* cap;
  FlowControlLayer* flowLayer;
  FragmentLayer* fragmentLayer;
  std::unique_ptr<ResendLayer> top;
};

TEST(TransportLayersTest, Mode2FramesFragmentsAndAcknowledgements) {
  FakeClock clock;
  Mode2Stack a(&clock);
  MonitorGuard guard(a.monitor.get());

  // Frame body by offset: 02 time 01 last 05 seq 00 type body.
  ASSERT_EQ(0, a.top->Send(AdapterMessage({'A', 'B'}).Get(), 10000));
  ASSERT_EQ(1u, a.cap->sent.size());
  EXPECT_EQ(a.cap->sent[0], Cat({{2}, Le64(1700000000000), {1, 1}, {5}, Le64(1), {0}, UuidBytes(kType), {'A', 'B'}}));

  // Resend record sizes 10000 / 4096 / 4097 / 0 (26 bytes of headers).
  auto piecesOf = [&](uint32_t recordSize) {
    a.cap->sent.clear();
    EXPECT_EQ(0, a.top->Send(AdapterMessage(Bytes(recordSize - 26, 'p')).Get(), 10000));
    std::vector<std::pair<int, size_t>> out;
    for (const auto& s : a.cap->sent) out.push_back({s[10], s.size() - 11});
    return out;
  };
  using P = std::vector<std::pair<int, size_t>>;
  EXPECT_EQ(piecesOf(10000), (P{{0, 4096}, {0, 4096}, {1, 1808}}));
  EXPECT_EQ(piecesOf(4096), (P{{1, 4096}}));
  EXPECT_EQ(piecesOf(4097), (P{{0, 4096}, {1, 1}}));
  // An empty message sends nothing through the fragment layer.
  a.cap->sent.clear();
  EXPECT_EQ(0, a.fragmentLayer->Send(StreamOf({}).Get(), 10000));
  EXPECT_TRUE(a.cap->sent.empty());
  // Control records travel bare.
  EXPECT_EQ(0, a.fragmentLayer->Send(StreamOf({6, 1, 0, 0, 0, 0, 0, 0, 0}).Get(), 0));
  EXPECT_EQ(a.cap->sent.back(), (Bytes{6, 1, 0, 0, 0, 0, 0, 0, 0}));

  // A piece that fails after others went out: partial send reported, the
  // record keeps its number and stays queued for the whole resend, so the
  // caller is told it is written.
  a.cap->sent.clear();
  a.cap->failAfter = 1;
  const uint64_t next = a.top->NextSequence();
  const size_t queued = a.top->QueuedRecords();
  EXPECT_EQ(0, a.top->Send(AdapterMessage(Bytes(9000, 'r')).Get(), 10000));
  EXPECT_EQ(1, a.conn.partialSends);
  EXPECT_EQ(next + 1, a.top->NextSequence());
  EXPECT_EQ(queued + 1, a.top->QueuedRecords());
  // Failing on the first piece: nothing out, number reused.
  a.cap->failAfter = 0;
  EXPECT_EQ(Result_WriteTimeout, a.top->Send(AdapterMessage(Bytes(9000, 'r')).Get(), 10000));
  EXPECT_EQ(1, a.conn.partialSends);
  EXPECT_EQ(next + 1, a.top->NextSequence());
  a.cap->failAfter = -1;
  a.flowLayer->OnDisconnect();  // the failed writes' bytes died with the socket
  a.flowLayer->OnConnect(UUID(), UUID(), false);

  // Receiving: pieces reassembled, one acknowledgement per piece carrying
  // the delay and the record's whole size.
  Mode2Stack b(&clock);
  MonitorGuard guardB(b.monitor.get());
  a.cap->sent.clear();
  Bytes body(10000 - 26);
  for (size_t n = 0; n < body.size(); ++n) body[n] = static_cast<uint8_t>(n * 7);
  ASSERT_EQ(0, a.top->Send(AdapterMessage(body).Get(), 10000));
  ASSERT_EQ(3u, a.cap->sent.size());
  clock.utc += 42;
  RefPtr<IDataStream> out;
  for (size_t n = 0; n < 3; ++n) {
    RefPtr<ITransport::PostReceiveTask> task;
    ASSERT_EQ(0, Feed(b.top.get(), a.cap->sent[n], &out, &task));
    ASSERT_TRUE(task);
    EXPECT_EQ(n == 2, static_cast<bool>(out));
    task->Run();
    EXPECT_EQ(b.cap->sent.back(), Cat({{3}, Le64(42), Le64(a.cap->sent[n].size())}));
  }
  ASSERT_TRUE(out);
  EXPECT_EQ(Rest(out.Get()), Cat({{0}, UuidBytes(kType), body}));
  // The resend acknowledgement goes out while the last piece is received,
  // before that piece's flow acknowledgement.
  ASSERT_EQ(4u, b.cap->sent.size());
  EXPECT_EQ(b.cap->sent[2], Cat({{6}, Le64(a.top->NextSequence() - 1)}));

  // Extreme flow fields and short records: no overflow, no stall.
  for (int64_t v : {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), int64_t{0}, int64_t{-1}}) {
    EXPECT_EQ(0, Feed(b.top.get(), Cat({{3}, Le64(v), Le64(v)}), &out));
    EXPECT_EQ(0, Feed(b.top.get(), Cat({{3}, Le64(v), Le64(4107)}), &out));
    RefPtr<ITransport::PostReceiveTask> task;
    EXPECT_EQ(0, Feed(b.top.get(), Cat({{2}, Le64(v), {9}}), &out, &task));
    task->Run();
  }
  EXPECT_GE(b.flowLayer->flowControl()->OnWrite(100, 0), true);
  EXPECT_LT(Feed(b.top.get(), {2, 1, 2, 3}, &out), 0);
  EXPECT_EQ(0, Feed(b.top.get(), {3, 1, 2, 3}, &out));
  EXPECT_EQ(0, Feed(b.top.get(), {1}, &out));
  EXPECT_FALSE(out);
}

// The window counts only records that went out on the current socket, and
// acknowledgements only of records read on it: otherwise counts that no
// acknowledgement repays pile up until every writer waits out its time-out.
TEST(TransportLayersTest, FlowWindowCountsOnlyTheCurrentSocket) {
  FakeClock clock;
  Mode2Stack a(&clock);
  MonitorGuard guard(a.monitor.get());
  a.cap->onSend = nullptr;  // no acknowledgements unless fed
  auto* window = static_cast<FlowControl*>(a.flowLayer->flowControl());

  // Pieces the socket refused (a write time-out keeps the socket): nothing
  // went out, so nothing stays counted, however many fail.
  a.cap->failAfter = 0;
  for (int n = 0; n < 5; ++n) {
    EXPECT_EQ(Result_WriteTimeout, a.top->Send(AdapterMessage(Bytes(3000, 'f')).Get(), 10000));
    // Checked each time: a leaked count would soon fill the window, and the
    // next write would wait on a clock that does not move.
    ASSERT_EQ(0, window->Unacknowledged());
  }
  a.cap->failAfter = -1;

  // A piece skipped because the socket was replaced while it waited (a
  // redial moves the generation without a second reset).
  a.cap->onSend = [&] { ++a.conn.generation; };
  EXPECT_EQ(0, a.top->Send(AdapterMessage(Bytes(100, 'g')).Get(), 10000));
  EXPECT_EQ(0, window->Unacknowledged());
  a.cap->onSend = nullptr;

  // A piece that went out stays counted until its acknowledgement.
  a.cap->sent.clear();
  ASSERT_EQ(0, a.top->Send(AdapterMessage(Bytes(100, 'h')).Get(), 10000));
  ASSERT_EQ(1u, a.cap->sent.size());
  const int64_t counted = static_cast<int64_t>(a.cap->sent[0].size());
  EXPECT_EQ(counted, window->Unacknowledged());

  // Receiver: a record read on a socket that was then replaced is delivered
  // but not acknowledged on the new socket; one read on the current socket is.
  Mode2Stack b(&clock);
  MonitorGuard guardB(b.monitor.get());
  b.cap->onSend = nullptr;
  RefPtr<IDataStream> out;
  RefPtr<ITransport::PostReceiveTask> stale;
  ASSERT_EQ(0, Feed(b.top.get(), a.cap->sent[0], &out, &stale));
  ASSERT_TRUE(out && stale);
  const size_t before = b.cap->sent.size();  // the resend acknowledgement
  ++b.conn.generation;
  stale->Run();
  EXPECT_EQ(before, b.cap->sent.size());
  a.cap->sent.clear();
  ASSERT_EQ(0, a.top->Send(AdapterMessage(Bytes(100, 'i')).Get(), 10000));
  RefPtr<ITransport::PostReceiveTask> fresh;
  ASSERT_EQ(0, Feed(b.top.get(), a.cap->sent[0], &out, &fresh));
  const size_t withResendAck = b.cap->sent.size();
  fresh->Run();
  ASSERT_EQ(withResendAck + 1, b.cap->sent.size());
  EXPECT_EQ(b.cap->sent.back(), Cat({{3}, Le64(0), Le64(a.cap->sent[0].size())}));
}

TEST(TransportLayersTest, ReassemblyIsCapped) {
  test::ScopedCapture log;
  FakeConnection conn;
  FragmentLayer fragment(&conn, std::make_unique<CaptureLayer>());
  RefPtr<IDataStream> big;
  CreateDataStream(big.Receive());
  big->AppendEmpty(10u << 20);
  RefPtr<IDataStream> head = StreamOf({1, 0});
  for (int n = 0; n < 11; ++n) {
    IDataStream* s = nullptr;
    ConcatenateDataStreams(head.Get(), big.Get(), &s);
    ITransport::PostReceiveTask* t = nullptr;
    EXPECT_EQ(0, fragment.Receive(&s, &t));
    EXPECT_EQ(nullptr, s);
  }
  EXPECT_TRUE(log->Has(Log_Severe, "reassembly of more than 104857600 bytes"));
  EXPECT_EQ(0u, fragment.PendingBytes());
}

TEST(TransportLayersTest, FlowControlWindowVectors) {
  test::ScopedCapture log;
  FakeClock clock;
  std::unique_ptr<Scheduler::Monitor> monitor(GetDefaultScheduler()->CreateMonitor());
  auto factory = std::make_shared<FlowControl::MyFactory>(monitor.get(), &clock);
  auto made = factory->Create();
  auto* fc = static_cast<FlowControl*>(made.get());

  // Slow start, no overrun yet: queuing counts as 100, no growth.
  EXPECT_EQ(0, fc->OnAck(0, 1));
  EXPECT_EQ(8192, fc->Window());
  // Overrun, then slow start grows by 4096 per acknowledgement.
  EXPECT_TRUE(fc->OnWrite(4107, 1000));
  EXPECT_TRUE(fc->OnWrite(4107, 1000));
  EXPECT_EQ(8214, fc->Unacknowledged());
  EXPECT_EQ(0, fc->OnAck(0, 1));
  EXPECT_EQ(12288, fc->Window());
  EXPECT_EQ(0, fc->OnAck(0, 1));
  EXPECT_EQ(16384, fc->Window());
  // 101 ms of queuing leaves slow start (gain truncates to 0).
  EXPECT_EQ(0, fc->OnAck(101, 1));
  EXPECT_FALSE(fc->InSlowStart());
  EXPECT_EQ(16384, fc->Window());
  // 20 ms of queuing, 4107 bytes at 16384: +821.
  EXPECT_EQ(0, fc->OnAck(20, 4107));
  EXPECT_EQ(17205, fc->Window());
  // No overrun for more than 1000 ms: no growth.
  clock.mono += 1001;
  EXPECT_EQ(0, fc->OnAck(0, 4107));
  EXPECT_EQ(17205, fc->Window());
  // Byte counts <= 0 and extreme delays change nothing harmful.
  const int64_t unacked = fc->Unacknowledged();
  EXPECT_EQ(0, fc->OnAck(5, -100000));
  EXPECT_EQ(0, fc->OnAck(5, std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(unacked, fc->Unacknowledged());
  EXPECT_EQ(0, fc->OnAck(std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(8192, fc->Window());
  EXPECT_EQ(0, fc->Unacknowledged());

  // q = 150 at 8192 with 4107 bytes: gain -1026, clamped to 8192.
  fc->Reset();
  EXPECT_EQ(0, fc->OnAck(0, 1));
  EXPECT_EQ(0, fc->OnAck(150, 4107));
  EXPECT_EQ(8192, fc->Window());

  // History: ten minutes of buckets; a sample 11 minutes later replaces all.
  fc->Reset();
  EXPECT_EQ(50, factory->RecordDelay(50));
  clock.mono += 60000;
  EXPECT_EQ(50, factory->RecordDelay(80));
  EXPECT_EQ(30, factory->RecordDelay(30));
  clock.mono += 11 * 60000;
  EXPECT_EQ(90, factory->RecordDelay(90));

  // A full window times out with both lines; Reset wakes a waiter.
  fc->Reset();
  FlowControl real(std::make_shared<FlowControl::MyFactory>(monitor.get(), GetSystemLayerClock()));
  EXPECT_TRUE(real.OnWrite(9000, 10));
  EXPECT_FALSE(real.OnWrite(100, 20));
  EXPECT_TRUE(log->Has(Log_Severe, "got 9000 byte packet in FlowControlImpl"));
  EXPECT_TRUE(log->Has(Log_Severe, "write 100 unacked 9000 window 8192 avg 0"));
  std::atomic<bool> admitted{false};
  std::thread writer([&] { admitted = real.OnWrite(100, 20000); });
  EXPECT_TRUE(test::WaitUntil([&] {
    {
      MonitorGuard g(monitor.get());
      real.OnAck(0, 9000);
    }
    return admitted.load();
  }));
  writer.join();
}

// ---------------------------------------------------------------------------
// Two stacks back to back. Each side's receive thread takes frames off its
// inbound queue and runs them through the current stack under the side's
// monitor; a cutter thread drops the "socket" (in-flight frames lost, layers
// told OnDisconnect) and brings it back (OnConnect as a reconnection, which
// resends), at random moments relative to the writer.

struct Frame {
  uint64_t socket;
  UUID type;
  Bytes bytes;
};

class Link;

class Side : public IResendConnection, public IRefCountImpl {
 public:
  Side(Link* link, int index, int mode, ILayerClock* clock);
  ~Side() override;

  uint64_t GetSocketGeneration() override { return generation; }
  void OnPartialSend() override;
  int OnConnect(const UUID&, const UUID&, bool) override { return 0; }

  // Each stack layer's OnConnect / OnDisconnect, top first.
  void LayersConnect(bool reconnect) {
    for (ITransportLayer* l : layers) ASSERT_GE(l->OnConnect(connectionId, instanceId, reconnect), 0);
  }
  void LayersDisconnect() {
    for (ITransportLayer* l : layers) l->OnDisconnect();
  }
  int Write(IDataStream* message) {
    MonitorGuard g(monitor.get());
    return top->Send(message, 10000);
  }

  class Network : public ITransportLayer {
   public:
    explicit Network(Side* side) : side_(side) {}
    int Send(IDataStream* message, int timeoutMs) override;
    int Receive(IDataStream**, ITransport::PostReceiveTask**) override { return 0; }
    int OnConnect(const UUID&, const UUID&, bool) override { return 0; }
    int OnDisconnect() override { return 0; }

   private:
    Side* side_;
  };

  Link* link;
  int index;
  std::unique_ptr<Scheduler::Monitor> monitor;
  std::shared_ptr<FlowControl::MyFactory> factory;
  std::unique_ptr<ITransportLayer> top;
  ResendLayer* resend = nullptr;
  std::vector<ITransportLayer*> layers;
  uint64_t generation = 1;
  uint64_t socket = 1;  // the link socket this side writes to
  bool reconnecting = false;
  UUID connectionId, instanceId;
  std::vector<Bytes> delivered;  // under the monitor
  std::atomic<int> failNextData{0};
};

class Link {
 public:
  Link(int mode, ILayerClock* clock) {
    sides[0] = RefPtr<Side>(new Side(this, 0, mode, clock), false);
    sides[1] = RefPtr<Side>(new Side(this, 1, mode, clock), false);
    sides[1]->connectionId = sides[0]->connectionId;
    for (int n = 0; n < 2; ++n) {
      MonitorGuard g(sides[n]->monitor.get());
      sides[n]->LayersConnect(false);
    }
    for (int n = 0; n < 2; ++n) receivers[n] = std::thread([this, n] { ReceiveLoop(n); });
    cutter = std::thread([this] { CutLoop(); });
  }
  ~Link() {
    {
      std::lock_guard<std::mutex> l(mutex);
      stop = true;
    }
    cv.notify_all();
    for (auto& t : receivers) t.join();
    cutter.join();
  }

  void Push(int to, Frame frame) {
    {
      std::lock_guard<std::mutex> l(mutex);
      if (frame.socket != socket) return;  // written to a dead socket
      inbound[to].push_back(std::move(frame));
    }
    cv.notify_all();
  }
  uint64_t Socket() {
    std::lock_guard<std::mutex> l(mutex);
    return socket;
  }
  void RequestCut() {
    {
      std::lock_guard<std::mutex> l(mutex);
      ++cutsRequested;
    }
    cv.notify_all();
  }
  // Drops the socket: in-flight frames vanish, both sides see OnDisconnect.
  void Drop() {
    {
      std::lock_guard<std::mutex> l(mutex);
      ++socket;
      inbound[0].clear();
      inbound[1].clear();
      down = true;
    }
    for (auto& s : sides) {
      MonitorGuard g(s->monitor.get());
      ++s->generation;
      s->reconnecting = true;
      s->LayersDisconnect();
    }
    cv.notify_all();
  }

  RefPtr<Side> sides[2];
  std::atomic<int> cutsDone{0};

 private:
  void ReceiveLoop(int n) {
    Side* side = sides[n].Get();
    for (;;) {
      Frame frame;
      {
        std::unique_lock<std::mutex> l(mutex);
        cv.wait_for(l, std::chrono::milliseconds(100), [&] { return stop || !inbound[n].empty(); });
        if (stop) return;
        if (inbound[n].empty()) continue;
        frame = std::move(inbound[n].front());
        inbound[n].pop_front();
      }
      RefPtr<ITransport::PostReceiveTask> task;
      {
        MonitorGuard g(side->monitor.get());
        if (frame.socket != Socket()) continue;  // the socket died under it
        RefPtr<IDataStream> in = StreamOf(frame.bytes);
        IDataStream* s = in.Detach();
        ITransport::PostReceiveTask* t = nullptr;
        int r = side->top->Receive(&s, &t);
        task.Attach(t);
        RefPtr<IDataStream> out(s, false);
        if (r >= 0 && out) {
          uint8_t zero = 1;
          UUID type;
          ASSERT_EQ(0, out->ReadUInt8(&zero));
          ASSERT_EQ(0, zero);
          ASSERT_EQ(0, type.Deserialize(out.Get()));
          ASSERT_EQ(kType, type);
          side->delivered.push_back(Rest(out.Get()));
        }
      }
      if (task) task->Run();  // outside the monitor, as the transport runs it
    }
  }

  void CutLoop() {
    for (;;) {
      {
        std::unique_lock<std::mutex> l(mutex);
        cv.wait_for(l, std::chrono::milliseconds(100), [&] { return stop || down || cutsRequested > 0; });
        if (stop) return;
        if (!down && cutsRequested == 0) continue;
        if (cutsRequested > 0) --cutsRequested;
      }
      if (!down) Drop();
      {
        std::lock_guard<std::mutex> l(mutex);
        down = false;
      }
      // Both ends hold the new socket before either speaks on it.
      for (auto& s : sides) {
        MonitorGuard g(s->monitor.get());
        s->socket = Socket();
      }
      // Reconnect: both ends resend what the other has not acknowledged.
      for (auto& s : sides) {
        MonitorGuard g(s->monitor.get());
        s->LayersConnect(true);
        s->reconnecting = false;
        s->monitor->NotifyAll();
      }
      ++cutsDone;
    }
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Frame> inbound[2];
  uint64_t socket = 1;
  bool down = false;
  bool stop = false;
  int cutsRequested = 0;
  std::thread receivers[2];
  std::thread cutter;
};

Side::Side(Link* l, int i, int mode, ILayerClock* clock) : link(l), index(i) {
  monitor.reset(GetDefaultScheduler()->CreateMonitor());
  connectionId.Generate();
  instanceId.Generate();
  factory = std::make_shared<FlowControl::MyFactory>(monitor.get(), clock);
  std::unique_ptr<ITransportLayer> below = std::make_unique<Network>(this);
  if (mode == 2) {
    auto flow = std::make_unique<FlowControlLayer>(this, this, this, 0x7f000001, 1, factory->Create(),
                                                   std::move(below), clock);
    layers.insert(layers.begin(), flow.get());
    auto fragment = std::make_unique<FragmentLayer>(this, std::move(flow));
    layers.insert(layers.begin(), fragment.get());
    below = std::move(fragment);
  }
  auto r = std::make_unique<ResendLayer>(this, std::move(below));
  resend = r.get();
  layers.insert(layers.begin(), r.get());
  top = std::move(r);
}

Side::~Side() = default;


void Side::OnPartialSend() { link->Drop(); }

int Side::Network::Send(IDataStream* message, int timeoutMs) {
  MonitorGuard g(side_->monitor.get());
  const uint64_t generation = side_->generation;
  if (timeoutMs != 0 && side_->reconnecting) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (side_->reconnecting && std::chrono::steady_clock::now() < deadline) side_->monitor->Wait(100);
    if (side_->reconnecting) return Result_WriteTimeout;
    // The reconnection resent this record whole.
    if (side_->generation != generation) return 0;
  }
  // A write to a dropped socket vanishes, as on a real closed connection.
  Frame frame{side_->socket, kLayered, AllBytes(message)};
  if (timeoutMs != 0 && frame.bytes[0] != LayerRecord_ResendData && side_->failNextData > 0) {
    // A write of a mid-message piece fails (flow-control or socket error).
    if (frame.bytes[0] == LayerRecord_FlowData && frame.bytes[9] == LayerRecord_Fragment && frame.bytes[10] == 0) {
      --side_->failNextData;
      return Result_WriteTimeout;
    }
  }
  side_->link->Push(1 - side_->index, std::move(frame));
  return 0;
}

Bytes MessageBody(uint32_t index, uint32_t maxSize) {
  std::mt19937 rng(index * 2654435761u);
  Bytes body(4 + rng() % maxSize);
  std::memcpy(body.data(), &index, 4);
  for (size_t n = 4; n < body.size(); ++n) body[n] = static_cast<uint8_t>(rng());
  return body;
}

void RunExactlyOnce(int mode, uint32_t messages, uint32_t maxSize, int cuts, int partialFailures) {
  Link link(mode, GetSystemLayerClock());
  Side* a = link.sides[0].Get();
  Side* b = link.sides[1].Get();
  std::mt19937 rng(1234 + mode);
  std::vector<uint32_t> cutAt;
  for (int n = 0; n < cuts; ++n) cutAt.push_back(rng() % messages);
  uint32_t expected = 0;  // messages the sender counts as sent
  for (uint32_t index = 0; index < messages; ++index) {
    for (uint32_t at : cutAt) {
      if (at == index) link.RequestCut();
    }
    if (partialFailures > 0 && rng() % (messages / partialFailures) == 0) a->failNextData = 1;
    RefPtr<IDataStream> message = AdapterMessage(MessageBody(index, maxSize));
    uint64_t before;
    {
      MonitorGuard g(a->monitor.get());
      before = a->resend->NextSequence();
    }
    int r = a->Write(message.Get());
    uint64_t after;
    {
      MonitorGuard g(a->monitor.get());
      after = a->resend->NextSequence();
    }
    if (r < 0) {
      ASSERT_EQ(Result_WriteTimeout, r);
      // Nothing went out: the same message again. Otherwise the record is
      // kept and will arrive.
      if (after == before) --index;
    }
    ++expected;
    if (r < 0 && after == before) --expected;
    // Replies the other way keep both queues busy.
    if (index % 16 == 0) {
      ASSERT_EQ(0, b->Write(AdapterMessage({'r'}).Get()));
    }
  }
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        MonitorGuard g(b->monitor.get());
        return b->delivered.size() >= expected;
      },
      30000));
  ASSERT_TRUE(test::WaitUntil([&] { return link.cutsDone.load() >= cuts; }, 30000));
  MonitorGuard g(b->monitor.get());
  ASSERT_EQ(expected, b->delivered.size());
  for (uint32_t n = 0; n < expected; ++n) {
    if (MessageBody(n, maxSize) != b->delivered[n]) {
      FAIL() << "message " << n << " mode " << mode;
    }
  }
}

TEST(TransportLayersTest, Mode1ExactlyOnceInOrderAcrossCuts) { RunExactlyOnce(1, 1000, 64 * 1024, 20, 0); }

TEST(TransportLayersTest, Mode2ExactlyOnceInOrderAcrossCutsAndPartialSends) {
  RunExactlyOnce(2, 1000, 64 * 1024, 20, 10);
}

// Past the budget the holders with the most are shed until the rest fits;
// a shed holder still counts until it lets go, and is not shed twice.
TEST(TransportLayersTest, HeldBytesPastTheBudgetShedTheLargestHolders) {
  struct Holder : HeldBytesBudget::Holder {
    void Shed() override { ++sheds; }
    int sheds = 0;
  };
  HeldBytesBudget budget(1000);
  Holder a, b, c;
  budget.Set(&a, 600);
  budget.Set(&b, 300);
  EXPECT_EQ(0, a.sheds + b.sheds);
  budget.Set(&c, 200);
  EXPECT_EQ(1, a.sheds);
  EXPECT_EQ(0, b.sheds + c.sheds);
  EXPECT_EQ(1100u, budget.Total());
  budget.Set(&c, 400);
  EXPECT_EQ(1, a.sheds);
  EXPECT_EQ(0, b.sheds + c.sheds);
  budget.Set(&b, 700);
  EXPECT_EQ(1, b.sheds);
  budget.Remove(&a);
  budget.Set(&b, 0);
  EXPECT_EQ(400u, budget.Total());
  budget.Set(&b, 900);  // forgotten once at 0: a holder anew
  EXPECT_EQ(2, b.sheds);
}

}  // namespace
}  // namespace corvane
