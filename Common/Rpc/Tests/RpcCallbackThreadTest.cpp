// The callback thread end to end: a server endpoint sends one-way calls to
// two clients over a transport (a fixture parameter); each client's stub
// records what arrives.
#include <gtest/gtest.h>

#include "RpcCallbackThread.h"
#include "RpcTestHelpers.h"
#include "TestLogCapture.h"

namespace corvane::test {
namespace {

const UUID kCallbackObject("a0a14dd0-daad-11e3-9c1a-0800200c9a66");

// Records the u32 each callback carries.
class RecordingStub final : public IRpc::IStub, public IRefCountImpl {
 public:
  IRefCount* GetOwner() override { return nullptr; }
  int ExecuteStub(IRpc*, UUID, const UUID*, int method, IDataStream* request, IDataStream*) override {
    uint32_t value = 0;
    request->ReadUInt32(&value);
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(value);
    methods_.push_back(method);
    return 0;
  }
  int GetObjectId(UUID* out) override {
    *out = kCallbackObject;
    return 0;
  }
  std::vector<uint32_t> Values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_.size();
  }
  std::vector<int> Methods() {
    std::lock_guard<std::mutex> lock(mutex_);
    return methods_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint32_t> values_;
  std::vector<int> methods_;
};

RefPtr<IDataStream> U32(uint32_t v) {
  RefPtr<IDataStream> s = StreamOf({});
  s->WriteUInt32(v);
  return s;
}

class CallbackThreadOverTransport : public ::testing::TestWithParam<TransportFactory> {
 protected:
  struct Client {
    RefPtr<ITransport> transport;
    RefPtr<IRpc> rpc;
    UUID connectionId;
  };

  void SetUp() override {
    server_ = GetParam().makeServer(&port_);
    serverRpc_ = NewRpc(server_.Get());
    server_->AddNotify(serverEvents_.Get());
    stubA_ = RefPtr<RecordingStub>(new RecordingStub(), false);
    stubB_ = RefPtr<RecordingStub>(new RecordingStub(), false);
    Connect(&a_, stubA_.Get());
    Connect(&b_, stubB_.Get());
    thread_ = RefPtr<RpcCallbackThread>(new RpcCallbackThread(serverRpc_.Get()), false);
  }
  void TearDown() override {
    thread_.Reset();
    for (Client* c : {&a_, &b_}) c->rpc->Detach();
    serverRpc_->Detach();
    server_->RemoveNotify(serverEvents_.Get());
  }
  void Connect(Client* c, RecordingStub* stub) {
    c->transport = GetParam().makeClient();
    c->rpc = NewRpc(c->transport.Get());
    ASSERT_EQ(c->rpc->RegisterStub(kCallbackObject, stub), 0);
    const size_t before = serverEvents_->Connected().size();
    ASSERT_EQ(c->transport->OpenConnection(0x7F000001, port_, &c->connectionId, 5000), 0);
    ASSERT_TRUE(WaitUntil([&] { return serverEvents_->Connected().size() > before; }, 5000));
  }
  int Pending() {
    int connections = 0, pending = -1;
    thread_->GetStatistics(&connections, &pending);
    return pending;
  }
  bool NeedsControls() {
    return GetParam().setWritable && GetParam().holdWrites && GetParam().heldWriters;
  }

