#include "Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../Src/LoggerImpl.h"
#include "RefCount.h"
#include "Result.h"
#include "Scheduler.h"
#include "TestLogCapture.h"

namespace corvane {

struct CapturedLine {
  uint32_t flags;
  std::string file;
  std::string function;
  int64_t timeMs;
  uint32_t threadId;
  int line;
  std::string message;
};

// A store that keeps every line it is given.
class CapturingStore : public ILogStore, public IRefCountImpl {
 public:
  explicit CapturingStore(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}
  void Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t timeMs,
             uint32_t threadId, int line, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(CapturedLine{levelFlags, file, function, timeMs, threadId, line, message});
  }
  std::vector<CapturedLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<CapturedLine> LinesOf(uint32_t threadId) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CapturedLine> out;
    for (const auto& l : lines_) {
      if (l.threadId == threadId) out.push_back(l);
    }
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 protected:
  ~CapturingStore() override {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }

 private:
  std::mutex mutex_;
  std::vector<CapturedLine> lines_;
  std::atomic<int>* destroyed_;
};

namespace logtest {

// Named functions so that the qualified name is known.
void EmitRepeated() { LOG_SEVERE("repeated line"); }

int EmitInfo(int value) {
  LOG_INFO("value %d\tand\r\nraw", value);
  return __LINE__ - 1;
}

int FailWith(int result) {
  LOG_RECORD(record, Log_Information, 0);
  return record.ReturnResult(result, "while %s", "testing");
}

int FailWithoutText(int result) {
  LOG_RECORD(record, Log_Information, 0);
  return record.ReturnResult(result);
}

void LogFromOnePlace(int i) { LOG_WARNING("repeated %d", i); }

}  // namespace logtest

namespace {

DefaultScheduler* Sched() { return GetDefaultScheduler(); }

bool IsWarning(const CapturedLine& l) { return l.message.rfind("WARNING -- ", 0) == 0; }

size_t CountWarnings(const std::vector<CapturedLine>& lines) {
  size_t n = 0;
  for (const auto& l : lines) n += IsWarning(l) ? 1 : 0;
  return n;
}

// Fixture for the process logger: one capturing store, default mask and
// level; all restored afterwards. The process logger keeps its rate-limit
// places for ever, so each test runs a day after the previous one: places a
// repeated run reuses start with aged-out windows.
class ProcessLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int64_t day = 0;
    Sched()->SetTestTimeOffsetMs(++day * 86400000LL);
    ASSERT_EQ(GetLogger(logger_.Receive()), Result_Ok);
    store_ = RefPtr<CapturingStore>(new CapturingStore(), false);
    logger_->AddStore(store_.Get());
    logger_->SetMask(Log_All);
    logger_->SetLevel(0);
  }
  void TearDown() override {
    logger_->RemoveStore(store_.Get());
    logger_->SetMask(Log_All);
    logger_->SetLevel(0);
    Sched()->SetTestTimeOffsetMs(0);
  }
  RefPtr<ILogger> logger_;
  RefPtr<CapturingStore> store_;
};

// Fixture with a logger of its own, so that rate-limit places and the place
// bound start empty.
class RateLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_ = RefPtr<Logger>(new Logger(), false);
    store_ = RefPtr<CapturingStore>(new CapturingStore(), false);
    logger_->AddStore(store_.Get());
  }
  void TearDown() override { Sched()->SetTestTimeOffsetMs(0); }

  void Log(uint32_t threadId, int line, const std::string& text = "msg", const std::string& file = "File.cpp") {
    logger_->Write(Log_Warning, file, "corvane::Fn", 1234, threadId, line, text, false);
  }
  // Messages and warnings the store received, from the given count on.
  size_t Messages() { return store_->Lines().size() - CountWarnings(store_->Lines()); }

  RefPtr<Logger> logger_;
  RefPtr<CapturingStore> store_;
};

