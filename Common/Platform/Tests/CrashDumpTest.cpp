// Crashes happen in forked children; the parent checks how each child died
// and what it left in its data folder.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "CrashLog.h"
#include "Directory.h"
#include "Scheduler.h"
#include "TestDataRoot.h"

// Exported (not static), so the dump's stack trace can name them.
extern "C" __attribute__((noinline, no_sanitize("address", "undefined"))) void CorvaneTestNullWrite() {
  volatile int* volatile p = nullptr;
  *p = 1;
}

extern "C" __attribute__((noinline, no_sanitize("undefined"))) int CorvaneTestDivide(int divisor) {
  volatile int x = 7;
  volatile int d = divisor;
  return x / d;
}

namespace corvane {
namespace {

struct ChildResult {
  bool exited = false;
  int exitCode = -1;
  int signal = 0;
};

// The child installs the crash filter over the default action, so it dies
// by the signal itself whatever the test runner or a sanitizer installed.
ChildResult RunChild(const std::string& dataRoot, const std::function<void()>& crash, bool installFilter = true) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("CORVANE_DATA_ROOT", dataRoot.c_str(), 1);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE}) signal(sig, SIG_DFL);
    if (installFilter) platform::InstallCrashFilter();
    crash();
    _exit(0);
  }
  ChildResult result;
  if (pid < 0) return result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "child did not end";
      return result;
    }
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  result.exited = WIFEXITED(status);
  if (result.exited) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

class CrashDumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.Path().empty());
    root_ = folder_.Path();
    dumpPath_ = root_ + "/Corvane/crash.mdmp";
  }
  std::string Dump() const {
    std::ifstream in(dumpPath_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  test::TempFolder folder_{"crashdump-test"};
  std::string root_;
  std::string dumpPath_;
};

TEST_F(CrashDumpTest, NullDereferenceWritesAndReplacesTheDump) {
  ChildResult first = RunChild(root_, [] { CorvaneTestNullWrite(); });
  EXPECT_FALSE(first.exited);
  EXPECT_EQ(first.signal, SIGSEGV);
  std::string dump = Dump();
  ASSERT_FALSE(dump.empty()) << "no dump (the company folder is made at crash time)";
  EXPECT_EQ(dump.rfind("Corvane crash dump\n", 0), 0u);
  EXPECT_NE(dump.find("signal: 11 SIGSEGV\n"), std::string::npos);
  EXPECT_NE(dump.find("address: 0x0000000000000000\n"), std::string::npos);
  EXPECT_NE(dump.find("\nthread: "), std::string::npos);
#if defined(__x86_64__)
  EXPECT_NE(dump.find("\nrip 0x"), std::string::npos);
#endif
  EXPECT_NE(dump.find("backtrace:\n"), std::string::npos);
  EXPECT_NE(dump.find("CorvaneTestNullWrite"), std::string::npos) << dump.substr(0, 4000);
  EXPECT_NE(dump.find("maps:\n"), std::string::npos);
  EXPECT_NE(dump.find("[stack]"), std::string::npos);

  // A stale, larger dump is replaced, not appended to or overwritten in part.
  std::ofstream(dumpPath_, std::ios::trunc) << std::string(4 << 20, 'S');
  ChildResult second = RunChild(root_, [] { CorvaneTestNullWrite(); });
  EXPECT_EQ(second.signal, SIGSEGV);
  std::string replaced = Dump();
  EXPECT_EQ(replaced.rfind("Corvane crash dump\n", 0), 0u);
  EXPECT_EQ(replaced.find("SSSS"), std::string::npos);
  EXPECT_LT(replaced.size(), size_t{4} << 20);
}

TEST_F(CrashDumpTest, DivisionByZeroWritesNoDump) {
  ChildResult result = RunChild(root_, [] { CorvaneTestDivide(0); });
  EXPECT_EQ(result.signal, SIGFPE);
  EXPECT_FALSE(PathExists(dumpPath_));
}

TEST_F(CrashDumpTest, BusErrorIsAnAccessViolationToo) {
  std::string file = root_ + "/empty";
  ChildResult result = RunChild(root_, [file] {
    int fd = open(file.c_str(), O_RDWR | O_CREAT, 0644);
    void* map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) _exit(3);
    static_cast<volatile char*>(map)[0] = 1;  // beyond the end of the empty file
  });
  EXPECT_EQ(result.signal, SIGBUS);
  EXPECT_NE(Dump().find("signal: 7 SIGBUS\n"), std::string::npos);
}

TEST_F(CrashDumpTest, SentSignalIsDumpedAndRaisedAgain) {
  // kill() leaves no fault to recur: the filter must send the signal again.
  ChildResult result = RunChild(root_, [] { kill(getpid(), SIGSEGV); });
  EXPECT_EQ(result.signal, SIGSEGV);
  EXPECT_NE(Dump().find("signal: 11 SIGSEGV\n"), std::string::npos);
}

TEST_F(CrashDumpTest, PreviousHandlerStillSeesTheFault) {
  // A handler installed before the filter (a sanitizer's, a test
  // framework's) receives the fault afterwards, with its own details.
  ChildResult result = RunChild(
      root_,
      [] {
        struct sigaction sa {};
        sa.sa_flags = SA_SIGINFO;
        sa.sa_sigaction = [](int, siginfo_t* info, void*) {
          _exit(info->si_code > 0 && info->si_addr == nullptr ? 42 : 43);
        };
        sigaction(SIGSEGV, &sa, nullptr);
        platform::InstallCrashFilter();
        platform::InstallCrashFilter();  // a second install keeps that handler
        CorvaneTestNullWrite();
      },
      false);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, 42);
  EXPECT_NE(Dump().find("signal: 11 SIGSEGV\n"), std::string::npos);
}

TEST_F(CrashDumpTest, EnvironmentSwitchTurnsTheHandlerOff) {
  const char* off = getenv("CORVANE_NO_CRASH_HANDLER");
  if (off == nullptr || std::string(off) != "1") {
    GTEST_SKIP() << "this process installed the handler at start-up";
  }
  ChildResult result = RunChild(
      root_,
      [] {
        InstallCrashHandler();
        CorvaneTestNullWrite();
      },
      false);
  EXPECT_EQ(result.signal, SIGSEGV);
  EXPECT_FALSE(PathExists(dumpPath_));
}

}  // namespace
}  // namespace corvane
