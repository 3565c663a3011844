#include "ThreadContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestLogCapture.h"
#include "TestWait.h"
#include "Result.h"

namespace corvane {
namespace {

using test::ScopedCapture;
using test::WaitUntil;
using SteadyClock = std::chrono::steady_clock;

Scheduler* S() { return GetDefaultScheduler(); }

std::unique_ptr<Scheduler::Event> NewEvent() { return std::unique_ptr<Scheduler::Event>(S()->CreateEvent(false, false)); }

// Contexts are counted; tests hold them the way owners do.
RefPtr<ThreadContext> MakeContext(uint32_t maxItems, uint32_t waitMs) {
  return RefPtr<ThreadContext>(new ThreadContext(maxItems, waitMs), false);
}

// What top -H and gdb show for the thread, or "" once it has ended.
std::string CommOf(uint32_t tid) {
  std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST(ThreadContextTest, WorkerThreadShowsItsRoleNameAndParksUnderANeutralOne) {
  auto ctx = RefPtr<ThreadContext>(new ThreadContext(10, 0, "name-probe-worker"), false);
  const uint32_t tid = ctx->GetThreadId();
  // Linux keeps 15 characters; a longer role name is cut, not refused.
  EXPECT_EQ(CommOf(tid), "name-probe-work");
  std::string seenInside;
  auto done = NewEvent();
  Scheduler::Event* e = done.get();
  ASSERT_TRUE(ctx->Post([&] { seenInside = CommOf(CurrentThreadId()); }, &e));
  EXPECT_EQ(seenInside, "name-probe-work");

  ctx.Reset();
  // The pooled thread parks for a while before it ends; while parked it no
  // longer claims the role it served.
  std::string parked;
  EXPECT_TRUE(WaitUntil([&] {
    parked = CommOf(tid);
    return parked != "name-probe-work";
  }));
  if (!parked.empty()) {
    EXPECT_EQ(parked, "pool-idle");
  }
}

// A pooled thread handed one role after another (at once, before it parks
// under the neutral name) shows each role in turn, never the last one's.
TEST(ThreadContextTest, AThreadTakenAgainShowsItsNewRole) {
  for (const char* role : {"role-one", "role-two", "role-one"}) {
    auto ctx = RefPtr<ThreadContext>(new ThreadContext(10, 0, role), false);
    std::string seen;
    auto done = NewEvent();
    Scheduler::Event* e = done.get();
    ASSERT_TRUE(ctx->Post([&] { seen = CommOf(CurrentThreadId()); }, &e));
    EXPECT_EQ(seen, role);
  }
}

TEST(ThreadContextTest, KnowsItsThreadFromTheStart) {
  auto ctx = MakeContext(100, 0);
  EXPECT_NE(ctx->GetThreadId(), 0u);
  EXPECT_NE(ctx->GetThreadId(), CurrentThreadId());
  EXPECT_FALSE(ctx->IsOnContextThread());
  EXPECT_EQ(ctx->GetRefCount(), 1);
  auto done = NewEvent();
  Scheduler::Event* e = done.get();
  bool inside = false;
  uint32_t id = 0;
  EXPECT_TRUE(ctx->Post(
      [&] {
        inside = ctx->IsOnContextThread();
        id = CurrentThreadId();
      },
      &e));
  EXPECT_TRUE(inside);
  EXPECT_EQ(id, ctx->GetThreadId());
  EXPECT_FALSE(ctx->Post(std::function<void()>()));  // empty: ignored
}

TEST(ThreadContextTest, ProducersLoseNothingAndKeepTheirOrder) {
  constexpr int kProducers = 4;
  constexpr int kTasks = 3000;
  auto ctx = MakeContext(100000, 0);
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the context's thread
  std::atomic<bool> wrongThread{false};
  const uint32_t contextThread = ctx->GetThreadId();
  std::vector<std::thread> producers;
  std::atomic<int> refused{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kTasks; ++i) {
        if (!ctx->Post([&, p, i] {
              if (CurrentThreadId() != contextThread) wrongThread.store(true);
              seen[p].push_back(i);
            })) {
          refused.fetch_add(1);
        }
      }
      // A done-post is always released, after everything this producer queued.
      auto done = NewEvent();
      Scheduler::Event* e = done.get();
      size_t countAtDone = 0;
      EXPECT_TRUE(ctx->Post([&] { countAtDone = seen[p].size(); }, &e));
      EXPECT_EQ(countAtDone, static_cast<size_t>(kTasks));
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_FALSE(wrongThread.load());
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
  }
  // The last done-post releases its poster before its entry leaves the
  // queue (a task counts until it has finished), so the count drops shortly
  // after.
  EXPECT_TRUE(WaitUntil([&] { return ctx->QueuedCount() == 0; }));
}

// A small queue with unbounded waits: producers block for room and every
// task still runs, in order per producer.
TEST(ThreadContextTest, BoundedQueueWithWaitingProducersLosesNothing) {
  constexpr int kProducers = 4;
  constexpr int kTasks = 500;
  auto ctx = MakeContext(3, kInfinite);
  std::vector<std::vector<int>> seen(kProducers);
  std::vector<std::thread> producers;
  std::atomic<int> refused{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kTasks; ++i) {
        if (!ctx->Post([&, p, i] { seen[p].push_back(i); })) refused.fetch_add(1);
      }
    });
  }
  for (auto& t : producers) t.join();
  auto done = NewEvent();
  Scheduler::Event* e = done.get();
  ASSERT_TRUE(ctx->Post([] {}, &e));
  EXPECT_EQ(refused.load(), 0);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[p][i], i);
  }
}

