#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CpuUsage.h"
#include "FastLog.h"
#include "Logger.h"
#include "PerformanceTimer.h"
#include "RefCount.h"
#include "Result.h"
#include "Scheduler.h"

namespace corvane {
namespace {

struct Captured {
  uint32_t levelFlags;
  std::string file;
  std::string function;
  int line;
  std::string message;
};

class CaptureStore : public ILogStore, public IRefCountImpl {
 public:
  void Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t, uint32_t, int line,
             const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({levelFlags, file, function, line, message});
  }
  std::vector<Captured> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<Captured> lines_;
};

struct Statistic {
  int64_t source;
  std::string name;
  double value;
};
std::vector<Statistic> g_statistics;
void CollectStatistic(int64_t source, const std::string& name, double value) {
  g_statistics.push_back({source, name, value});
}

class PerformanceTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetLogger(logger_.Receive()), 0);
    capture_.Attach(new CaptureStore);
    logger_->AddStore(capture_.Get());
    logger_->GetLevel(&oldLevel_);
    // Every timer line comes from one place; moving the clock on past any
    // suspension keeps the rate limit out of these tests.
    GetDefaultScheduler()->AdvanceTestTimeMs(700000);
    g_statistics.clear();
  }
  void TearDown() override {
    SetStatisticCallback(nullptr);
    logger_->SetLevel(oldLevel_);
    logger_->RemoveStore(capture_.Get());
  }
  RefPtr<ILogger> logger_;
  RefPtr<CaptureStore> capture_;
  uint32_t oldLevel_ = 0;
};

TEST_F(PerformanceTimerTest, SummaryEveryPeriodCoversOnlyItsOwnSamples) {
  LogPerformanceTimer timer("Connection TImer", 3, 0, false, true);
  SetStatisticCallback(CollectStatistic);
  for (double ms : {1.0, 2.0, 3.0, 10.0, 40.0}) timer.AddSample(ms);
  EXPECT_EQ(capture_->Lines().size(), 1u);
  timer.AddSample(20.0);
  timer.Start();  // the destructor's End adds a seventh sample, no line

  auto lines = capture_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "Connection TImer 2.000000 AVG - 1.000000 MIN - 3.000000 MAX");
  EXPECT_EQ(lines[1].message, "Connection TImer 23.333333 AVG - 10.000000 MIN - 40.000000 MAX");
  EXPECT_EQ(lines[0].levelFlags, static_cast<uint32_t>(Log_Information));
  EXPECT_EQ(lines[0].file, "Common/Logger/Src/Logger");
  EXPECT_EQ(lines[0].line, 603);
  EXPECT_EQ(lines[0].function, "LogPerformanceTimer::Log");
  EXPECT_EQ(timer.SampleNumber(), 6u);
  EXPECT_TRUE(g_statistics.empty()) << "statistics period 0 reports nothing";
}

TEST_F(PerformanceTimerTest, StatisticsWindowReportsAndResets) {
  SetStatisticCallback(CollectStatistic);
  LogPerformanceTimer timer("t", 0, 2, false, true);
  for (double ms : {4.0, 2.0, 7.0}) timer.AddSample(ms);
  ASSERT_EQ(g_statistics.size(), 3u);
  const int64_t source = static_cast<int64_t>(reinterpret_cast<intptr_t>(&timer));
  EXPECT_EQ(g_statistics[0].source, source);
  EXPECT_EQ(g_statistics[0].name, "t: average (ms)");
  EXPECT_DOUBLE_EQ(g_statistics[0].value, 3.0);
  EXPECT_EQ(g_statistics[1].name, "t: minimum (ms)");
  EXPECT_DOUBLE_EQ(g_statistics[1].value, 2.0);
  EXPECT_EQ(g_statistics[2].name, "t: maximum (ms)");
  EXPECT_DOUBLE_EQ(g_statistics[2].value, 4.0);
  timer.AddSample(1.0);
  ASSERT_EQ(g_statistics.size(), 6u);
  EXPECT_DOUBLE_EQ(g_statistics[3].value, 4.0);
  EXPECT_DOUBLE_EQ(g_statistics[4].value, 1.0) << "the minimum restarts with each window";
  EXPECT_DOUBLE_EQ(g_statistics[5].value, 7.0);
  EXPECT_TRUE(capture_->Lines().empty()) << "log period 0 writes no summary";
}

