#include "ExecutionQueue.h"

#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Directory.h"
#include "Logger.h"
#include "RefCount.h"
#include "Result.h"
#include "Scheduler.h"
#include "TestDataRoot.h"

namespace corvane {
namespace {

class Counted : public IRefCountImpl {
 public:
  explicit Counted(int value, std::atomic<int>* destroyed = nullptr) : value(value), destroyed_(destroyed) {}
  ~Counted() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  const int value;

 private:
  std::atomic<int>* destroyed_;
};

int ValueOf(IRefCount* p) { return p == nullptr ? -1 : dynamic_cast<Counted*>(p)->value; }

struct Call {
  UUID objectId;
  int method;
  int first;
  int second;
};

class RecordingStub : public ExecutionQueue::IStub {
 public:
  int ExecuteStub(const UUID& objectId, int method, IRefCount* first, IRefCount* second) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({objectId, method, ValueOf(first), ValueOf(second)});
    return result;
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  std::mutex mutex;
  std::vector<Call> calls;
  int result = 0;
};

// Keeps the lines the logger writes.
class CaptureStore : public ILogStore, public IRefCountImpl {
 public:
  void Write(uint32_t, const std::string&, const std::string&, int64_t, uint32_t, int,
             const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(message);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

UUID MakeId(uint32_t n) {
  UUID id;
  id.Data1 = n;
  return id;
}

using EventPtr = std::unique_ptr<Scheduler::Event>;
EventPtr MakeEvent() { return EventPtr(GetDefaultScheduler()->CreateEvent(true, false)); }

TEST(ExecutionQueueTest, StubRegistration) {
  ExecutionQueue queue;
  RecordingStub stub;
  EXPECT_EQ(queue.AddStub(MakeId(1), nullptr), Result_InvalidPointer);
  EXPECT_EQ(queue.AddStub(MakeId(1), &stub), Result_Ok);
  EXPECT_EQ(queue.AddStub(MakeId(1), &stub), Result_Fail);
  EXPECT_EQ(queue.RemoveStub(MakeId(2)), Result_Fail);
  EXPECT_EQ(queue.RemoveStub(MakeId(1)), Result_Ok);
  EXPECT_EQ(queue.RemoveStub(MakeId(1)), Result_Fail);
}

TEST(ExecutionQueueTest, RunsInOrderOnTheCallingThreadAndHonoursTheBound) {
  ExecutionQueue queue;
  RecordingStub stub;
  ASSERT_EQ(queue.AddStub(MakeId(1), &stub), 0);
  std::atomic<int> destroyed{0};
  RefPtr<IRefCount> a(new Counted(10, &destroyed), false);
  RefPtr<IRefCount> b(new Counted(20, &destroyed), false);

  EXPECT_EQ(queue.Execute(MakeId(1), 1, a.Get(), nullptr, 2, nullptr), Result_Ok);
  EXPECT_EQ(queue.Execute(MakeId(1), 2, nullptr, b.Get(), 2, nullptr), Result_Ok);
  EXPECT_EQ(queue.Execute(MakeId(1), 3, a.Get(), b.Get(), 2, nullptr), Result_Fail);
  EXPECT_EQ(a->GetRefCount(), 2) << "a refused call must not keep a reference";
  EXPECT_EQ(queue.Execute(MakeId(1), 4, a.Get(), b.Get(), 0, nullptr), Result_Ok);
  EXPECT_EQ(a->GetRefCount(), 3);
  EXPECT_TRUE(stub.Calls().empty()) << "queuing must not run anything";

  EXPECT_EQ(queue.ProcessQueue(), 0);
  auto calls = stub.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].method, 1);
  EXPECT_EQ(calls[0].first, 10);
  EXPECT_EQ(calls[0].second, -1);
  EXPECT_EQ(calls[1].method, 2);
  EXPECT_EQ(calls[1].second, 20);
  EXPECT_EQ(calls[2].method, 4);
  EXPECT_EQ(a->GetRefCount(), 1) << "run items release their arguments";
  EXPECT_EQ(b->GetRefCount(), 1);
  EXPECT_EQ(queue.ProcessQueue(), 0);
  EXPECT_EQ(stub.Calls().size(), 3u);
}

TEST(ExecutionQueueTest, MethodIsSixteenBits) {
  ExecutionQueue queue;
  RecordingStub stub;
  ASSERT_EQ(queue.AddStub(MakeId(1), &stub), 0);
  ASSERT_EQ(queue.Execute(MakeId(1), -1, nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(queue.Execute(MakeId(1), 0x10005, nullptr, nullptr, 0, nullptr), 0);
  queue.ProcessQueue();
  auto calls = stub.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, 0xFFFF);
  EXPECT_EQ(calls[1].method, 5);
}

TEST(ExecutionQueueTest, ExecuteOrReplaceKeepsPlaceAndEventWithNewArguments) {
  ExecutionQueue queue;
  RecordingStub stub;
  ASSERT_EQ(queue.AddStub(MakeId(1), &stub), 0);
  ASSERT_EQ(queue.AddStub(MakeId(2), &stub), 0);
  std::atomic<int> destroyed{0};
  RefPtr<IRefCount> v1(new Counted(1, &destroyed), false);
  RefPtr<IRefCount> v2(new Counted(2, &destroyed), false);
  RefPtr<IRefCount> v3(new Counted(3, &destroyed), false);
  EventPtr event = MakeEvent();
  Scheduler::Event* eventPtr = event.get();

  ASSERT_EQ(queue.Execute(MakeId(1), 7, v1.Get(), v1.Get(), 0, &eventPtr), 0);
  ASSERT_EQ(queue.Execute(MakeId(2), 7, nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(queue.Execute(MakeId(1), 8, nullptr, nullptr, 0, nullptr), 0);
  // Matches the first item (method compared on 16 bits); the other method
  // and the other object are left alone.
  EXPECT_EQ(queue.ExecuteOrReplace(MakeId(1), 0x10007, v2.Get(), nullptr), 0);
  EXPECT_EQ(v1->GetRefCount(), 1) << "replaced arguments are released";
  EXPECT_EQ(queue.ExecuteOrReplace(MakeId(1), 7, v3.Get(), v2.Get()), 0);
  EXPECT_EQ(v2->GetRefCount(), 2);
  // No match: appended.
  EXPECT_EQ(queue.ExecuteOrReplace(MakeId(1), 9, nullptr, nullptr), 0);
  EXPECT_FALSE(event->Wait(0));

  queue.ProcessQueue();
  auto calls = stub.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].objectId, MakeId(1));
  EXPECT_EQ(calls[0].method, 7);
  EXPECT_EQ(calls[0].first, 3);
  EXPECT_EQ(calls[0].second, 2);
  EXPECT_EQ(calls[1].objectId, MakeId(2));
  EXPECT_EQ(calls[2].method, 8);
  EXPECT_EQ(calls[3].method, 9);
  EXPECT_TRUE(event->Wait(0)) << "the replaced item keeps its completion event";
  EXPECT_EQ(v2->GetRefCount(), 1);
  EXPECT_EQ(v3->GetRefCount(), 1);
}

TEST(ExecutionQueueTest, ItemWithoutStubIsDroppedAndReleasesItsWaiter) {
  ExecutionQueue queue;
  RecordingStub stub;
  ASSERT_EQ(queue.AddStub(MakeId(1), &stub), 0);
  std::atomic<int> destroyed{0};
  EventPtr dropped = MakeEvent();
  EventPtr later = MakeEvent();
  Scheduler::Event* droppedPtr = dropped.get();
  Scheduler::Event* laterPtr = later.get();
  {
    RefPtr<IRefCount> arg(new Counted(5, &destroyed), false);
    ASSERT_EQ(queue.Execute(MakeId(1), 1, nullptr, nullptr, 0, nullptr), 0);
    ASSERT_EQ(queue.Execute(MakeId(9), 1, arg.Get(), nullptr, 0, &droppedPtr), 0);
    ASSERT_EQ(queue.Execute(MakeId(1), 2, nullptr, nullptr, 0, &laterPtr), 0);
  }
  queue.ProcessQueue();
  EXPECT_EQ(stub.Calls().size(), 1u) << "processing stops at the dropped item";
  EXPECT_TRUE(dropped->Wait(0)) << "a waiter on a dropped item must not hang";
  EXPECT_EQ(destroyed.load(), 1) << "the dropped item's arguments are released";
  EXPECT_FALSE(later->Wait(0));
  queue.ProcessQueue();
  EXPECT_EQ(stub.Calls().size(), 2u);
  EXPECT_TRUE(later->Wait(0));
}

TEST(ExecutionQueueTest, DestructionReleasesQueuedItemsAndTheirWaiters) {
  std::atomic<int> destroyed{0};
  EventPtr event = MakeEvent();
  Scheduler::Event* eventPtr = event.get();
  {
    ExecutionQueue queue;
    RefPtr<IRefCount> arg(new Counted(5, &destroyed), false);
    ASSERT_EQ(queue.Execute(MakeId(1), 1, arg.Get(), arg.Get(), 0, &eventPtr), 0);
  }
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_TRUE(event->Wait(0));
}

TEST(ExecutionQueueTest, NegativeStubResultIsLogged) {
  RefPtr<ILogger> logger;
  ASSERT_EQ(GetLogger(logger.Receive()), 0);
  RefPtr<CaptureStore> capture(new CaptureStore, false);
  logger->AddStore(capture.Get());
  uint32_t oldLevel = 0;
  logger->GetLevel(&oldLevel);
  logger->SetLevel(1);
  // Past any rate-limit suspension of this place left by an earlier run.
  GetDefaultScheduler()->AdvanceTestTimeMs(700000);

  ExecutionQueue queue;
  RecordingStub stub;
  stub.result = Result_Fail;
  UUID id;
  id.Data1 = 0x2783ffd0;
  id.Data2 = 0x7ec7;
  id.Data3 = 0x11e2;
  const uint8_t tail[8] = {0x9e, 0x96, 0x08, 0x00, 0x20, 0x0c, 0x9a, 0x66};
  for (int i = 0; i < 8; ++i) id.Data4[i] = tail[i];
  ASSERT_EQ(queue.AddStub(id, &stub), 0);
  ASSERT_EQ(queue.Execute(id, 0x1FFFE, nullptr, nullptr, 0, nullptr), 0);
  queue.ProcessQueue();

  logger->SetLevel(oldLevel);
  logger->RemoveStore(capture.Get());
  auto lines = capture->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Execution failed object: 2783ffd0-7ec7-11e2-9e96-0800200c9a66 method: 65534");
}

TEST(ExecutionQueueTest, ManyProducersNothingLostOrDuplicated) {
  ExecutionQueue queue;
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  std::vector<std::vector<int>> seen(kProducers);
  class SeqStub : public ExecutionQueue::IStub {
   public:
    explicit SeqStub(std::vector<std::vector<int>>* seen) : seen_(seen) {}
    int ExecuteStub(const UUID& id, int method, IRefCount*, IRefCount*) override {
      (*seen_)[id.Data1].push_back(method);
      return 0;
    }
    std::vector<std::vector<int>>* seen_;
  } stub(&seen);
  for (int p = 0; p < kProducers; ++p) ASSERT_EQ(queue.AddStub(MakeId(p), &stub), 0);

  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      RefPtr<IRefCount> arg(new Counted(p), false);
      for (int i = 0; i < kPerProducer; ++i) {
        EXPECT_EQ(queue.Execute(MakeId(p), i, arg.Get(), nullptr, 0, nullptr), 0);
      }
      --running;
    });
  }
  // The owner processes while the producers run, then drains what is left.
  while (running.load() > 0) queue.ProcessQueue();
  for (auto& t : producers) t.join();
  queue.ProcessQueue();

  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kPerProducer)) << p;
    for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
  }
}