TEST(ThreadContextTest, FullQueueWithoutWaitDiscards) {
  auto ctx = MakeContext(1, 0);
  auto inTask = NewEvent();
  auto gate = NewEvent();
  std::atomic<int> ran{0};
  ASSERT_TRUE(ctx->Post([&] {
    inTask->Set();
    gate->Wait(10000);
    ran.fetch_add(1);
  }));
  ASSERT_TRUE(inTask->Wait(10000));
  // The running task still counts: the queue is full.
  EXPECT_EQ(ctx->QueuedCount(), 1u);
  EXPECT_FALSE(ctx->Post([&] { ran.fetch_add(100); }));
  // A discarded done-post returns at once.
  auto done = NewEvent();
  Scheduler::Event* e = done.get();
  EXPECT_FALSE(ctx->Post([&] { ran.fetch_add(100); }, &e));
  gate->Set();
  ASSERT_TRUE(WaitUntil([&] { return ctx->QueuedCount() == 0; }));
  EXPECT_EQ(ran.load(), 1);
}

TEST(ThreadContextTest, PostAlwaysQueuesPastAFullQueueInOrderUntilStopped) {
  auto ctx = MakeContext(1, 0);
  auto inTask = NewEvent();
  auto gate = NewEvent();
  std::mutex m;
  std::vector<int> order;
  ASSERT_TRUE(ctx->Post([&] {
    inTask->Set();
    gate->Wait(10000);
  }));
  ASSERT_TRUE(inTask->Wait(10000));
  EXPECT_FALSE(ctx->Post([] {}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(ctx->PostAlways([&, i] {
      std::lock_guard<std::mutex> g(m);
      order.push_back(i);
    }));
  }
  gate->Set();
  ASSERT_TRUE(WaitUntil([&] { return ctx->QueuedCount() == 0; }));
  {
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  }
  ctx->Stop();
  EXPECT_FALSE(ctx->PostAlways([] {}));
}

TEST(ThreadContextTest, FullQueueWaitsForRoomThenGivesUp) {
  auto ctx = MakeContext(10, 1000);
  auto inTask = NewEvent();
  auto gate = NewEvent();
  ASSERT_TRUE(ctx->Post([&] {
    inTask->Set();
    gate->Wait(10000);
  }));
  ASSERT_TRUE(inTask->Wait(10000));
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(ctx->Post([] {}));
  // The eleventh poster waits for room, and gets it when a task finishes.
  std::atomic<int> eleventh{-1};
  std::thread poster([&] { eleventh.store(ctx->Post([] {}) ? 1 : 0); });
  gate->Set();
  poster.join();
  EXPECT_EQ(eleventh.load(), 1);

  // With no room made in time, the task is discarded after the wait.
  auto small = MakeContext(1, 40);
  ASSERT_TRUE(small->Post([&] {
    inTask->Set();
    gate->Wait(10000);
  }));
  ASSERT_TRUE(inTask->Wait(10000));
  const auto start = SteadyClock::now();
  EXPECT_FALSE(small->Post([] {}));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count(), 39);
  gate->Set();
}

