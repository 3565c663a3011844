#include "Scheduler.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../Linux/Clock.h"
#include "Locks.h"
#include "TestLogCapture.h"
#include "TestWait.h"
#include "Result.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;
using test::WaitUntil;

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

Scheduler* S() { return GetDefaultScheduler(); }

class SchedulerTest : public ::testing::Test {
 protected:
  void TearDown() override { GetDefaultScheduler()->SetTestTimeOffsetMs(0); }
};

TEST_F(SchedulerTest, SingletonAndTrivialOperations) {
  EXPECT_EQ(GetDefaultScheduler(), GetDefaultScheduler());
  EXPECT_EQ(S()->GetConstant(), 4);
  int calls = 0;
  S()->Execute([&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_THROW(S()->Execute(std::function<void()>()), std::bad_function_call);
  const auto start = Clock::now();
  S()->Sleep(0);
  S()->Sleep(5);
  EXPECT_GE(ElapsedMs(start), 5);
}

TEST_F(SchedulerTest, ThreadIdIsTheKernelIdAndStable) {
  const uint32_t mine = S()->GetCurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(mine, static_cast<uint32_t>(syscall(SYS_gettid)));
  EXPECT_EQ(CurrentThreadId(), mine);
  uint32_t other = 0, otherKernel = 0;
  std::thread t([&] {
    other = S()->GetCurrentThreadId();
    otherKernel = static_cast<uint32_t>(syscall(SYS_gettid));
  });
  t.join();
  EXPECT_NE(other, mine);
  EXPECT_EQ(other, otherKernel);
}

// ---- clock ----

TEST_F(SchedulerTest, EpochMsRoundsHalfUp) {
  EXPECT_EQ(platform::TimespecToEpochMs(0, 500000), 1);
  EXPECT_EQ(platform::TimespecToEpochMs(0, 499999), 0);
  EXPECT_EQ(platform::TimespecToEpochMs(1, 999499999), 1999);
  EXPECT_EQ(platform::TimespecToEpochMs(1, 999500000), 2000);
  EXPECT_EQ(platform::TimespecToEpochMs(1700000000, 123456789), 1700000000123);
}

TEST_F(SchedulerTest, UtcMatchesTheSystemClock) {
  const int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  const int64_t utc = S()->GetUtcTimeMs();
  const int64_t after = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  EXPECT_GE(utc, before);
  EXPECT_LE(utc, after + 1);
  EXPECT_EQ(CurrentUtcTimeMs() / 100000, utc / 100000);
}

TEST_F(SchedulerTest, TestOffsetShiftsUtcLocalAndTickButNotWaits) {
  const int64_t utc0 = S()->GetUtcTimeMs();
  const int64_t local0 = S()->GetLocalTimeMs();
  const uint64_t tick0 = S()->GetTickCount64();
  // Real time runs on beside the offset: the margin covers a test thread
  // held off the processor for a while on a loaded machine.
  constexpr double kMarginMs = 60000.0;
  GetDefaultScheduler()->SetTestTimeOffsetMs(600000);
  EXPECT_EQ(GetDefaultScheduler()->GetTestTimeOffsetMs(), 600000);
  EXPECT_NEAR(static_cast<double>(S()->GetUtcTimeMs() - utc0), 600000.0, kMarginMs);
  EXPECT_NEAR(static_cast<double>(S()->GetLocalTimeMs() - local0), 600000.0, kMarginMs);
  EXPECT_NEAR(static_cast<double>(S()->GetTickCount64() - tick0), 600000.0, kMarginMs);
  GetDefaultScheduler()->AdvanceTestTimeMs(-1200000);
  EXPECT_NEAR(static_cast<double>(S()->GetUtcTimeMs() - utc0), -600000.0, kMarginMs);

  // A wait runs on the real steady clock whatever the offset.
  std::unique_ptr<Scheduler::Event> e(S()->CreateEvent(false, false));
  GetDefaultScheduler()->SetTestTimeOffsetMs(-3600000);
  const auto start = Clock::now();
  EXPECT_FALSE(e->Wait(30));
  EXPECT_GE(ElapsedMs(start), 29);
  EXPECT_LT(ElapsedMs(start), kMarginMs);
}

TEST_F(SchedulerTest, TickCountWrapsAt32Bits) {
  const uint64_t tick = S()->GetTickCount64();
  // Put the tick clock a minute before the 32-bit wrap, then step two
  // minutes over it: real time passing meanwhile cannot reach either mark.
  constexpr uint32_t kMinute = 60000;
  const int64_t toWrap = static_cast<int64_t>((uint64_t{1} << 32) - (tick & 0xFFFFFFFFu)) - kMinute;
  GetDefaultScheduler()->SetTestTimeOffsetMs(toWrap);
  const uint32_t before = S()->GetTickCount();
  EXPECT_GE(before, 0xFFFFFFFFu - kMinute);
  GetDefaultScheduler()->AdvanceTestTimeMs(2 * kMinute);
  const uint32_t after = S()->GetTickCount();
  EXPECT_GE(after, kMinute);
  EXPECT_LT(after, 2 * kMinute);
  EXPECT_GE(static_cast<uint32_t>(after - before), 2 * kMinute);
  EXPECT_LT(static_cast<uint32_t>(after - before), 3 * kMinute);
  const uint64_t wide = S()->GetTickCount64();
  const uint32_t narrow = S()->GetTickCount();
  EXPECT_GT(wide, uint64_t{1} << 32);
  EXPECT_LT(static_cast<uint32_t>(narrow - static_cast<uint32_t>(wide)), kMinute);
}

// Local time is UTC plus the zone's offset, and a change of offset (daylight
// saving) is seen once the cached second changes.
TEST_F(SchedulerTest, LocalTimeFollowsTheZoneIncludingDaylightSaving) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  auto offsetAt = [](int64_t targetUtcMs) {
    GetDefaultScheduler()->SetTestTimeOffsetMs(0);
    const int64_t now = GetDefaultScheduler()->GetUtcTimeMs();
    GetDefaultScheduler()->SetTestTimeOffsetMs(targetUtcMs - now);
    const int64_t utc = GetDefaultScheduler()->GetUtcTimeMs();
    const int64_t local = GetDefaultScheduler()->GetLocalTimeMs();
    return static_cast<double>(local - utc);
  };
  // 2024-01-15 12:00 UTC: standard time, UTC-5. 2024-07-01 12:00 UTC: UTC-4.
  EXPECT_NEAR(offsetAt(1705320000000), -5 * 3600000, 50);
  EXPECT_NEAR(offsetAt(1719835200000), -4 * 3600000, 50);
  EXPECT_NEAR(offsetAt(1705320000000), -5 * 3600000, 50);

  // 2024-07-01 12:30 UTC, well inside an hour: the offset is set from a
  // reading rounded to the nearest ms, so the clock may land up to half a ms
  // before the chosen instant, and on an hour boundary the two calendar
  // readings below could fall in different hours.
  DateTime local;
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  GetDefaultScheduler()->SetTestTimeOffsetMs(1719837000000 - GetDefaultScheduler()->GetUtcTimeMs());
  S()->GetLocalDateTime(&local);
  DateTime utc;
  S()->GetUtcDateTime(&utc);
  EXPECT_EQ(local.year, 2024);
  EXPECT_EQ(local.month, 7);
  EXPECT_EQ(local.day, 1);
  EXPECT_EQ(utc.day, 1);
  EXPECT_EQ((utc.hour - local.hour + 24) % 24, 4);
  EXPECT_GE(local.millisecond, 0);
  EXPECT_LE(local.millisecond, 999);

  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

void ExpectDate(int64_t ms, DateTime want) {
  DateTime got;
  EpochMsToDateTime(&got, ms);
  EXPECT_EQ(got.year, want.year) << ms;
  EXPECT_EQ(got.month, want.month) << ms;
  EXPECT_EQ(got.day, want.day) << ms;
  EXPECT_EQ(got.hour, want.hour) << ms;
  EXPECT_EQ(got.minute, want.minute) << ms;
  EXPECT_EQ(got.second, want.second) << ms;
  EXPECT_EQ(got.millisecond, want.millisecond) << ms;
}

TEST_F(SchedulerTest, EpochMsToDateTimeIsDefinedForEveryInput) {
  ExpectDate(0, {1970, 1, 1, 0, 0, 0, 0});
  ExpectDate(-1, {1969, 12, 31, 23, 59, 59, 999});
  ExpectDate(1700000000123, {2023, 11, 14, 22, 13, 20, 123});
  ExpectDate(1709164800000, {2024, 2, 29, 0, 0, 0, 0});
  ExpectDate(-11644473600000, {1601, 1, 1, 0, 0, 0, 0});
  ExpectDate(910692730085477, {30828, 9, 14, 2, 48, 5, 477});
  const DateTime failed{1970, 1, 0, 0, 0, 0, 0};
  ExpectDate(-11644473600001, failed);
  ExpectDate(910692730085478, failed);
  ExpectDate(INT64_MIN, failed);
  ExpectDate(INT64_MAX, failed);
}

TEST_F(SchedulerTest, EpochMsToDateTimeAgreesWithTheCLibrary) {
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<int64_t> dist(-11644473600000, 910692730085477);
  for (int i = 0; i < 20000; ++i) {
    const int64_t ms = dist(rng);
    int64_t sec = ms / 1000;
    int64_t rem = ms % 1000;
    if (rem < 0) {
      rem += 1000;
      sec -= 1;
    }
    const time_t t = static_cast<time_t>(sec);
    tm want{};
    ASSERT_NE(gmtime_r(&t, &want), nullptr);
    DateTime got;
    EpochMsToDateTime(&got, ms);
    ASSERT_EQ(got.year, want.tm_year + 1900) << ms;
    ASSERT_EQ(got.month, want.tm_mon + 1) << ms;
    ASSERT_EQ(got.day, want.tm_mday) << ms;
    ASSERT_EQ(got.hour, want.tm_hour) << ms;
    ASSERT_EQ(got.minute, want.tm_min) << ms;
    ASSERT_EQ(got.second, want.tm_sec) << ms;
    ASSERT_EQ(got.millisecond, rem) << ms;
  }
}

TEST_F(SchedulerTest, CalendarReadingsAgreeWithMilliseconds) {
  // The millisecond reading is rounded and the calendar one truncated, so in
  // the last half millisecond of a second they name different seconds; back
  // to back, a few tries can all land in that half millisecond. Retry until a
  // deadline instead.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    const int64_t ms = S()->GetUtcTimeMs();
    DateTime now;
    S()->GetUtcDateTime(&now);
    DateTime fromMs;
    EpochMsToDateTime(&fromMs, ms);
    if (now.second != fromMs.second) continue;  // crossed a second boundary
    EXPECT_EQ(now.year, fromMs.year);
    EXPECT_EQ(now.month, fromMs.month);
    EXPECT_EQ(now.day, fromMs.day);
    EXPECT_EQ(now.hour, fromMs.hour);
    EXPECT_EQ(now.minute, fromMs.minute);
    return;
  }
  ADD_FAILURE() << "clock readings never fell in one second";
}

// ---- mutex ----

TEST_F(SchedulerTest, MutexIsRecursiveAndRefusesOtherThreads) {
  std::unique_ptr<Scheduler::Mutex> m(S()->CreateMutex());
  EXPECT_EQ(m->Lock(kInfinite), Result_Ok);
  EXPECT_EQ(m->Lock(0), Result_Ok);  // held by the caller: re-entered
  int tryResult = 0, timedResult = 0, unlockResult = 0;
  int64_t timedMs = 0;
  std::thread other([&] {
    tryResult = m->Lock(0);
    const auto start = Clock::now();
    timedResult = m->Lock(40);
    timedMs = ElapsedMs(start);
    unlockResult = m->Unlock();  // not the owner
  });
  other.join();
  EXPECT_EQ(tryResult, Result_Fail);
  EXPECT_EQ(timedResult, Result_Fail);
  EXPECT_GE(timedMs, 39);
  EXPECT_EQ(unlockResult, Result_Fail);
  EXPECT_EQ(m->Unlock(), Result_Ok);
  // Still held once: another thread is still refused.
  std::thread again([&] { tryResult = m->Lock(0); });
  again.join();
  EXPECT_EQ(tryResult, Result_Fail);
  EXPECT_EQ(m->Unlock(), Result_Ok);
  EXPECT_EQ(m->Unlock(), Result_Fail);  // not held any more
  std::thread free([&] {
    tryResult = m->Lock(0);
    if (tryResult == Result_Ok) m->Unlock();
  });
  free.join();
  EXPECT_EQ(tryResult, Result_Ok);
}

TEST_F(SchedulerTest, TimedMutexLockSucceedsWhenReleasedInTime) {
  std::unique_ptr<Scheduler::Mutex> m(S()->CreateMutex());
  std::unique_ptr<Scheduler::Event> trying(S()->CreateEvent(true, false));
  ASSERT_EQ(m->Lock(kInfinite), Result_Ok);
  int result = 1;
  std::thread waiter([&] {
    trying->Set();
    result = m->Lock(60000);
    if (result == Result_Ok) m->Unlock();
  });
  ASSERT_TRUE(trying->Wait(10000));
  m->Unlock();
  waiter.join();
  EXPECT_EQ(result, Result_Ok);
}

template <class LockFn, class UnlockFn>
void ExpectMutualExclusion(LockFn lock, UnlockFn unlock) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        lock();
        ++counter;
        unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST_F(SchedulerTest, LocksExcludeEachOther) {
  std::unique_ptr<Scheduler::Mutex> m(S()->CreateMutex());
  ExpectMutualExclusion([&] { ASSERT_EQ(m->Lock(kInfinite), Result_Ok); }, [&] { m->Unlock(); });
  std::unique_ptr<Scheduler::FastMutex> f(S()->CreateFastMutex());
  ExpectMutualExclusion([&] { ASSERT_EQ(f->Lock(), 0); }, [&] { ASSERT_EQ(f->Unlock(), 0); });
  std::unique_ptr<Scheduler::Monitor> mon(S()->CreateMonitor());
  ExpectMutualExclusion([&] { mon->Enter(); }, [&] { ASSERT_EQ(mon->Exit(), Result_Ok); });
}

TEST_F(SchedulerTest, FastMutexIsRecursive) {
  std::unique_ptr<Scheduler::FastMutex> f(S()->CreateFastMutex());
  EXPECT_EQ(f->Lock(), 0);
  EXPECT_EQ(f->Lock(), 0);
  EXPECT_EQ(f->Unlock(), 0);
  EXPECT_EQ(f->Unlock(), 0);
}

TEST_F(SchedulerTest, ScopedLockHoldsAndReleases) {
  std::unique_ptr<Scheduler::FastMutex> f(S()->CreateFastMutex());
  std::unique_ptr<Scheduler::Mutex> m(S()->CreateMutex());
  {
    ScopedLock fast(f.get());
    EXPECT_TRUE(fast.IsHeld());
    EXPECT_EQ(fast.Lock(), Result_Fail);  // already held
    EXPECT_EQ(fast.Unlock(), 0);
    EXPECT_FALSE(fast.IsHeld());
    EXPECT_EQ(fast.Unlock(), Result_Fail);  // not held
    EXPECT_EQ(fast.Lock(), 0);
    EXPECT_TRUE(fast.IsHeld());

    ScopedLock slow(m.get());
    EXPECT_TRUE(slow.IsHeld());
    int other = 0;
    std::thread t([&] { other = m->Lock(0); });
    t.join();
    EXPECT_EQ(other, Result_Fail);
  }
  // Both released on scope end.
  int mutexResult = 1;
  std::thread t([&] {
    mutexResult = m->Lock(0);
    if (mutexResult == Result_Ok) m->Unlock();
    f->Lock();
    f->Unlock();
  });
  t.join();
  EXPECT_EQ(mutexResult, Result_Ok);
}

// ---- events ----

TEST_F(SchedulerTest, AutoResetEventConsumesOneSignal) {
  std::unique_ptr<Scheduler::Event> e(S()->CreateEvent(false, false));
  EXPECT_FALSE(e->Wait(0));
  EXPECT_NE(e->Set(), 0);
  EXPECT_TRUE(e->Wait(0));
  EXPECT_FALSE(e->Wait(0));
  std::unique_ptr<Scheduler::Event> initially(S()->CreateEvent(false, true));
  EXPECT_TRUE(initially->Wait(0));
  EXPECT_FALSE(initially->Wait(1));
  e->Set();
  EXPECT_NE(e->Reset(), 0);
  EXPECT_FALSE(e->Wait(0));
  const auto start = Clock::now();
  EXPECT_FALSE(e->Wait(25));
  EXPECT_GE(ElapsedMs(start), 24);
}

TEST_F(SchedulerTest, ManualResetEventStaysSetUntilReset) {
  std::unique_ptr<Scheduler::Event> e(S()->CreateEvent(true, false));
  EXPECT_FALSE(e->Wait(0));
  e->Set();
  EXPECT_TRUE(e->Wait(0));
  EXPECT_TRUE(e->Wait(10));
  e->Reset();
  EXPECT_FALSE(e->Wait(0));
  const auto start = Clock::now();
  EXPECT_FALSE(e->Wait(25));
  EXPECT_GE(ElapsedMs(start), 24);
}

TEST_F(SchedulerTest, ManualResetReleasesEveryWaiter) {
  std::unique_ptr<Scheduler::Event> e(S()->CreateEvent(true, false));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (e->Wait(kInfinite)) released.fetch_add(1);
    });
  }
  e->Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
}