  uint16_t port_ = 0;
  RefPtr<ITransport> server_;
  RefPtr<IRpc> serverRpc_;
  RefPtr<FrameRecorder> serverEvents_{new FrameRecorder(), false};
  RefPtr<RecordingStub> stubA_, stubB_;
  Client a_, b_;
  RefPtr<RpcCallbackThread> thread_;
};

TEST_P(CallbackThreadOverTransport, CallbacksArriveInOrderAndConnectionsTakeTurns) {
  VerboseLogging verbose;
  ScopedCapture log;
  EXPECT_EQ(thread_->AddConnection(a_.connectionId), Result_NotInitialized);
  EXPECT_EQ(thread_->CallBack(a_.connectionId, kCallbackObject, 0, U32(1).Get(), nullptr), Result_NotInitialized);
  EXPECT_EQ(thread_->RemoveConnection(a_.connectionId), Result_NotInitialized);
  EXPECT_TRUE(log->Has(Log_Severe, "RETURN Result: 0x8000000b - RpcCallbackThread not initialized"));
  ASSERT_EQ(thread_->Initialize(), 0);
  EXPECT_EQ(thread_->Initialize(), Result_AlreadyInitialized);
  EXPECT_TRUE(log->Has(Log_Severe, "RETURN Result: 0x8000000c - RpcCallbackThread already initialized"));

  EXPECT_EQ(thread_->AddConnection(a_.connectionId), 0);
  EXPECT_EQ(thread_->AddConnection(a_.connectionId), 0);
  EXPECT_EQ(thread_->AddConnection(b_.connectionId), 0);
  int connections = 0, pending = 0;
  thread_->GetStatistics(&connections, &pending);
  EXPECT_EQ(connections, 2);
  EXPECT_TRUE(log->Has(Log_Spew, "RETURN Result: 0x0 - "));

  // Unknown connections and missing parameters send nothing.
  EXPECT_EQ(thread_->CallBack(UUID("1-2-3-4-5"), kCallbackObject, 0, U32(0).Get(), nullptr), 0);
  EXPECT_EQ(thread_->CallBack(a_.connectionId, kCallbackObject, 0, nullptr, nullptr), Result_InvalidPointer);

  // A long queue on A does not hold B back, and each keeps its order.
  constexpr uint32_t kMany = 60;
  // Where the transport can hold its writes, every send waits there until
  // the test lets it go, so what is in flight is the test's choice.
  const auto& f = GetParam();
  const bool hold = static_cast<bool>(f.releaseHeldWrite);
  if (hold) f.holdWrites(server_.Get(), true);
  for (uint32_t i = 0; i < kMany; ++i) {
    ASSERT_EQ(thread_->CallBack(a_.connectionId, kCallbackObject, 0x10000 + i % 3, U32(i).Get(), nullptr), 0);
  }
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(thread_->CallBack(b_.connectionId, kCallbackObject, 0, U32(100 + i).Get(), StreamOf({}).Get()), 0);
  uint32_t expectedB = 3;
  if (hold) {
    auto heldOn = [&](const Client& c) { return f.heldWritersOn(server_.Get(), c.connectionId); };
    // One connection's send stays in flight while the other's go out one
    // after another past it, each only once the one before has completed:
    // first B's past A's first, then A's (that first one included) past
    // B's fourth, so that the order of the two in the connection map does
    // not matter.
    auto passHeld = [&](Client& held, Client& passing, RecordingStub& passingStub, size_t sends) {
      ASSERT_TRUE(WaitUntil([&] { return heldOn(held) != 0; }, 10000));
      const size_t before = passingStub.Count();
      for (size_t i = 0; i < sends; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return heldOn(passing) != 0; }, 10000)) << "send " << i;
        EXPECT_EQ(heldOn(passing), 1);
        EXPECT_EQ(heldOn(held), 1);
        f.releaseHeldWrite(server_.Get(), passing.connectionId);
      }
      ASSERT_TRUE(WaitUntil([&] { return passingStub.Count() == before + sends; }, 10000));
      EXPECT_EQ(heldOn(held), 1);
    };
    ASSERT_NO_FATAL_FAILURE(passHeld(a_, b_, *stubB_, 3));
    EXPECT_EQ(stubA_->Count(), 0u);
    EXPECT_EQ(heldOn(b_), 0);
    for (uint32_t i = 3; i < 6; ++i) ASSERT_EQ(thread_->CallBack(b_.connectionId, kCallbackObject, 0, U32(100 + i).Get(), nullptr), 0);
    expectedB = 6;
    ASSERT_NO_FATAL_FAILURE(passHeld(b_, a_, *stubA_, 3));
    EXPECT_EQ(stubB_->Count(), 3u);
    f.holdWrites(server_.Get(), false);
  }
  ASSERT_TRUE(WaitUntil([&] { return stubA_->Count() == kMany && stubB_->Count() == expectedB; }, 10000));
  for (uint32_t i = 0; i < kMany; ++i) {
    EXPECT_EQ(stubA_->Values()[i], i);
    EXPECT_EQ(stubA_->Methods()[i], static_cast<int>(i % 3));
  }
  std::vector<uint32_t> valuesB;
  for (uint32_t i = 0; i < expectedB; ++i) valuesB.push_back(100 + i);
  EXPECT_EQ(stubB_->Values(), valuesB);
  EXPECT_TRUE(WaitUntil([&] { return Pending() == 0; }, 5000));
  EXPECT_FALSE(log->Has(Log_Severe, "RpcCallback execution failed"));
}