TEST(ThreadContextTest, DonePostOnItsOwnThreadRunsInline) {
  auto ctx = MakeContext(1, kInfinite);
  auto done = NewEvent();
  auto outer = NewEvent();
  Scheduler::Event* e = done.get();
  Scheduler::Event* o = outer.get();
  std::vector<int> order;
  bool innerResult = false;
  ASSERT_TRUE(ctx->Post(
      [&] {
        order.push_back(1);
        innerResult = ctx->Post([&] { order.push_back(2); }, &e);
        order.push_back(3);
      },
      &o));
  EXPECT_TRUE(innerResult);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(done->Wait(0));  // no stale signal left behind
}

TEST(ThreadContextTest, FullSelfPostDoesNotWaitForItself) {
  ScopedCapture capture;
  auto ctx = MakeContext(1, kInfinite);
  auto outer = NewEvent();
  Scheduler::Event* o = outer.get();
  int selfPost = -1;
  ASSERT_TRUE(ctx->Post([&] { selfPost = ctx->Post([] {}) ? 1 : 0; }, &o));
  EXPECT_EQ(selfPost, 0);
  EXPECT_TRUE(capture->Has(Log_Severe, "Work queue full on its own thread"));
}

TEST(ThreadContextTest, StopRunsWhatWasQueuedAndRefusesTheRest) {
  auto ctx = MakeContext(1000, 0);
  auto gate = NewEvent();
  std::atomic<int> ran{0};
  ASSERT_TRUE(ctx->Post([&] { gate->Wait(10000); }));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ctx->Post([&] { ran.fetch_add(1); }));
  std::thread stopper([&] { ctx->Stop(); });
  // Once stopping, posts are refused (and a done-post does not wait).
  ASSERT_TRUE(WaitUntil([&] { return !ctx->Post([&] { ran.fetch_add(1000); }); }));
  auto done = NewEvent();
  Scheduler::Event* e = done.get();
  EXPECT_FALSE(ctx->Post([&] { ran.fetch_add(1000); }, &e));
  gate->Set();
  stopper.join();
  EXPECT_EQ(ran.load() % 1000, 100);
  EXPECT_EQ(ctx->QueuedCount(), 0u);
  EXPECT_FALSE(ctx->IsRunning());
}

TEST(ThreadContextTest, StopFromItsOwnTaskDrainsWithoutWaiting) {
  ScopedCapture capture;
  auto ctx = MakeContext(100, 0);
  auto gate = NewEvent();
  auto last = NewEvent();
  std::atomic<int> ran{0};
  ASSERT_TRUE(ctx->Post([&] { gate->Wait(10000); }));
  ASSERT_TRUE(ctx->Post([&] { EXPECT_EQ(ctx->Stop(), Result_Ok); }));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(ctx->Post([&] { ran.fetch_add(1); }));
  ASSERT_TRUE(ctx->Post([&] { last->Set(); }));
  gate->Set();
  ASSERT_TRUE(last->Wait(10000));
  EXPECT_EQ(ran.load(), 5);
  EXPECT_FALSE(ctx->Post([] {}));
  EXPECT_TRUE(capture->Has(Log_Severe, "stopped from its own task"));
  EXPECT_EQ(ctx->Stop(), Result_Ok);  // joins the thread that ended itself
  EXPECT_FALSE(ctx->IsRunning());
}