TEST_F(PerformanceTimerTest, StartAndEndLinesTakeTheNameAsText) {
  logger_->SetLevel(1);
  {
    LogPerformanceTimer timer("50%s%n%d", 0, 0, true, false);
    timer.Start();
    timer.End();
    EXPECT_EQ(timer.SampleNumber(), 1u);
  }
  auto lines = capture_->Lines();
  ASSERT_EQ(lines.size(), 3u);  // the destructor's End writes too
  EXPECT_EQ(lines[0].levelFlags, static_cast<uint32_t>(Log_Spew));
  EXPECT_EQ(lines[0].message, "50%s%n%d START TIMESTAMP - Number 0 - Time 0.00 ");
  EXPECT_EQ(lines[1].message.rfind("50%s%n%d END TIMESTAMP - Number 0 - Time ", 0), 0u) << lines[1].message;
  EXPECT_EQ(lines[2].message.rfind("50%s%n%d END TIMESTAMP - Number 1 - Time ", 0), 0u) << lines[2].message;
}

TEST_F(PerformanceTimerTest, SpewTimerIsSilentAtLevelZero) {
  LogPerformanceTimer timer("quiet", 1, 0, true, false);
  timer.Start();
  timer.End();
  EXPECT_TRUE(capture_->Lines().empty());
}

TEST(FastLogTest, PostWithoutWriterDeletesTheRecord) {
  struct Probe : FastLog::Message {
    explicit Probe(int* deleted) : deleted_(deleted) {}
    ~Probe() override { ++*deleted_; }
    void ToDocument(minibson::document*) const override {}
    int* deleted_;
  };
  int deleted = 0;
  EXPECT_EQ(FastLog::Post(new Probe(&deleted)), Result_Fail);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(FastLog::Post(nullptr), Result_Fail);
}

TEST(FastLogTest, SendRecordBuildsItsDocumentOnlyWhenAsked) {
  FastLog::Send send;
  send.ip = 0x0A000001;
  send.port = 53200;
  send.bytes = 9;
  send.fcDelayMs = 1.5;
  send.netDelayMs = 0.25;
  send.epochMs = 1796634303007;
  minibson::document doc;
  send.ToDocument(&doc);
  std::vector<std::string> keys;
  for (const auto& [key, value] : doc) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"bytes", "epoch", "fc-delay", "ip", "net-delay", "port", "type"}));
  std::vector<uint8_t> bytes(doc.GetSerializedSize());
  doc.Serialize(bytes.data(), static_cast<uint32_t>(bytes.size()));
  const uint8_t typeElement[] = {0x02, 't', 'y', 'p', 'e', 0, 5, 0, 0, 0, 's', 'e', 'n', 'd', 0, 0};
  ASSERT_GE(bytes.size(), sizeof(typeElement));
  EXPECT_TRUE(std::equal(std::end(typeElement) - sizeof(typeElement), std::end(typeElement),
                         bytes.end() - sizeof(typeElement)))
      << "the last element is type = \"send\", then the document's zero byte";
  const uint8_t bytesElement[] = {0x10, 'b', 'y', 't', 'e', 's', 0, 9, 0, 0, 0};
  EXPECT_TRUE(std::equal(std::begin(bytesElement), std::end(bytesElement), bytes.begin() + 4));
}

// A scripted source of processor times.
struct ScriptedTimes {
  std::vector<CpuTimes> samples;
  size_t next = 0;
  int reads = 0;
  bool fail = false;
  bool Read(CpuTimes* out) {
    ++reads;
    if (fail || next >= samples.size()) return false;
    *out = samples[next++];
    return true;
  }
};

CpuTimes Times(uint64_t sk, uint64_t su, uint64_t pk, uint64_t pu) { return CpuTimes{sk, su, pk, pu}; }

