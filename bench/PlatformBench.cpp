// Hand-run figures for the platform core. Prints one line per figure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "RefCount.h"
#include "Scheduler.h"
#include "Thread.h"
#include "ThreadContext.h"
#include "Timer.h"

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double NsSince(Clock::time_point t) { return std::chrono::duration<double, std::nano>(Clock::now() - t).count(); }

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void Report(const char* what, double value, const char* unit) { std::printf("%-58s %14.1f %s\n", what, value, unit); }

Scheduler* S() { return GetDefaultScheduler(); }

// Ops/s of fn run `per` times on each of `threads` threads at once.
double OpsPerSecond(int threads, long per, const std::function<void()>& fn) {
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      while (!go.load()) {
      }
      for (long i = 0; i < per; ++i) fn();
    });
  }
  const auto start = Clock::now();
  go.store(true);
  for (auto& w : workers) w.join();
  return static_cast<double>(threads) * static_cast<double>(per) / (NsSince(start) / 1e9);
}

class Counted final : public IRefCountImpl {};

void RefCounting() {
  auto* obj = new Counted();
  Report("refcount AddRef+Release pairs/s, 1 thread", OpsPerSecond(1, 20000000, [obj] {
           obj->AddRef();
           obj->Release();
         }),
         "pairs/s");
  Report("refcount AddRef+Release pairs/s, 8 threads, one object", OpsPerSecond(8, 2000000, [obj] {
           obj->AddRef();
           obj->Release();
         }),
         "pairs/s");
  obj->Release();
  // Through a volatile pointer, so the allocation cannot be optimised away.
  static Counted* volatile sink = nullptr;
  Report("counted object create+destroy/s", OpsPerSecond(1, 5000000, [] {
           sink = new Counted();
           sink->Release();
         }),
         "objects/s");
}

void Locks() {
  std::unique_ptr<Scheduler::Mutex> m(S()->CreateMutex());
  std::unique_ptr<Scheduler::FastMutex> f(S()->CreateFastMutex());
  std::unique_ptr<Scheduler::Monitor> mon(S()->CreateMonitor());
  auto mutexPair = [&] {
    m->Lock(kInfinite);
    m->Unlock();
  };
  auto fastPair = [&] {
    f->Lock();
    f->Unlock();
  };
  auto monitorPair = [&] {
    mon->Enter();
    mon->Exit();
  };
  Report("Mutex lock+unlock/s, uncontended", OpsPerSecond(1, 20000000, mutexPair), "pairs/s");
  Report("Mutex lock+unlock/s, 4 threads", OpsPerSecond(4, 2000000, mutexPair), "pairs/s");
  Report("FastMutex lock+unlock/s, uncontended", OpsPerSecond(1, 20000000, fastPair), "pairs/s");
  Report("FastMutex lock+unlock/s, 4 threads", OpsPerSecond(4, 2000000, fastPair), "pairs/s");
  Report("Monitor Enter+Exit/s, uncontended", OpsPerSecond(1, 20000000, monitorPair), "pairs/s");

  std::unique_ptr<Scheduler::Event> e(S()->CreateEvent(false, false));
  Report("Event Set+Wait(0)/s, one thread", OpsPerSecond(1, 20000000, [&] {
           e->Set();
           e->Wait(0);
         }),
         "pairs/s");

  // Set -> Wait latency across threads, as half a ping-pong round trip.
  std::unique_ptr<Scheduler::Event> ping(S()->CreateEvent(false, false));
  std::unique_ptr<Scheduler::Event> pong(S()->CreateEvent(false, false));
  constexpr int kRounds = 20000;
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      ping->Wait(kInfinite);
      pong->Set();
    }
  });
  std::vector<double> half;
  half.reserve(kRounds);
  for (int i = 0; i < kRounds; ++i) {
    const auto t = Clock::now();
    ping->Set();
    pong->Wait(kInfinite);
    half.push_back(NsSince(t) / 2);
  }
  partner.join();
  Report("Event Set->Wait latency across threads p50", Percentile(half, 0.50) / 1000, "us");
  Report("Event Set->Wait latency across threads p99", Percentile(half, 0.99) / 1000, "us");
}

void Clocks() {
  Report("GetUtcTimeMs calls/s", OpsPerSecond(1, 10000000, [] { (void)S()->GetUtcTimeMs(); }), "calls/s");
  Report("GetLocalTimeMs calls/s", OpsPerSecond(1, 10000000, [] { (void)S()->GetLocalTimeMs(); }), "calls/s");
  Report("GetTickCount64 calls/s", OpsPerSecond(1, 10000000, [] { (void)S()->GetTickCount64(); }), "calls/s");
  Report("GetCurrentThreadId calls/s", OpsPerSecond(1, 50000000, [] { (void)S()->GetCurrentThreadId(); }),
         "calls/s");
  Report("GetLocalTimeMs calls/s, 8 threads", OpsPerSecond(8, 2000000, [] { (void)S()->GetLocalTimeMs(); }),
         "calls/s");
}

class WakeProbe final : public Thread {
 public:
  ~WakeProbe() override { Stop(); }
  bool ThreadFunc() override {
    ranAt.store(Clock::now().time_since_epoch().count());
    return false;
  }
  std::atomic<Clock::rep> ranAt{0};
};

