#include "CrashLog.h"

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Directory.h"
#include "Scheduler.h"
#include "TestDataRoot.h"

namespace corvane {
namespace {

class Tagged : public std::runtime_error {
 public:
  explicit Tagged(int tag) : std::runtime_error("tagged"), tag(tag) {}
  int tag;
};

// "MM/DD/YYYY HH:MM:SS.mmm" in shape (digits and separators).
bool IsTimestamp(const std::string& text) {
  const std::string shape = "00/00/0000 00:00:00.000";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '0' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
  }
  return true;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // a torn line shows up as such
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

class CrashLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.empty()); }
  std::string CrashLogText() const {
    std::ifstream in(root_ + "/Corvane/CrashLog.txt", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  test::TempDataRoot data_;
  std::string root_ = data_.Path();
};

TEST_F(CrashLogTest, PathIsInTheCompanyFolder) {
  EXPECT_EQ(CrashLogPath(), root_ + "/Corvane/CrashLog.txt");
  EXPECT_TRUE(IsDirectory(root_ + "/Corvane"));
}

TEST_F(CrashLogTest, RuntimeErrorLineAndTheSameObjectRethrown) {
  std::exception_ptr thrown = std::make_exception_ptr(Tagged(7));
  const void* original = nullptr;
  try {
    std::rethrow_exception(thrown);
  } catch (Tagged& e) {
    original = &e;
  }
  const int guardLine = __LINE__ + 2;
  try {
    CRASH_LOG_GUARD("corvane::Test::Op", [&] { std::rethrow_exception(thrown); });
    FAIL() << "the exception was swallowed";
  } catch (Tagged& e) {
    EXPECT_EQ(&e, original) << "the caller must receive the very same object";
    EXPECT_EQ(e.tag, 7);
  }
  auto lines = SplitCrLf(CrashLogText());
  ASSERT_EQ(lines.size(), 1u);
  std::string expectedTail = ": Std runtime error: tagged, File: " + std::string(__FILE__) +
                             " Line#:" + std::to_string(guardLine);
  ASSERT_GT(lines[0].size(), expectedTail.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - expectedTail.size()), expectedTail) << lines[0];
  EXPECT_GT(lines[0].find(": Std runtime error: "), 0u) << "a time comes first";
  EXPECT_EQ(CrashLogText().back(), '\n');
}

TEST_F(CrashLogTest, OtherStdExceptionLine) {
  EXPECT_THROW(CRASH_LOG_GUARD("f", [] { throw std::logic_error("bad logic"); }), std::logic_error);
  EXPECT_THROW(CRASH_LOG_GUARD("f", [] { throw std::bad_alloc(); }), std::bad_alloc);
  auto lines = SplitCrLf(CrashLogText());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(": Std Exception: bad logic, File: "), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(": Std Exception: std::bad_alloc, File: "), std::string::npos) << lines[1];
}