TEST(LogLabelsTest, LabelsAreExactAndFifteenCharacters) {
  EXPECT_STREQ(LogFlagLabel(Log_Config), "* Config      *");
  EXPECT_STREQ(LogFlagLabel(Log_Information), "* Information *");
  EXPECT_STREQ(LogFlagLabel(Log_Warning), "* Warning     *");
  EXPECT_STREQ(LogFlagLabel(Log_Severe), "* Severe      *");
  EXPECT_STREQ(LogFlagLabel(Log_Spew), "* Spew        *");
  EXPECT_STREQ(LogFlagLabel(Log_All), "* All         *");
  EXPECT_STREQ(LogFlagLabel(3), "");
  for (uint32_t f : {1u, 2u, 4u, 8u, 16u, 0xFFFFFFFFu}) EXPECT_EQ(std::strlen(LogFlagLabel(f)), 15u);
  EXPECT_EQ(Log_Config, 1u);
  EXPECT_EQ(Log_Information, 2u);
  EXPECT_EQ(Log_Warning, 4u);
  EXPECT_EQ(Log_Severe, 8u);
  EXPECT_EQ(Log_Spew, 16u);
}

TEST(LoggerConfigTest, MaskAndLevelDecideWhatIsEnabled) {
  RefPtr<Logger> logger(new Logger(), false);
  uint32_t v = 0;
  logger->GetMask(&v);
  EXPECT_EQ(v, 0xFFFFFFFFu);
  logger->GetLevel(&v);
  EXPECT_EQ(v, 0u);

  bool on = true;
  logger->IsEnabled(Log_Spew, 1, &on);
  EXPECT_FALSE(on);
  logger->SetLevel(1);
  logger->IsEnabled(Log_Spew, 1, &on);
  EXPECT_TRUE(on);
  logger->IsEnabled(Log_Spew, 2, &on);
  EXPECT_FALSE(on);
  // Verbosity is compared unsigned.
  logger->IsEnabled(Log_Severe, 0xFFFFFFFFu, &on);
  EXPECT_FALSE(on);

  logger->SetMask(0x0A);
  for (uint32_t f : {1u, 2u, 4u, 8u, 16u}) {
    logger->IsEnabled(f, 0, &on);
    EXPECT_EQ(on, f == Log_Information || f == Log_Severe) << f;
  }
  // A flag set only partly inside the mask is not enabled.
  logger->IsEnabled(Log_Information | Log_Warning, 0, &on);
  EXPECT_FALSE(on);
  EXPECT_EQ(logger->IsEnabled(Log_Severe, 0, nullptr), Result_InvalidPointer);
}

TEST(LoggerConfigTest, StoresAreKeptOnceEachAndReleasedOnRemoval) {
  RefPtr<Logger> logger(new Logger(), false);
  std::atomic<int> destroyed{0};
  RefPtr<CapturingStore> a(new CapturingStore(&destroyed), false);
  RefPtr<CapturingStore> b(new CapturingStore(&destroyed), false);
  logger->AddStore(a.Get());
  logger->AddStore(b.Get());
  logger->AddStore(a.Get());  // moves a behind b, still one entry
  EXPECT_EQ(a->GetRefCount(), 2);
  logger->Write(Log_Severe, "f", "g", 1, 2, 3, "once", true);
  EXPECT_EQ(a->Lines().size(), 1u);
  EXPECT_EQ(b->Lines().size(), 1u);

  EXPECT_EQ(logger->RemoveStore(a.Get()), Result_Ok);
  EXPECT_EQ(a->GetRefCount(), 1);
  EXPECT_EQ(logger->RemoveStore(a.Get()), Result_Ok);  // absent: still 0
  logger->Write(Log_Severe, "f", "g", 1, 2, 3, "twice", true);
  EXPECT_EQ(a->Lines().size(), 1u);
  EXPECT_EQ(b->Lines().size(), 2u);
  a.Reset();
  EXPECT_EQ(destroyed.load(), 1);
  // The logger's reference keeps b alive until the logger goes.
  b.Reset();
  EXPECT_EQ(destroyed.load(), 1);
  logger.Reset();
  EXPECT_EQ(destroyed.load(), 2);
}