void Threads() {
  WakeProbe probe;
  probe.Start(kInfinite);
  while (probe.ranAt.load() == 0) {
  }
  std::vector<double> lat;
  for (int i = 0; i < 20000; ++i) {
    probe.ranAt.store(0);
    const auto t = Clock::now();
    probe.Wake();
    while (probe.ranAt.load() == 0) {
    }
    lat.push_back(static_cast<double>(probe.ranAt.load() - t.time_since_epoch().count()));
  }
  Report("thread Wake->Run latency p50", Percentile(lat, 0.50) / 1000, "us");
  Report("thread Wake->Run latency p99", Percentile(lat, 0.99) / 1000, "us");

  constexpr int kCycles = 2000;
  const auto start = Clock::now();
  for (int i = 0; i < kCycles; ++i) {
    probe.Start(kInfinite);
    probe.Stop();
  }
  Report("thread Start+Stop cycle", NsSince(start) / kCycles / 1000, "us");
}

// Post -> start of the task, each producer waiting for its task to start
// before posting the next.
void WorkQueueLatency(int producers) {
  RefPtr<ThreadContext> ctx(new ThreadContext(100000, 0), false);
  constexpr int kSamples = 20000;
  std::vector<std::vector<double>> samples(producers);
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      samples[p].reserve(kSamples);
      std::atomic<Clock::rep> ranAt{0};
      for (int i = 0; i < kSamples; ++i) {
        ranAt.store(0);
        const auto t = Clock::now();
        ctx->Post([&ranAt] { ranAt.store(Clock::now().time_since_epoch().count()); });
        while (ranAt.load() == 0) {
        }
        samples[p].push_back(static_cast<double>(ranAt.load() - t.time_since_epoch().count()));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<double> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  char label[96];
  std::snprintf(label, sizeof label, "work queue post->run latency p50, %d producer(s)", producers);
  Report(label, Percentile(all, 0.50) / 1000, "us");
  std::snprintf(label, sizeof label, "work queue post->run latency p99, %d producer(s)", producers);
  Report(label, Percentile(all, 0.99) / 1000, "us");
}

// Producers flood the queue; the figure is tasks run per second until the
// last one has run.
void WorkQueueThroughput(int producers) {
  RefPtr<ThreadContext> ctx(new ThreadContext(100000, kInfinite), false);
  constexpr long kTotal = 2000000;
  const long per = kTotal / producers;
  std::atomic<long> ran{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&] {
      while (!go.load()) {
      }
      for (long i = 0; i < per; ++i) ctx->Post([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
    });
  }
  const auto start = Clock::now();
  go.store(true);
  for (auto& t : threads) t.join();
  while (ran.load() < per * producers) std::this_thread::yield();
  char label[96];
  std::snprintf(label, sizeof label, "work queue posts/s (all run), %d producer(s)", producers);
  Report(label, static_cast<double>(per * producers) / (NsSince(start) / 1e9), "tasks/s");
}

void WorkQueueDoneRoundTrip() {
  RefPtr<ThreadContext> ctx(new ThreadContext(100000, 0), false);
  std::unique_ptr<Scheduler::Event> done(S()->CreateEvent(false, false));
  Scheduler::Event* e = done.get();
  constexpr int kRounds = 20000;
  std::vector<double> lat;
  for (int i = 0; i < kRounds; ++i) {
    const auto t = Clock::now();
    ctx->Post([] {}, &e);
    lat.push_back(NsSince(t));
  }
  Report("work queue done-post round trip p50", Percentile(lat, 0.50) / 1000, "us");
  Report("work queue done-post round trip p99", Percentile(lat, 0.99) / 1000, "us");
}

class Ticks final : public ITimer::ITimerCallback {
 public:
  void TimerCallback() override {
    if (count < kTicks) at[count++] = Clock::now();
  }
  static constexpr int kTicks = 100;
  Clock::time_point at[kTicks];
  std::atomic<int> count{0};
};

void TimerJitter() {
  constexpr int kPeriodMs = 20;
  Ticks ticks;
  ITimer* raw = nullptr;
  if (CreateTimer(&raw) != 0) return;
  RefPtr<ITimer> timer(raw, false);
  const auto start = Clock::now();
  timer->Start(kPeriodMs, &ticks, kPeriodMs);
  while (ticks.count.load() < Ticks::kTicks) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  timer.Reset();
  std::vector<double> dev;
  for (int i = 0; i < Ticks::kTicks; ++i) {
    const double expected = static_cast<double>(kPeriodMs) * 1e6 * (i + 1);
    const double actual = std::chrono::duration<double, std::nano>(ticks.at[i] - start).count();
    dev.push_back(std::abs(actual - expected));
  }
  Report("timer jitter over 100 ticks of 20 ms, p50 |late|", Percentile(dev, 0.50) / 1000, "us");
  Report("timer jitter over 100 ticks of 20 ms, max |late|", Percentile(dev, 1.0) / 1000, "us");
}

}  // namespace

int main() {
  RefCounting();
  Locks();
  Clocks();
  Threads();
  WorkQueueLatency(1);
  WorkQueueLatency(4);
  WorkQueueThroughput(1);
  WorkQueueThroughput(4);
  WorkQueueDoneRoundTrip();
  TimerJitter();
  return 0;
}