TEST_F(CrashLogTest, NonStandardThrowWritesCatchLine) {
  GetDefaultScheduler()->SetTestTimeOffsetMs(0);
  const int line1 = __LINE__ + 1;
  EXPECT_THROW(CRASH_LOG_GUARD("corvane::ExecutionQueue::AddStub", [] { throw 42; }), int);
  // A compiler signature is reduced to the qualified name.
  const int line2 = __LINE__ + 1;
  EXPECT_THROW(CRASH_LOG_GUARD("int corvane::Foo::Bar(int) const", [] { throw 'c'; }), char);
  auto lines = SplitCrLf(CrashLogText());
  ASSERT_EQ(lines.size(), 2u);
  const std::string tid = std::to_string(static_cast<int32_t>(CurrentThreadId()));
  ASSERT_GT(lines[0].size(), 23u);
  EXPECT_TRUE(IsTimestamp(lines[0].substr(0, 23))) << lines[0];
  EXPECT_EQ(lines[0].substr(23), "\t" + tid + "\tCRASH DUMP\tcorvane::ExecutionQueue::AddStub\tCATCH\t" +
                                     std::string(__FILE__) + "\t" + std::to_string(line1));
  EXPECT_NE(lines[1].find("\tCRASH DUMP\tcorvane::Foo::Bar\tCATCH\t"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\t" + std::to_string(line2)), std::string::npos) << lines[1];
}

TEST_F(CrashLogTest, BadCallerWritesBadUserMessageLine) {
  EXPECT_THROW(::corvane::CrashLogGuard(nullptr, "file.cpp", 17, [] { throw 1; }), int);
  auto lines = SplitCrLf(CrashLogText());
  ASSERT_EQ(lines.size(), 1u);
  ASSERT_GT(lines[0].size(), 23u);
  EXPECT_TRUE(IsTimestamp(lines[0].substr(0, 23))) << lines[0];
  const std::string tid = std::to_string(static_cast<int32_t>(CurrentThreadId()));
  EXPECT_EQ(lines[0].substr(23),
            "\t" + tid + "\tCRASH DUMP\t\t<bad user message - please check the caller>\tfile.cpp\t17");
}

TEST_F(CrashLogTest, MessageIsAnArgumentNotAFormat) {
  std::string huge(1 << 20, 'x');
  std::string odd = "50%s %n %% \r\n second\tline";
  EXPECT_THROW(CRASH_LOG_GUARD("f", [&] { throw std::runtime_error(odd); }), std::runtime_error);
  EXPECT_THROW(CRASH_LOG_GUARD("f", [&] { throw std::runtime_error(huge); }), std::runtime_error);
  std::string text = CrashLogText();
  EXPECT_NE(text.find(": Std runtime error: " + odd + ", File: "), std::string::npos);
  EXPECT_NE(text.find(": Std runtime error: " + huge + ", File: "), std::string::npos);
}

TEST_F(CrashLogTest, ValuesPassThroughAndNothingIsWrittenWithoutAnException) {
  int x = 5;
  int& ref = CRASH_LOG_GUARD("f", [&]() -> int& { return x; });
  EXPECT_EQ(&ref, &x);
  EXPECT_EQ(CRASH_LOG_GUARD("f", [] { return std::string("value"); }), "value");
  EXPECT_EQ(CrashLogText(), "");
}

TEST_F(CrashLogTest, UnwritableFolderStillRethrows) {
  // The data root is a file: no company folder can be made under it.
  std::string file = root_ + "/plain-file";
  std::ofstream(file) << "x";
  setenv("CORVANE_DATA_ROOT", file.c_str(), 1);
  EXPECT_THROW(CRASH_LOG_GUARD("f", [] { throw std::runtime_error("lost"); }), std::runtime_error);
  EXPECT_THROW(CRASH_LOG_GUARD("f", [] { throw 3; }), int);
  setenv("CORVANE_DATA_ROOT", root_.c_str(), 1);
  EXPECT_EQ(CrashLogText(), "");
}

TEST_F(CrashLogTest, DestructorFormRecordsWithoutRethrowing) {
  struct Owner {
    ~Owner() {
      CRASH_LOG_GUARD_NOTHROW("corvane::Owner::~Owner", [] { throw std::runtime_error("in destructor"); });
    }
  };
  EXPECT_NO_THROW({ Owner owner; });
  EXPECT_NE(CrashLogText().find(": Std runtime error: in destructor, File: "), std::string::npos);
}

TEST_F(CrashLogTest, ThreadCancellationLeavesNoLine) {
  struct Shared {
    std::atomic<bool> started{false};
  } shared;
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* s = static_cast<Shared*>(arg);
    CRASH_LOG_GUARD("corvane::Test::Cancelled", [s] {
      s->started = true;
      for (;;) {
        pthread_testcancel();
        sched_yield();
      }
    });
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, body, &shared), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!shared.started.load() && std::chrono::steady_clock::now() < deadline) sched_yield();
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_EQ(CrashLogText(), "");
}

TEST_F(CrashLogTest, CancellationPassesThroughTheNonThrowingForm) {
  // The non-throwing form swallows every real exception; swallowing a
  // cancellation instead would abort the process, and pthread_exit unwinds
  // the same way.
  struct Shared {
    std::atomic<bool> started{false};
  } shared;
  auto cancelled = [](void* arg) -> void* {
    auto* s = static_cast<Shared*>(arg);
    CRASH_LOG_GUARD_NOTHROW("corvane::Test::Cancelled", [s] {
      s->started = true;
      for (;;) {
        pthread_testcancel();
        sched_yield();
      }
    });
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, cancelled, &shared), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!shared.started.load() && std::chrono::steady_clock::now() < deadline) sched_yield();
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);

  auto exiting = [](void*) -> void* {
    CRASH_LOG_GUARD_NOTHROW("corvane::Test::Exiting", [] { pthread_exit(reinterpret_cast<void*>(0x55)); });
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, exiting, nullptr), 0);
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, reinterpret_cast<void*>(0x55));
  EXPECT_EQ(CrashLogText(), "");
}

TEST_F(CrashLogTest, SixteenThreadsThrowingAtOnceLeaveSixteenWholeLines) {
  constexpr int kThreads = 16;
  // Large enough that an append split into pieces would show.
  const std::string padding(16 * 1024, 'p');
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (!go.load()) std::this_thread::yield();
      try {
        CRASH_LOG_GUARD("f", [&] { throw std::runtime_error("thread-" + std::to_string(t) + "-" + padding); });
      } catch (const std::runtime_error&) {
      }
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  go = true;
  for (auto& th : threads) th.join();

  auto lines = SplitCrLf(CrashLogText());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads));
  std::set<int> seen;
  const std::string marker = ": Std runtime error: thread-";
  for (const auto& l : lines) {
    size_t at = l.find(marker);
    ASSERT_NE(at, std::string::npos) << l.substr(0, 120);
    size_t dash = l.find('-', at + marker.size());
    ASSERT_NE(dash, std::string::npos);
    seen.insert(std::stoi(l.substr(at + marker.size(), dash - at - marker.size())));
    EXPECT_EQ(l.compare(dash + 1, padding.size(), padding), 0);
    EXPECT_EQ(l.find(", File: ", dash), dash + 1 + padding.size());
    EXPECT_EQ(l.find(marker, at + 1), std::string::npos) << "two lines mixed";
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads));
}

}  // namespace
}  // namespace corvane