TEST_P(CallbackThreadOverTransport, UnwritableAndRemovedConnectionsNeverStallOthers) {
  if (!NeedsControls()) GTEST_SKIP() << "transport has no writability controls";
  const auto& f = GetParam();
  ASSERT_EQ(thread_->Initialize(), 0);
  ASSERT_EQ(thread_->AddConnection(a_.connectionId), 0);
  ASSERT_EQ(thread_->AddConnection(b_.connectionId), 0);

  // A cannot be written: its callback waits while B's go out.
  f.setWritable(server_.Get(), a_.connectionId, false);
  ASSERT_EQ(thread_->CallBack(a_.connectionId, kCallbackObject, 0, U32(1).Get(), nullptr), 0);
  ASSERT_EQ(thread_->CallBack(b_.connectionId, kCallbackObject, 0, U32(2).Get(), nullptr), 0);
  ASSERT_TRUE(WaitUntil([&] { return stubB_->Count() == 1; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return Pending() == 1; }, 5000));
  EXPECT_EQ(stubA_->Count(), 0u);
  f.setWritable(server_.Get(), a_.connectionId, true);
  ASSERT_TRUE(WaitUntil([&] { return stubA_->Count() == 1; }, 5000));

  // A is removed while its send is held in the transport: the queued ones
  // are dropped, the count never goes below zero, and B still gets through.
  f.holdWrites(server_.Get(), true);
  for (uint32_t i = 10; i < 13; ++i) {
    ASSERT_EQ(thread_->CallBack(a_.connectionId, kCallbackObject, 0, U32(i).Get(), nullptr), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return f.heldWriters(server_.Get()) == 1; }, 5000));
  EXPECT_EQ(Pending(), 3);
  ASSERT_EQ(thread_->RemoveConnection(a_.connectionId), 0);
  ASSERT_EQ(thread_->RemoveConnection(a_.connectionId), 0);
  EXPECT_EQ(Pending(), 0);
  f.holdWrites(server_.Get(), false);
  ASSERT_TRUE(WaitUntil([&] { return stubA_->Count() == 2; }, 5000));
  EXPECT_EQ(Pending(), 0);
  for (uint32_t i = 20; i < 23; ++i) {
    ASSERT_EQ(thread_->CallBack(b_.connectionId, kCallbackObject, 0, U32(i).Get(), nullptr), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return stubB_->Count() == 4; }, 5000));
  EXPECT_TRUE(WaitUntil([&] { return Pending() == 0; }, 5000));
  EXPECT_EQ(stubA_->Values(), std::vector<uint32_t>({1, 10}));
  EXPECT_EQ(stubB_->Values(), std::vector<uint32_t>({2, 20, 21, 22}));
  int connections = 0;
  thread_->GetStatistics(&connections, nullptr);
  EXPECT_EQ(connections, 1);

  // Destroyed with a callback queued behind an unwritable connection and one
  // held in the transport: it returns and sends nothing more.
  f.setWritable(server_.Get(), b_.connectionId, false);
  ASSERT_EQ(thread_->CallBack(b_.connectionId, kCallbackObject, 0, U32(30).Get(), nullptr), 0);
  thread_.Reset();
  EXPECT_EQ(stubB_->Count(), 4u);
}

TEST_P(CallbackThreadOverTransport, EndpointWithoutTransportFailsAndRetries) {
  VerboseLogging verbose;
  ScopedCapture log;
  RefPtr<IRpc> detached = NewRpc(nullptr);
  RefPtr<RpcCallbackThread> thread(new RpcCallbackThread(detached.Get()), false);
  ASSERT_EQ(thread->Initialize(), 0);
  ASSERT_EQ(thread->AddConnection(a_.connectionId), 0);
  ASSERT_EQ(thread->CallBack(a_.connectionId, kCallbackObject, 0, U32(1).Get(), nullptr), 0);
  EXPECT_TRUE(WaitUntil([&] { return log->Has(Log_Severe, "RpcCallback execution failed"); }, 5000));
  int pending = 0;
  thread->GetStatistics(nullptr, &pending);
  EXPECT_EQ(pending, 1);
  // Given a transport, the same callback goes out.
  ASSERT_EQ(detached->SetTransport(server_.Get(), 0), 0);
  EXPECT_TRUE(WaitUntil([&] { return stubA_->Count() == 1; }, 5000));
  thread.Reset();
  detached->Detach();
}

