// Hand-run figures for the logger and the string helpers:
//   disabled log calls per second (1 and 8 threads),
//   enabled log calls per second into a store that discards and into the
//   rolling file store,
//   the cost of a call dropped by the rate limiter,
//   FormatString of a typical 150-character log line.
#include <stdlib.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Directory.h"
#include "FileStore.h"
#include "Logger.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "StringUtils.h"

using namespace corvane;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

class DiscardStore : public ILogStore, public IRefCountImpl {
 public:
  void Write(uint32_t, const std::string&, const std::string&, int64_t, uint32_t, int, const std::string& message)
      override {
    bytes_.fetch_add(message.size(), std::memory_order_relaxed);
  }
  std::atomic<uint64_t> bytes_{0};
};

std::atomic<uint64_t> g_sink{0};

// Runs body(threadIndex) on n threads started together; returns seconds.
template <class Body>
double RunThreads(int n, Body body) {
  std::barrier start(n + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      body(t);
    });
  }
  start.arrive_and_wait();
  auto begin = Clock::now();
  for (auto& th : threads) th.join();
  return Seconds(begin);
}

void DisabledCalls(int threads) {
  constexpr int kPerThread = 20000000;
  double s = RunThreads(threads, [](int t) {
    for (int i = 0; i < kPerThread; ++i) LOG_SPEW(1, "never formatted %d %d", t, i);
  });
  double total = static_cast<double>(kPerThread) * threads;
  std::printf("disabled LOG_SPEW, %d thread(s):   %8.1f M calls/s  (%.2f ns per call per thread)\n", threads,
              total / s / 1e6, s * 1e9 / kPerThread);
}

// Enabled lines from one place. The test clock moves 1250 ms per line, so
// the short window never holds 5 stamps and nothing is suspended: every call
// pays the whole path, rate-limit bookkeeping included.
double EnabledCalls(int threads, int perThread) {
  return RunThreads(threads, [perThread](int) {
    for (int i = 0; i < perThread; ++i) {
      LOG_INFO("Connection %d from %s closed after %d ms", i, "192.168.10.20:53202", 1500);
      GetDefaultScheduler()->AdvanceTestTimeMs(1250);
    }
  });
}

void DroppedCalls() {
  // Six lines suspend the place; every later call is a rate-limited drop.
  constexpr int kCalls = 3000000;
  auto place = [](int i) { LOG_WARNING("repeated failure %d on %s", i, "connection"); };
  for (int i = 0; i < 6; ++i) place(i);
  auto begin = Clock::now();
  for (int i = 0; i < kCalls; ++i) place(i);
  double s = Seconds(begin);
  std::printf("rate-limited drop (one thread):  %8.1f ns per call\n", s * 1e9 / kCalls);
}

void FormatLine() {
  constexpr int kCalls = 3000000;
  size_t length = 0;
  auto begin = Clock::now();
  for (int i = 0; i < kCalls; ++i) {
    std::string line = FormatString(
        "Publisher %s (%s) at %u.%u.%u.%u:%u updated: status 0x%08x, %d subscribers notified in %lld ms",
        "3f2504e0-4f89-11d3-9a0c-0305e82c3301", "Meeting Room 4", 192u, 168u, 10u, 20u, 53202u, 0x10u, i % 100,
        static_cast<long long>(i % 1000));
    length = line.size();
    g_sink.fetch_add(line.size(), std::memory_order_relaxed);
  }
  double s = Seconds(begin);
  std::printf("FormatString, %zu-char line:     %8.1f ns per call\n", length, s * 1e9 / kCalls);
}

}  // namespace

int main() {
  ILogger* logger = GetLoggerInstance();
  logger->SetLevel(0);
  logger->SetMask(Log_All);

  DisabledCalls(1);
  DisabledCalls(8);

  RefPtr<DiscardStore> discard(new DiscardStore(), false);
  logger->AddStore(discard.Get());
  for (int threads : {1, 8}) {
    constexpr int kPerThread = 300000;
    double s = EnabledCalls(threads, kPerThread);
    std::printf("enabled LOG_INFO into a discarding store, %d thread(s): %8.0f lines/s\n", threads,
                kPerThread * threads / s);
  }
  logger->RemoveStore(discard.Get());

  char pattern[] = "/tmp/corvane-logbench-XXXXXX";
  if (mkdtemp(pattern) != nullptr) {
    RefPtr<ILogStore> file;
    CreateFileStore("Bench", std::string(pattern) + "/", 10u << 20, file.Receive());
    logger->AddStore(file.Get());
    constexpr int kLines = 300000;
    double s = EnabledCalls(1, kLines);
    std::printf("enabled LOG_INFO into the rolling file store, 1 thread: %8.0f lines/s\n", kLines / s);
    logger->RemoveStore(file.Get());
    file.Reset();
    RemoveDirectoryTree(pattern);
  }

  DroppedCalls();
  FormatLine();
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  return g_sink.load() == 0 ? 1 : 0;
}