TEST_F(SchedulerTest, AutoResetReleasesOneWaiterPerSignal) {
  std::unique_ptr<Scheduler::Event> e(S()->CreateEvent(false, false));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (e->Wait(60000)) released.fetch_add(1);
    });
  }
  for (int i = 1; i <= 3; ++i) {
    e->Set();
    ASSERT_TRUE(WaitUntil([&] { return released.load() >= i; }));
    EXPECT_EQ(released.load(), i);
  }
  for (auto& t : waiters) t.join();
  EXPECT_FALSE(e->Wait(0));  // every signal was consumed
}

TEST_F(SchedulerTest, EventPingPongLosesNoWakeUp) {
  std::unique_ptr<Scheduler::Event> ping(S()->CreateEvent(false, false));
  std::unique_ptr<Scheduler::Event> pong(S()->CreateEvent(false, false));
  constexpr int kRounds = 5000;
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (!ping->Wait(10000)) return;
      pong->Set();
    }
  });
  int completed = 0;
  for (int i = 0; i < kRounds; ++i) {
    ping->Set();
    if (!pong->Wait(10000)) break;
    ++completed;
  }
  partner.join();
  EXPECT_EQ(completed, kRounds);
}

// ---- monitor ----

TEST_F(SchedulerTest, MonitorNamesItself) {
  std::unique_ptr<Scheduler::Monitor> m(S()->CreateMonitor());
  auto* lockable = dynamic_cast<Lockable*>(m.get());
  ASSERT_NE(lockable, nullptr);
  std::string name;
  lockable->GetName(&name);
  EXPECT_EQ(name, "Monitor");
}