// Destroying a context with tasks queued releases every poster waiting on a
// done event: none of those tasks runs, and each Post reports the discard.
TEST(ThreadContextTest, DestructionReleasesWaitingPosters) {
  constexpr int kPosters = 3;
  auto* ctx = new ThreadContext(100, 0);
  auto inTask = NewEvent();
  auto gate = NewEvent();
  ASSERT_TRUE(ctx->Post([&] {
    inTask->Set();
    gate->Wait(10000);
  }));
  ASSERT_TRUE(inTask->Wait(10000));

  std::atomic<int> ran{0};
  std::atomic<int> queued{0};
  std::vector<int> results(kPosters, -1);
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      auto done = NewEvent();
      Scheduler::Event* e = done.get();
      queued.fetch_add(1);
      results[p] = ctx->Post([&] { ran.fetch_add(1); }, &e) ? 1 : 0;
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return ctx->QueuedCount() == 1 + kPosters; }));

  std::thread destroyer([&] { ctx->Release(); });
  // The running task holds the destructor in its stop; once the context is
  // stopping, new posts are refused.
  ASSERT_TRUE(WaitUntil([&] { return !ctx->Post([] {}); }));
  gate->Set();
  destroyer.join();
  for (auto& t : posters) t.join();
  EXPECT_EQ(ran.load(), 0);
  for (int p = 0; p < kPosters; ++p) EXPECT_EQ(results[p], 0) << p;
}

// A done-poster that the context's destruction may release holds no
// reference, so once its task is queued it must not touch the context again.
// The wake hook holds the poster just after it queued; the context is
// destroyed meanwhile, and the hook's own state (which lives in the context)
// is read again when the hook goes on. Under AddressSanitizer that read is a
// use-after-free unless the destruction waits for the poster to let go.
TEST(ThreadContextTest, PosterTouchesNothingOnceItsDonePostIsQueued) {
  auto* ctx = new ThreadContext(100, 0);
  auto inHook = NewEvent();
  std::unique_ptr<Scheduler::Event> destroyed(S()->CreateEvent(true, false));
  std::atomic<int> hookRuns{0};
  ctx->SetWakeHook([&inHook, &destroyed, &hookRuns] {
    inHook->Set();
    // Bounded: a sound context holds its destruction back until we return.
    destroyed->Wait(100);
    hookRuns.fetch_add(1);
  });
  std::atomic<int> posted{-1};
  std::thread poster([&] {
    auto done = NewEvent();
    Scheduler::Event* e = done.get();
    posted.store(ctx->Post([] {}, &e) ? 1 : 0);
  });
  ASSERT_TRUE(inHook->Wait(10000));
  std::thread destroyer([&] {
    ctx->Release();
    destroyed->Set();
  });
  destroyer.join();
  poster.join();
  EXPECT_EQ(hookRuns.load(), 1);
  EXPECT_NE(posted.load(), -1);  // released, whether the task ran or not
}

TEST(ThreadContextTest, WakeHookRunsForEachQueueingFromOtherThreads) {
  auto ctx = MakeContext(1, 0);
  std::atomic<int> hooks{0};
  ctx->SetWakeHook([&] { hooks.fetch_add(1); });
  auto inTask = NewEvent();
  auto gate = NewEvent();
  ASSERT_TRUE(ctx->Post([&] {
    inTask->Set();
    gate->Wait(10000);
    ctx->Post([] {});  // from its own thread: no hook
  }));
  ASSERT_TRUE(inTask->Wait(10000));
  EXPECT_EQ(hooks.load(), 1);
  EXPECT_FALSE(ctx->Post([] {}));  // discarded: no hook
  EXPECT_EQ(hooks.load(), 1);
  gate->Set();
  ASSERT_TRUE(WaitUntil([&] { return ctx->QueuedCount() == 0; }));
  EXPECT_EQ(hooks.load(), 1);
  auto done = NewEvent();
  Scheduler::Event* e = done.get();
  ASSERT_TRUE(ctx->Post([] {}, &e));
  EXPECT_EQ(hooks.load(), 2);
}

TEST(ThreadContextTest, ManyContextsComeAndGo) {
  for (int i = 0; i < 50; ++i) {
    auto ctx = MakeContext(10, 0);
    std::atomic<int> ran{0};
    for (int t = 0; t < 5; ++t) ctx->Post([&] { ran.fetch_add(1); });
    ctx->Stop();
    ASSERT_EQ(ran.load(), 5);
  }
}

}  // namespace
}  // namespace corvane