TEST(CpuUsageTest, SamplesAtMostEvery250Ms) {
  auto* scheduler = GetDefaultScheduler();
  ScriptedTimes script;
  script.samples = {Times(1000, 500, 10, 20), Times(1300, 600, 40, 90), Times(1300, 600, 50, 90),
                    Times(100, 600, 50, 90), Times(2300, 600, 850, 890)};
  CpuUsage usage([&](CpuTimes* out) { return script.Read(out); });

  EXPECT_EQ(usage.GetUsage(), -1) << "the first call only takes the first sample";
  EXPECT_EQ(script.reads, 1);
  // Real time runs on beneath the test offset, so the call within 250 ms
  // is the one made at once, with no offset added.
  EXPECT_EQ(usage.GetUsage(), -1) << "still within 250 ms";
  EXPECT_EQ(script.reads, 1);

  scheduler->AdvanceTestTimeMs(251);
  // (30 + 70) * 100 / (300 + 100)
  EXPECT_EQ(usage.GetUsage(), 25);
  EXPECT_EQ(usage.GetUsage(), 25);
  EXPECT_EQ(script.reads, 2);

  scheduler->AdvanceTestTimeMs(300);
  EXPECT_EQ(usage.GetUsage(), 25) << "no system time passed: the cached value";
  scheduler->AdvanceTestTimeMs(300);
  EXPECT_EQ(usage.GetUsage(), 25) << "counters going backwards are ignored";
  scheduler->AdvanceTestTimeMs(300);
  // (800 + 800) * 100 / 2200
  EXPECT_EQ(usage.GetUsage(), 72);
  script.fail = true;
  scheduler->AdvanceTestTimeMs(300);
  EXPECT_EQ(usage.GetUsage(), 72) << "a failed read keeps the cached value";
}

TEST(CpuUsageTest, OneCallerSamplesWhileOthersGetTheCachedValue) {
  std::unique_ptr<Scheduler::Event> inside(GetDefaultScheduler()->CreateEvent(true, false));
  std::unique_ptr<Scheduler::Event> release(GetDefaultScheduler()->CreateEvent(true, false));
  std::atomic<int> reads{0};
  CpuUsage usage([&](CpuTimes* out) {
    ++reads;
    inside->Set();
    release->Wait(30000);
    *out = Times(1, 1, 1, 1);
    return true;
  });
  std::thread sampler([&] { EXPECT_EQ(usage.GetUsage(), -1); });
  ASSERT_TRUE(inside->Wait(30000));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(usage.GetUsage(), -1);  // returns without waiting
  release->Set();
  sampler.join();
  EXPECT_EQ(reads.load(), 1);
}

TEST(CpuUsageTest, ProcParsers) {
  uint64_t kernel = 0, user = 0;
  ASSERT_TRUE(ParseProcStat("cpu  10 2 30 400 5 6 7 8 100 200\ncpu0 1 1 1 1 1 1 1 1 0 0\n", &kernel, &user));
  EXPECT_EQ(user, 12u);
  EXPECT_EQ(kernel, 30u + 400 + 5 + 6 + 7 + 8) << "guest time is already in user time";
  EXPECT_FALSE(ParseProcStat("cpu  10 2 30\n", &kernel, &user));
  EXPECT_FALSE(ParseProcStat("cpu0 1 2 3 4 5 6 7 8\n", &kernel, &user));
  EXPECT_FALSE(ParseProcStat("cpu  1 2 3 4 5 6 7 99999999999999999999999\n", &kernel, &user));
  EXPECT_FALSE(ParseProcStat("cpu  1 2 3 4 -5 6 7 8\n", &kernel, &user));
  EXPECT_FALSE(ParseProcStat("", &kernel, &user));

  // The command name may hold spaces and parentheses.
  const std::string stat = "1234 (a) b (c)) S 1 2 3 4 5 6 7 8 9 10 111 222 0 0 20 0 1 0";
  ASSERT_TRUE(ParseProcSelfStat(stat, &kernel, &user));
  EXPECT_EQ(user, 111u);
  EXPECT_EQ(kernel, 222u);
  EXPECT_FALSE(ParseProcSelfStat("1234 (x) S 1 2", &kernel, &user));
  EXPECT_FALSE(ParseProcSelfStat("no parenthesis", &kernel, &user));
  EXPECT_FALSE(ParseProcSelfStat("1 (x) S 1 2 3 4 5 6 7 8 9 10 1x 2", &kernel, &user));

  CpuTimes times;
  ASSERT_TRUE(ReadCpuTimes(&times));
  EXPECT_GT(times.systemKernel + times.systemUser, 0u);
}

TEST(CpuUsageTest, RealUsageStaysInRange) {
  CpuUsage usage;
  EXPECT_EQ(usage.GetUsage(), -1);
  GetDefaultScheduler()->AdvanceTestTimeMs(251);
  int16_t value = usage.GetUsage();
  EXPECT_GE(value, -1);
  EXPECT_LE(value, 100);
}

}  // namespace
}  // namespace corvane
