// Hand-run figures for the rolling log file store and its neighbours:
//   - enabled log lines per second written to the file store (directly, and
//     through the logger from 1 and 4 threads);
//   - the cost of a line the rate limit drops;
//   - a store whose folder is missing (5 failed opens and a scan per line);
//   - queued calls per second through Execute + ProcessQueue, 1 and 4
//     producers;
//   - a flow-control "send" fast-log record: plain fields versus building
//     its BSON document each time.
// Files go to a temporary folder that is removed afterwards.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Directory.h"
#include "ExecutionQueue.h"
#include "FastLog.h"
#include "FileStore.h"
#include "Logger.h"
#include "RefCount.h"
#include "Scheduler.h"

using namespace corvane;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void BenchStoreDirect(const std::string& dir) {
  RefPtr<ILogStore> store;
  CreateFileStore("Bench", dir, 0xA00000, store.Receive());
  const std::string message = "Connection 2783ffd0-7ec7-11e2-9e96-0800200c9a66 accepted from 192.168.1.20:50123";
  constexpr int kLines = 200000;
  auto start = Clock::now();
  for (int i = 0; i < kLines; ++i) {
    store->Write(Log_Information, "Common/Transport/Src/NetworkTransport.cpp", "corvane::NetworkTransportImpl::Accept",
                 0, 1234, 321, message);
  }
  double s = Seconds(start);
  printf("file store, direct Write, 1 thread:      %10.0f lines/s (%.2f us/line, rollovers included)\n",
         kLines / s, s * 1e6 / kLines);
}

void BenchThroughLogger(const std::string& dir, int threads) {
  RefPtr<ILogger> logger;
  GetLogger(logger.Receive());
  RefPtr<ILogStore> store;
  CreateFileStore("Logged" + std::to_string(threads), dir, 0xA00000, store.Receive());
  logger->AddStore(store.Get());
  constexpr int kLinesPerThread = 100000;
  auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        // The rate limit is bypassed so that every line is written.
        LogRecord record(Log_Information, 0, __FILE__, __LINE__, __PRETTY_FUNCTION__, true);
        if (record.IsEnabled()) record.Print("line %d of a benchmark with some text", i);
      }
    });
  }
  for (auto& w : workers) w.join();
  double s = Seconds(start);
  logger->RemoveStore(store.Get());
  const double lines = static_cast<double>(kLinesPerThread) * threads;
  printf("logger -> file store, %d thread(s):       %10.0f lines/s (%.2f us/line)\n", threads, lines / s,
         s * 1e6 / lines);
}

void BenchRateLimited(const std::string& dir) {
  RefPtr<ILogger> logger;
  GetLogger(logger.Receive());
  RefPtr<ILogStore> store;
  CreateFileStore("Limited", dir, 0xA00000, store.Receive());
  logger->AddStore(store.Get());
  constexpr int kLines = 1000000;
  // The first lines of the place are written; the rest are dropped.
  for (int i = 0; i < 10; ++i) LOG_INFO("repeated line %d", i);
  auto start = Clock::now();
  for (int i = 0; i < kLines; ++i) LOG_INFO("repeated line %d", i);
  double s = Seconds(start);
  logger->RemoveStore(store.Get());
  printf("rate-limited (dropped) line:             %10.1f ns/line\n", s * 1e9 / kLines);
}

void BenchMissingFolder(const std::string& dir) {
  RefPtr<ILogStore> store;
  CreateFileStore("Missing", dir + "/does-not-exist/", 0xA00000, store.Receive());
  constexpr int kLines = 20000;
  auto start = Clock::now();
  for (int i = 0; i < kLines; ++i) store->Write(Log_Severe, "f.cpp", "fn", 0, 1, 1, "lost line");
  double s = Seconds(start);
  printf("file store, missing folder:              %10.2f us/line (lost)\n", s * 1e6 / kLines);
}

class NullStub : public ExecutionQueue::IStub {
 public:
  int ExecuteStub(const UUID&, int, IRefCount*, IRefCount*) override {
    ++calls;
    return 0;
  }
  uint64_t calls = 0;
};

class Arg : public IRefCountImpl {};

void BenchExecutionQueue(int producers) {
  ExecutionQueue queue;
  NullStub stub;
  UUID id;
  queue.AddStub(id, &stub);
  constexpr int kPerProducer = 500000;
  std::atomic<int> running{producers};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&] {
      RefPtr<IRefCount> arg(new Arg, false);
      for (int i = 0; i < kPerProducer; ++i) queue.Execute(id, i, arg.Get(), nullptr, 0, nullptr);
      --running;
    });
  }
  while (running.load() > 0) queue.ProcessQueue();
  for (auto& t : threads) t.join();
  queue.ProcessQueue();
  double s = Seconds(start);
  printf("queued calls, %d producer(s):             %10.0f items/s (%llu run)\n", producers,
         static_cast<double>(stub.calls) / s, static_cast<unsigned long long>(stub.calls));
}

void BenchFastLogSend() {
  constexpr int kRecords = 1000000;
  auto start = Clock::now();
  for (int i = 0; i < kRecords; ++i) {
    auto* send = new FastLog::Send;
    send->ip = 0x0A000001;
    send->port = 53200;
    send->bytes = i;
    send->fcDelayMs = 0.5;
    send->netDelayMs = 0.25;
    send->epochMs = 1796634303007;
    FastLog::Post(send);
  }
  double plain = Seconds(start);
  start = Clock::now();
  for (int i = 0; i < kRecords; ++i) {
    FastLog::Send send;
    send.bytes = i;
    minibson::document doc;
    send.ToDocument(&doc);
    std::vector<uint8_t> bytes(doc.GetSerializedSize());
    doc.Serialize(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  double bson = Seconds(start);
  printf("fast-log send record, plain fields:      %10.1f ns/record\n", plain * 1e9 / kRecords);
  printf("fast-log send record, BSON built:        %10.1f ns/record\n", bson * 1e9 / kRecords);
}

}  // namespace

int main() {
  char templ[] = "/tmp/logfiles-bench-XXXXXX";
  if (mkdtemp(templ) == nullptr) return 1;
  const std::string dir = templ;
  BenchStoreDirect(dir);
  BenchThroughLogger(dir, 1);
  BenchThroughLogger(dir, 4);
  BenchRateLimited(dir);
  BenchMissingFolder(dir);
  BenchExecutionQueue(1);
  BenchExecutionQueue(4);
  BenchFastLogSend();
  RemoveDirectoryTree(dir);
  return 0;
}