TEST_F(SchedulerTest, MonitorRefusesNonOwnersAndChangesNothing) {
  std::unique_ptr<Scheduler::Monitor> m(S()->CreateMonitor());
  EXPECT_EQ(m->Exit(), Result_Fail);
  int count = 7;
  EXPECT_EQ(m->ExitAll(&count), Result_Fail);
  EXPECT_EQ(count, 7);
  EXPECT_EQ(m->Wait(0), Result_Fail);

  m->Enter();
  m->Enter();
  int exitResult = 0, exitAllResult = 0, waitResult = 0;
  std::thread other([&] {
    exitResult = m->Exit();
    exitAllResult = m->ExitAll(&count);
    waitResult = m->Wait(0);
  });
  other.join();
  EXPECT_EQ(exitResult, Result_Fail);
  EXPECT_EQ(exitAllResult, Result_Fail);
  EXPECT_EQ(waitResult, Result_Fail);
  // Still owned twice by this thread.
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Fail);
}

TEST_F(SchedulerTest, MonitorDepthSurvivesExitAllAndWait) {
  std::unique_ptr<Scheduler::Monitor> m(S()->CreateMonitor());
  m->Enter();
  m->Enter();
  m->Enter();
  int count = 0;
  EXPECT_EQ(m->ExitAll(&count), Result_Ok);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(m->Exit(), Result_Fail);
  // Free now: another thread can take it.
  std::thread t([&] {
    m->Enter();
    m->Exit();
  });
  t.join();
  EXPECT_EQ(m->EnterWithCount(3), Result_Ok);
  EXPECT_EQ(m->Wait(0), Result_Ok);  // returns at once, same depth
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Fail);
}