TEST_F(ProcessLoggerTest, GetLoggerGivesTheOneImmortalInstance) {
  ILogger* raw = nullptr;
  ASSERT_EQ(GetLogger(&raw), Result_Ok);
  EXPECT_EQ(raw, logger_.Get());
  EXPECT_EQ(raw, GetLoggerInstance());
  EXPECT_EQ(GetLogger(nullptr), Result_InvalidPointer);
  // Even an over-release does not destroy the process logger.
  int count = raw->GetRefCount();
  for (int i = 0; i < count + 2; ++i) raw->Release();
  for (int i = 0; i < count + 2; ++i) raw->AddRef();
  EXPECT_EQ(raw->GetRefCount(), count);
  raw->Release();

  std::vector<std::thread> threads;
  std::vector<ILogger*> seen(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = GetLoggerInstance(); });
  for (auto& t : threads) t.join();
  for (ILogger* p : seen) EXPECT_EQ(p, raw);
}

TEST_F(ProcessLoggerTest, ALineCarriesItsPlaceThreadAndTime) {
  const int64_t before = Sched()->GetLocalTimeMs();
  const int line = logtest::EmitInfo(42);
  const int64_t after = Sched()->GetLocalTimeMs();
  auto lines = store_->Lines();
  ASSERT_EQ(lines.size(), 1u);
  const CapturedLine& l = lines[0];
  EXPECT_EQ(l.flags, Log_Information);
  EXPECT_EQ(l.file, "Common/Platform/Tests/LoggerTest");  // tree-relative, no extension
  EXPECT_EQ(l.function, "corvane::logtest::EmitInfo");
  EXPECT_EQ(l.line, line);
  EXPECT_EQ(l.threadId, Sched()->GetCurrentThreadId());
  EXPECT_GE(l.timeMs, before);
  EXPECT_LE(l.timeMs, after);
  // Tabs and line ends inside a message pass unchanged.
  EXPECT_EQ(l.message, "value 42\tand\r\nraw");
}

TEST_F(ProcessLoggerTest, ADisabledLineFormatsNothing) {
  int evaluated = 0;
  auto count = [&evaluated] { return ++evaluated; };
  LOG_SPEW(1, "spew %d", count());
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(store_->Lines().empty());

  logger_->SetLevel(1);
  LOG_SPEW(1, "spew %d", count());
  EXPECT_EQ(evaluated, 1);
  ASSERT_EQ(store_->Lines().size(), 1u);
  EXPECT_EQ(store_->Lines()[0].flags, Log_Spew);
  EXPECT_EQ(store_->Lines()[0].message, "spew 1");

  store_->Clear();
  logger_->SetMask(Log_Information | Log_Severe);
  LOG_CONFIG("c");
  LOG_WARNING("w");
  LOG_SPEW(0, "s");
  LOG_INFO("i");
  LOG_SEVERE("e");
  auto lines = store_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "i");
  EXPECT_EQ(lines[1].message, "e");
  EXPECT_EQ(lines[1].flags, Log_Severe);
}

TEST_F(ProcessLoggerTest, ReturnResultWritesTheResultAndReturnsIt) {
  logger_->SetLevel(2);
  // Success is Spew at verbosity 3: above level 2, nothing written.
  EXPECT_EQ(logtest::FailWith(0), 0);
  EXPECT_TRUE(store_->Lines().empty());

  EXPECT_EQ(logtest::FailWith(Result_InvalidArgument), Result_InvalidArgument);
  EXPECT_EQ(logtest::FailWithoutText(Result_Fail), Result_Fail);
  auto lines = store_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].flags, Log_Severe);
  EXPECT_EQ(lines[0].message, "RETURN Result: 0x80000003 - while testing");
  EXPECT_EQ(lines[0].function, "corvane::logtest::FailWith");
  EXPECT_EQ(lines[1].message, "RETURN Result: 0x80000000 - ");

  store_->Clear();
  logger_->SetLevel(3);
  EXPECT_EQ(logtest::FailWith(0x1F), 0x1F);
  EXPECT_EQ(logtest::FailWithoutText(0), 0);
  lines = store_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].flags, Log_Spew);
  EXPECT_EQ(lines[0].message, "RETURN Result: 0x1f - while testing");
  EXPECT_EQ(lines[1].message, "RETURN Result: 0x0 - ");
}