TEST(ExecutionQueueTest, RemoveStubWaitsForTheRunningItem) {
  ExecutionQueue queue;
  EventPtr entered = MakeEvent();
  EventPtr release = MakeEvent();
  std::atomic<bool> removed{false};
  std::atomic<bool> removedWhileRunning{false};
  std::atomic<int> calls{0};
  class BlockingStub : public ExecutionQueue::IStub {
   public:
    int ExecuteStub(const UUID&, int, IRefCount*, IRefCount*) override {
      ++*calls;
      entered->Set();
      release->Wait(30000);
      if (removed->load()) removedWhileRunning->store(true);
      return 0;
    }
    Scheduler::Event* entered;
    Scheduler::Event* release;
    std::atomic<bool>* removed;
    std::atomic<bool>* removedWhileRunning;
    std::atomic<int>* calls;
  } stub;
  stub.entered = entered.get();
  stub.release = release.get();
  stub.removed = &removed;
  stub.removedWhileRunning = &removedWhileRunning;
  stub.calls = &calls;
  ASSERT_EQ(queue.AddStub(MakeId(1), &stub), 0);
  ASSERT_EQ(queue.Execute(MakeId(1), 1, nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(queue.Execute(MakeId(1), 2, nullptr, nullptr, 0, nullptr), 0);

  std::thread owner([&] { queue.ProcessQueue(); });
  ASSERT_TRUE(entered->Wait(30000));
  std::thread remover([&] {
    EXPECT_EQ(queue.RemoveStub(MakeId(1)), 0);
    removed.store(true);
  });
  // Give a faulty RemoveStub a chance to return early, then let the item end.
  EXPECT_FALSE(release->Wait(50));
  release->Set();
  remover.join();
  owner.join();
  EXPECT_FALSE(removedWhileRunning.load());
  // The second item may have run before the removal or been dropped after
  // it, never both ways: the stub is not called once it is removed.
  EXPECT_GE(calls.load(), 1);
  EXPECT_LE(calls.load(), 2);
  int before = calls.load();
  queue.ProcessQueue();
  EXPECT_EQ(calls.load(), before);
}

class ExecutionQueueCrashLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(data_.Path().empty()); }
  test::TempDataRoot data_;
  const std::string& root_ = data_.Path();
};