TEST_F(SchedulerTest, MonitorWaitReleasesTheLockAndIsNotified) {
  std::unique_ptr<Scheduler::Monitor> m(S()->CreateMonitor());
  bool ready = false;  // guarded by the monitor
  bool seen = false;
  std::thread consumer([&] {
    MonitorGuard guard(m.get());
    m->Enter();  // depth 2 across the wait
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!ready && Clock::now() < deadline) m->Wait(1000);
    seen = ready;
    m->Exit();
  });
  {
    MonitorGuard guard(m.get());
    ready = true;
    m->NotifyAll();
  }
  consumer.join();
  EXPECT_TRUE(seen);
  EXPECT_EQ(m->Exit(), Result_Fail);  // the consumer left nothing held
}

TEST_F(SchedulerTest, MonitorUnlockGuardLeavesAndReenters) {
  std::unique_ptr<Scheduler::Monitor> m(S()->CreateMonitor());
  m->Enter();
  m->Enter();
  {
    MonitorUnlockGuard unlocked(m.get());
    bool entered = false;
    std::thread t([&] {
      m->Enter();
      entered = true;
      m->Exit();
    });
    t.join();
    EXPECT_TRUE(entered);
  }
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Ok);
  EXPECT_EQ(m->Exit(), Result_Fail);
  // A guard over a monitor the caller does not own leaves it unowned.
  { MonitorUnlockGuard notOwned(m.get()); }
  EXPECT_EQ(m->Exit(), Result_Fail);
  std::thread t([&] {
    m->Enter();
    m->Exit();
  });
  t.join();
}

}  // namespace
}  // namespace corvane