TEST_F(ProcessLoggerTest, ReturnResultKeepsTheSwitchedLevel) {
  logger_->SetLevel(3);
  LOG_RECORD(record, Log_Spew, 1);
  record.ReturnResult(-1);
  // Severe keeps the record's own verbosity (1), now enabled at level 3.
  EXPECT_TRUE(record.IsEnabled());
  logger_->SetLevel(0);
  LOG_RECORD(hidden, Log_Spew, 1);
  // A failure on a verbosity-1 record stays hidden at level 0.
  EXPECT_EQ(hidden.ReturnResult(Result_Fail, "x"), Result_Fail);
  EXPECT_FALSE(hidden.IsEnabled());
  EXPECT_EQ(store_->Lines().size(), 1u);
}

TEST(QualifiedFunctionNameTest, ReducesCompilerSignaturesToQualifiedNames) {
  struct Case {
    const char* pretty;
    const char* name;
  } cases[] = {
      {"void corvane::{anonymous}::A::f() const", "corvane::{anonymous}::A::f"},
      {"corvane::{anonymous}::A::A()", "corvane::{anonymous}::A::A"},
      {"corvane::{anonymous}::A::~A()", "corvane::{anonymous}::A::~A"},
      {"static int corvane::A::s(int)", "corvane::A::s"},
      {"virtual void corvane::A::v()", "corvane::A::v"},
      {"bool corvane::A::operator()(int)", "corvane::A::operator()"},
      {"bool corvane::A::operator<(const corvane::A&) const", "corvane::A::operator<"},
      {"corvane::A& corvane::A::operator<<(int)", "corvane::A::operator<<"},
      {"void corvane::A::operator->*(int)", "corvane::A::operator->*"},
      {"corvane::A::operator bool() const", "corvane::A::operator bool"},
      {"std::map<int, std::vector<T> > corvane::A::t(T) [with T = double]", "corvane::A::t"},
      {"void corvane::B<T>::g() [with T = std::vector<int>]", "corvane::B<T>::g"},
      {"int (* corvane::A::fp(int))(int)", "corvane::A::fp"},
      {"corvane::A::l()::<lambda(int)>", "corvane::A::l"},
      {"std::string corvane::FormatString(const char*, ...)", "corvane::FormatString"},
      {"void corvane::A::r() &&", "corvane::A::r"},
      {"int main()", "main"},
      {"corvane::CreateFileStore", "corvane::CreateFileStore"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(QualifiedFunctionName(c.pretty), c.name) << c.pretty;
  EXPECT_EQ(QualifiedFunctionName(nullptr), "");
  // And what this compiler really produces.
  EXPECT_EQ(QualifiedFunctionName(__PRETTY_FUNCTION__).find("TestBody"),
            QualifiedFunctionName(__PRETTY_FUNCTION__).size() - 8);
}

TEST(StatisticTest, ReportsGoToTheCallbackOnlyWhenSet) {
  static std::string lastName;
  static double lastValue = 0;
  ReportStatistic(1, "ignored", 1.0);  // no callback: nothing happens
  SetStatisticCallback([](int64_t, const std::string& name, double value) {
    lastName = name;
    lastValue = value;
  });
  ReportStatistic(7, "latency", 2.5);
  SetStatisticCallback(nullptr);
  ReportStatistic(7, "after", 9.0);
  EXPECT_EQ(lastName, "latency");
  EXPECT_EQ(lastValue, 2.5);
}

TEST_F(RateLimitTest, SixthMessageBringsTheWarningThenAMinuteOfSilence) {
  for (int i = 1; i <= 6; ++i) Log(1, 10, "m" + std::to_string(i));
  auto lines = store_->Lines();
  ASSERT_EQ(lines.size(), 7u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(lines[i].message, "m" + std::to_string(i + 1));
  const CapturedLine& w = lines[6];
  EXPECT_EQ(w.message,
            "WARNING -- The above log message has been detected 5 times in one second and will be suspended for 1 "
            "minute");
  // The warning repeats the message's place, time and thread.
  EXPECT_EQ(w.flags, Log_Warning);
  EXPECT_EQ(w.file, "File.cpp");
  EXPECT_EQ(w.function, "corvane::Fn");
  EXPECT_EQ(w.timeMs, 1234);
  EXPECT_EQ(w.threadId, 1u);
  EXPECT_EQ(w.line, 10);

  Log(1, 10, "dropped");
  Sched()->AdvanceTestTimeMs(50000);
  Log(1, 10, "still dropped");
  // Another place, and the same place bypassing the limit, are unaffected.
  Log(1, 11, "other line");
  Log(2, 10, "other thread");
  logger_->Write(Log_Severe, "File.cpp", "corvane::Fn", 1, 1, 10, "bypass", true);
  Sched()->AdvanceTestTimeMs(10000);
  Log(1, 10, "back");
  lines = store_->Lines();
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[7].message, "other line");
  EXPECT_EQ(lines[8].message, "other thread");
  EXPECT_EQ(lines[9].message, "bypass");
  EXPECT_EQ(lines[10].message, "back");
}

TEST_F(RateLimitTest, StampsOlderThanFiveSecondsAgeOut) {
  // Five-second spacing: the short window never holds more than one stamp.
  for (int i = 0; i < 40; ++i) {
    Log(1, 20);
    Sched()->AdvanceTestTimeMs(5000);
  }
  EXPECT_EQ(store_->Lines().size(), 40u);
  // Four in a burst, then a pause, then four more: never five in a window.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 4; ++i) Log(1, 21);
    Sched()->AdvanceTestTimeMs(5000);
  }
  EXPECT_EQ(CountWarnings(store_->Lines()), 0u);
}

// With a clock that only moves forward the long rule can never fire first:
// at most 4 stamps per 5000 ms make at most 48 per minute. It is reached
// when a stamp from the future (the clock stepped back) holds the long
// window open while the short window ages normally.
TEST_F(RateLimitTest, LongRuleSuspendsForTenMinutes) {
  const int line = 30;
  Log(1, line);  // makes the record
  Sched()->SetTestTimeOffsetMs(10LL * 3600 * 1000);
  Log(1, line);  // a stamp ten hours ahead
  Sched()->SetTestTimeOffsetMs(0);
  for (int i = 0; i < 4; ++i) {
    Log(1, line);
    Sched()->AdvanceTestTimeMs(5000);
  }
  // The future stamp never ages, so it helped fill the short window.
  EXPECT_EQ(CountWarnings(store_->Lines()), 1u);
  Sched()->AdvanceTestTimeMs(60000);
  store_->Clear();
  // Spaced messages: the short window holds one stamp, the long one grows to
  // 50 and the 45th message brings the ten-minute warning.
  for (int i = 0; i < 45; ++i) {
    Log(1, line, "n" + std::to_string(i));
    Sched()->AdvanceTestTimeMs(5000);
  }
  auto lines = store_->Lines();
  ASSERT_EQ(lines.size(), 46u);
  EXPECT_EQ(lines[44].message, "n44");
  EXPECT_EQ(lines[45].message,
            "WARNING -- The above log message has been detected 50 times in the last minute and will be suspended "
            "for 10 minutes");
  Sched()->AdvanceTestTimeMs(500000);
  Log(1, line, "dropped");
  Sched()->AdvanceTestTimeMs(100000);
  Log(1, line, "back");
  lines = store_->Lines();
  ASSERT_EQ(lines.size(), 47u);
  EXPECT_EQ(lines[46].message, "back");
}

TEST_F(RateLimitTest, AMessageMeetingBothRulesGetsOnlyTheShortWarning) {
  const int line = 40;
  Log(1, line);
  Sched()->SetTestTimeOffsetMs(10LL * 3600 * 1000);
  Log(1, line);
  Sched()->SetTestTimeOffsetMs(0);
  for (int i = 0; i < 4; ++i) {
    Log(1, line);
    Sched()->AdvanceTestTimeMs(5000);
  }
  Sched()->AdvanceTestTimeMs(60000);
  // Long window: future stamp + 4 + 40 spaced = 45, then a burst of 5 takes
  // it to 50 just as the short window reaches 5.
  for (int i = 0; i < 40; ++i) {
    Log(1, line);
    Sched()->AdvanceTestTimeMs(5000);
  }
  store_->Clear();
  for (int i = 0; i < 5; ++i) Log(1, line, "burst");
  auto lines = store_->Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5].message,
            "WARNING -- The above log message has been detected 5 times in one second and will be suspended for 1 "
            "minute");
  // One minute, not ten.
  Sched()->AdvanceTestTimeMs(60000);
  Log(1, line, "back");
  EXPECT_EQ(store_->Lines().back().message, "back");
}

