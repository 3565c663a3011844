#include "DeletionThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "TestLogCapture.h"
#include "TestWait.h"
#include "Scheduler.h"

namespace corvane {
namespace {

using test::WaitUntil;

struct Record {
  int producer;
  int seq;
  uint32_t threadId;
};

std::mutex g_mutex;
std::vector<Record> g_records;
std::atomic<int> g_destroyed{0};

class Tracked final : public IRefCountImpl {
 public:
  Tracked(int producer, int seq) : producer_(producer), seq_(seq) {}
  ~Tracked() override {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_records.push_back({producer_, seq_, CurrentThreadId()});
    }
    if (onDestroy) onDestroy();
    g_destroyed.fetch_add(1);
  }
  std::function<void()> onDestroy;

 private:
  int producer_;
  int seq_;
};

class DeletionThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.clear();
    g_destroyed.store(0);
  }
};

// The queueing pattern: only the holder whose DecrementRef gave 0 queues.
void Drop(IRefCount* object) {
  if (object->DecrementRef() == 0) DeleteOnDeletionThread(object);
}

TEST_F(DeletionThreadTest, EveryObjectOnceOnTheDeletionThreadInOrderPerProducer) {
  constexpr int kProducers = 6;
  constexpr int kObjects = 400;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p] {
      for (int i = 0; i < kObjects; ++i) Drop(new Tracked(p, i));
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(WaitUntil([] { return g_destroyed.load() == kProducers * kObjects; }));
  const uint32_t deletionThread = DeletionThreadId();
  ASSERT_NE(deletionThread, 0u);
  std::lock_guard<std::mutex> lock(g_mutex);
  ASSERT_EQ(g_records.size(), static_cast<size_t>(kProducers * kObjects));
  std::vector<int> next(kProducers, 0);
  for (const Record& r : g_records) {
    EXPECT_EQ(r.threadId, deletionThread);
    ASSERT_EQ(r.seq, next[r.producer]) << "producer " << r.producer;
    ++next[r.producer];
  }
}

TEST_F(DeletionThreadTest, ObjectStaysAliveUntilTheDeletionThreadDestroysIt) {
  std::unique_ptr<Scheduler::Event> gate(GetDefaultScheduler()->CreateEvent(true, false));
  std::unique_ptr<Scheduler::Event> blocking(GetDefaultScheduler()->CreateEvent(true, false));
  auto* blocker = new Tracked(0, 0);
  blocker->onDestroy = [&] {
    blocking->Set();
    gate->Wait(10000);
  };
  Drop(blocker);
  ASSERT_TRUE(blocking->Wait(10000));

  auto* object = new Tracked(1, 0);
  EXPECT_EQ(object->DecrementRef(), 0);
  EXPECT_EQ(object->GetRefCount(), 0);  // count 0, memory still there
  DeleteOnDeletionThread(object);
  EXPECT_EQ(g_destroyed.load(), 0);
  gate->Set();
  ASSERT_TRUE(WaitUntil([] { return g_destroyed.load() == 2; }));
}

TEST_F(DeletionThreadTest, ADestructorMayQueueAnotherDeferredDeletion) {
  auto* inner = new Tracked(1, 0);
  auto* outer = new Tracked(0, 0);
  outer->onDestroy = [inner] { Drop(inner); };
  Drop(outer);
  ASSERT_TRUE(WaitUntil([] { return g_destroyed.load() == 2; }));
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_EQ(g_records[0].producer, 0);
  EXPECT_EQ(g_records[1].producer, 1);
}

}  // namespace
}  // namespace corvane