TEST_F(ExecutionQueueCrashLogTest, ThrowingStubIsRecordedPassedOnAndReleasesItsWaiter) {
  ExecutionQueue queue;
  class ThrowingStub : public ExecutionQueue::IStub {
   public:
    int ExecuteStub(const UUID&, int method, IRefCount*, IRefCount*) override {
      if (method == 1) throw std::runtime_error("stub failed");
      ++ran;
      return 0;
    }
    int ran = 0;
  } stub;
  ASSERT_EQ(queue.AddStub(MakeId(1), &stub), 0);
  EventPtr event = MakeEvent();
  Scheduler::Event* eventPtr = event.get();
  ASSERT_EQ(queue.Execute(MakeId(1), 1, nullptr, nullptr, 0, &eventPtr), 0);
  ASSERT_EQ(queue.Execute(MakeId(1), 2, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_THROW(queue.ProcessQueue(), std::runtime_error);
  EXPECT_TRUE(event->Wait(0));
  queue.ProcessQueue();
  EXPECT_EQ(stub.ran, 1);

  std::ifstream in(root_ + "/Corvane/CrashLog.txt", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find(": Std runtime error: stub failed, File: "), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("ExecutionQueue.cpp Line#:"), std::string::npos) << text.str();
}

}  // namespace
}  // namespace corvane