// A group (an enumeration's batches) waiting in a queue gives way to a newer
// one; a group already going out is never cut, so every list that starts
// also ends.
TEST_P(CallbackThreadOverTransport, AQueuedGroupIsReplacedAndAStartedOneIsNeverCut) {
  if (!NeedsControls()) GTEST_SKIP() << "transport has no writability controls";
  const auto& f = GetParam();
  ASSERT_EQ(thread_->Initialize(), 0);
  ASSERT_EQ(thread_->AddConnection(a_.connectionId), 0);
  auto group = [&](std::vector<uint32_t> values) {
    std::vector<RefPtr<IDataStream>> params;
    for (uint32_t v : values) params.push_back(U32(v));
    return thread_->CallBackGroup(a_.connectionId, kCallbackObject, 0, params);
  };
  // A single call in flight (held in the transport) keeps the queue busy,
  // so the groups behind it wait untouched by the sender.
  f.holdWrites(server_.Get(), true);
  ASSERT_EQ(thread_->CallBack(a_.connectionId, kCallbackObject, 0, U32(0).Get(), nullptr), 0);
  ASSERT_TRUE(WaitUntil([&] { return f.heldWriters(server_.Get()) == 1; }, 5000));
  ASSERT_EQ(group({1, 2, 3}), 0);
  ASSERT_EQ(group({4, 5}), 0);
  EXPECT_EQ(Pending(), 3);
  f.holdWrites(server_.Get(), false);
  ASSERT_TRUE(WaitUntil([&] { return stubA_->Count() == 3; }, 5000));

  f.holdWrites(server_.Get(), true);
  ASSERT_EQ(group({6, 7, 8}), 0);
  ASSERT_TRUE(WaitUntil([&] { return f.heldWriters(server_.Get()) == 1; }, 5000));
  ASSERT_EQ(group({9}), 0);
  ASSERT_EQ(group({10}), 0);
  EXPECT_EQ(Pending(), 4);
  f.holdWrites(server_.Get(), false);
  ASSERT_TRUE(WaitUntil([&] { return Pending() == 0 && stubA_->Count() == 7; }, 5000));
  EXPECT_EQ(stubA_->Values(), std::vector<uint32_t>({0, 4, 5, 6, 7, 8, 10}));

  // The per-connection bound refuses a group whole.
  f.setWritable(server_.Get(), a_.connectionId, false);
  std::vector<uint32_t> many(RpcCallbackThread::kMaxQueuedCallbacks + 1, 11);
  EXPECT_EQ(group(many), Result_Fail);
  EXPECT_EQ(Pending(), 0);
}

// One list queued for many connections is one list in memory: deaf
// connections holding it leave the byte budget to a client that reads,
// while parameters of a caller's own still count in full.
TEST_P(CallbackThreadOverTransport, DeafQueuesHoldingOneSharedListDoNotRefuseANinth) {
  constexpr uint64_t kBudget = 1 << 20;
  RefPtr<RpcCallbackThread> thread(new RpcCallbackThread(serverRpc_.Get(), kBudget), false);
  ASSERT_EQ(thread->Initialize(), 0);
  auto list = [](uint32_t first, size_t batches, size_t bytes) {
    std::vector<RefPtr<IDataStream>> out;
    const std::vector<uint8_t> pad(bytes, 0x5A);
    for (uint32_t i = 0; i < batches; ++i) {
      out.push_back(U32(first + i));
      out.back()->Write(pad.data(), static_cast<uint32_t>(pad.size()));
    }
    return out;
  };
  // Three batches: nine copies would pass the budget, eight would not.
  const auto shared = list(0, 3, 40000);
  // Connections the transport does not know: nothing of theirs goes out.
  for (int n = 0; n < 8; ++n) {
    UUID deaf;
    deaf.Generate();
    ASSERT_EQ(thread->AddConnection(deaf), 0);
    ASSERT_EQ(thread->CallBackGroup(deaf, kCallbackObject, 0, shared), 0) << "deaf " << n;
  }
  ASSERT_EQ(thread->AddConnection(a_.connectionId), 0);
  ASSERT_EQ(thread->CallBackGroup(a_.connectionId, kCallbackObject, 0, shared), 0);
  ASSERT_TRUE(WaitUntil([&] { return stubA_->Count() == 3; }, 10000));
  EXPECT_EQ(stubA_->Values(), std::vector<uint32_t>({0, 1, 2}));
  // Still held by the deaf queues: a distinct list past the rest is refused.
  EXPECT_EQ(thread->CallBackGroup(a_.connectionId, kCallbackObject, 0, list(10, 3, 310000)), Result_Fail);
  EXPECT_EQ(thread->CallBackGroup(a_.connectionId, kCallbackObject, 0, list(10, 3, 250000)), 0);
  ASSERT_TRUE(WaitUntil([&] { return stubA_->Count() == 6; }, 10000));
  thread.Reset();
}

INSTANTIATE_TEST_SUITE_P(Transports, CallbackThreadOverTransport, ::testing::Values(FakeTransportFactory(), PlainTransportFactory()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace corvane::test