TEST_F(RateLimitTest, ABackwardClockStepDoesNotSilenceAPlaceForTheStep) {
  for (int i = 0; i < 6; ++i) Log(1, 50);
  ASSERT_EQ(CountWarnings(store_->Lines()), 1u);
  Log(1, 50, "dropped");
  // An hour back: the suspension would otherwise last an hour and a minute.
  Sched()->SetTestTimeOffsetMs(-3600LL * 1000);
  Log(1, 50, "written");
  auto lines = store_->Lines();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[7].message, "written");
}

TEST_F(RateLimitTest, OneKeyFromManyThreadsAdmitsExactlySix) {
  // Writers that share a thread id share a place; the place's windows are
  // only touched under the lock, so exactly six get through.
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 200; ++i) Log(777, 60);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(Messages(), 6u);
  EXPECT_EQ(CountWarnings(store_->Lines()), 1u);
}

TEST_F(RateLimitTest, ThePlaceBoundHoldsUnderConcurrentInserts) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1500;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) Log(static_cast<uint32_t>(t), i);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(logger_->GetPlaceCount(), Logger::kMaxPlaces);
  // Every first message was written.
  EXPECT_EQ(store_->Lines().size(), static_cast<size_t>(kThreads * kPerThread));

  // A new place beyond the bound is written every time, never limited.
  store_->Clear();
  for (int i = 0; i < 20; ++i) Log(99, 1, "untracked");
  EXPECT_EQ(store_->Lines().size(), 20u);
  EXPECT_EQ(logger_->GetPlaceCount(), Logger::kMaxPlaces);
}

TEST_F(RateLimitTest, StoresComeAndGoWhileOtherThreadsWrite) {
  std::atomic<bool> stop{false};
  std::atomic<int> destroyed{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      while (!stop.load()) logger_->Write(Log_Information, "f", "g", 0, 5, 1, "line", true);
    });
  }
  for (int i = 0; i < 300; ++i) {
    RefPtr<CapturingStore> s(new CapturingStore(&destroyed), false);
    logger_->AddStore(s.Get());
    logger_->RemoveStore(s.Get());
  }
  stop.store(true);
  for (auto& t : writers) t.join();
  EXPECT_EQ(destroyed.load(), 300);
}

TEST_F(ProcessLoggerTest, ManyThreadsFromOnePlaceAreLimitedPerThread) {
  constexpr int kThreads = 8;
  std::barrier sync(kThreads + 1);
  std::vector<uint32_t> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ids[t] = Sched()->GetCurrentThreadId();
      for (int i = 0; i < 20; ++i) logtest::LogFromOnePlace(i);
      sync.arrive_and_wait();  // phase 1 done
      sync.arrive_and_wait();  // clock moved within the suspension
      logtest::LogFromOnePlace(100);
      sync.arrive_and_wait();
      sync.arrive_and_wait();  // clock moved past the suspension
      logtest::LogFromOnePlace(200);
    });
  }
  sync.arrive_and_wait();
  Sched()->AdvanceTestTimeMs(50000);
  sync.arrive_and_wait();
  sync.arrive_and_wait();
  Sched()->AdvanceTestTimeMs(10000);
  sync.arrive_and_wait();
  for (auto& t : threads) t.join();

  for (uint32_t id : ids) {
    auto lines = store_->LinesOf(id);
    ASSERT_EQ(lines.size(), 8u) << id;
    for (int i = 0; i < 6; ++i) EXPECT_EQ(lines[i].message, "repeated " + std::to_string(i));
    EXPECT_TRUE(IsWarning(lines[6]));
    EXPECT_EQ(lines[7].message, "repeated 200");
    EXPECT_EQ(lines[7].function, "corvane::logtest::LogFromOnePlace");
  }
}

// A capture starts the rate limiter afresh: a line this thread flooded
// before (a pooled thread carries that from test to test) is written again.
TEST(ScopedCaptureTest, StartsTheRateLimiterAfresh) {
  {
    test::ScopedCapture first;
    for (int i = 0; i < 8; ++i) logtest::EmitRepeated();
    ASSERT_TRUE(first->Contains("will be suspended"));
  }
  test::ScopedCapture second;
  logtest::EmitRepeated();
  EXPECT_TRUE(second->Contains("repeated line"));
}

}  // namespace
}  // namespace corvane
