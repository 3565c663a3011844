// The crash filter: an unhandled SIGSEGV or SIGBUS (the access violations of
// this platform) writes "crash.mdmp" in the company folder, then hands the
// signal on to whatever handled it before (the default action, a sanitizer or
// a test framework), so the process still dies by that signal.
//
// Everything the handler does is async-signal-safe: the paths are computed
// at install time, the unwinder is loaded then too (backtrace() allocates on
// its first call), and the dump is written with open/write/close only.

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "CrashLog.h"
#include "Directory.h"
#include "FileIo.h"

namespace corvane::platform {

namespace {

constexpr size_t kPathBytes = 4096;
constexpr int kMaxFrames = 128;

char g_folder[kPathBytes];
char g_dumpPath[kPathBytes];
char g_mkdirScratch[kPathBytes];
struct sigaction g_previousSegv;
struct sigaction g_previousBus;
std::atomic<bool> g_installed{false};
// 0: no dump yet, 1: a thread is writing it, 2: written.
std::atomic<int> g_dumpState{0};
alignas(16) char g_altStack[64 * 1024];

// Formats into a fixed buffer and writes it out when full; no allocation.
class SafeWriter {
 public:
  explicit SafeWriter(int fd) : fd_(fd) {}
  ~SafeWriter() { Flush(); }

  SafeWriter& Str(const char* text) {
    while (*text != '\0') Put(*text++);
    return *this;
  }
  SafeWriter& Dec(int64_t value) {
    char digits[24];
    int n = 0;
    uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    if (value < 0) Put('-');
    while (n > 0) Put(digits[--n]);
    return *this;
  }
  SafeWriter& Hex(uint64_t value) {
    static const char kHex[] = "0123456789abcdef";
    Str("0x");
    for (int shift = 60; shift >= 0; shift -= 4) Put(kHex[(value >> shift) & 0xF]);
    return *this;
  }
  void Flush() {
    platform::WriteFully(fd_, buf_, used_);
    used_ = 0;
  }

 private:
  void Put(char c) {
    if (used_ == sizeof(buf_)) Flush();
    buf_[used_++] = c;
  }

  int fd_;
  size_t used_ = 0;
  char buf_[512];
};

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    default:
      return "?";
  }
}

void WriteRegisters(SafeWriter& out, void* context) {
  if (context == nullptr) return;
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  // In the order of the kernel's general register block.
  static const char* const kNames[NGREG] = {"r8",  "r9",  "r10", "r11", "r12", "r13",    "r14", "r15",
                                            "rdi", "rsi", "rbp", "rbx", "rdx", "rax",    "rcx", "rsp",
                                            "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
  for (int i = 0; i < NGREG; ++i) {
    out.Str(kNames[i]).Str(" ").Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i])).Str("\n");
  }
#elif defined(__aarch64__)
  for (int i = 0; i < 31; ++i) out.Str("x").Dec(i).Str(" ").Hex(uc->uc_mcontext.regs[i]).Str("\n");
  out.Str("sp ").Hex(uc->uc_mcontext.sp).Str("\n");
  out.Str("pc ").Hex(uc->uc_mcontext.pc).Str("\n");
  out.Str("pstate ").Hex(uc->uc_mcontext.pstate).Str("\n");
#else
  out.Str("(not recorded on this architecture)\n");
#endif
}

void CopyFile(SafeWriter& out, int toFd, const char* path) {
  out.Flush();
  int in = ::open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return;
  char buf[1024];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (!platform::WriteFully(toFd, buf, static_cast<size_t>(n))) break;
  }
  ::close(in);
}

// Creates each missing level of the company folder.
void MakeFolder() {
  size_t len = strnlen(g_folder, kPathBytes);
  if (len == 0 || len >= kPathBytes) return;
  memcpy(g_mkdirScratch, g_folder, len + 1);
  for (size_t i = 1; i <= len; ++i) {
    if (g_mkdirScratch[i] != '/' && g_mkdirScratch[i] != '\0') continue;
    char saved = g_mkdirScratch[i];
    g_mkdirScratch[i] = '\0';
    ::mkdir(g_mkdirScratch, 0777);
    g_mkdirScratch[i] = saved;
  }
}

void WriteDump(int sig, siginfo_t* info, void* context) {
  if (g_dumpPath[0] == '\0') return;
  MakeFolder();
  int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return;
  {
    SafeWriter out(fd);
    out.Str("Corvane crash dump\n");
    out.Str("signal: ").Dec(sig).Str(" ").Str(SignalName(sig)).Str("\n");
    out.Str("code: ").Dec(info != nullptr ? info->si_code : 0).Str("\n");
    out.Str("address: ").Hex(info != nullptr ? reinterpret_cast<uintptr_t>(info->si_addr) : 0).Str("\n");
    out.Str("time: ").Dec(static_cast<int64_t>(::time(nullptr))).Str("\n");
    out.Str("pid: ").Dec(::getpid()).Str("\n");
    out.Str("thread: ").Dec(static_cast<int64_t>(::syscall(SYS_gettid))).Str("\n");
    out.Str("registers:\n");
    WriteRegisters(out, context);
    out.Str("backtrace:\n");
    out.Flush();
    void* frames[kMaxFrames];
    int count = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, count, fd);
    out.Str("maps:\n");
    CopyFile(out, fd, "/proc/self/maps");
  }
  ::close(fd);
}

void CrashSignalHandler(int sig, siginfo_t* info, void* context) {
  int savedErrno = errno;
  int expected = 0;
  if (g_dumpState.compare_exchange_strong(expected, 1)) {
    WriteDump(sig, info, context);
    g_dumpState.store(2);
  } else {
    // Another thread is writing the dump; dying now would cut it short.
    struct timespec pause = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 1000 && g_dumpState.load() == 1; ++i) ::nanosleep(&pause, nullptr);
  }
  ::sigaction(sig, sig == SIGBUS ? &g_previousBus : &g_previousSegv, nullptr);
  errno = savedErrno;
  // A fault recurs when the faulting instruction runs again on return and
  // then reaches the previous handler with its own details. A signal sent by
  // kill or raise does not recur, so it is sent again; it stays pending until
  // this handler returns.
  if (info == nullptr || info->si_code <= 0) ::raise(sig);
}

// The handler needs a stack of its own to report a stack overflow.
void EnsureAltStack() {
  stack_t current {};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  stack_t ss {};
  ss.ss_sp = g_altStack;
  ss.ss_size = sizeof(g_altStack);
  ss.ss_flags = 0;
  ::sigaltstack(&ss, nullptr);
}

// The handler found in place becomes the one the signal is handed on to,
// unless it is this filter itself (a repeated install).
void InstallFor(int sig, const struct sigaction& sa, struct sigaction* previous) {
  struct sigaction old {};
  if (::sigaction(sig, &sa, &old) != 0) return;
  if ((old.sa_flags & SA_SIGINFO) != 0 && old.sa_sigaction == CrashSignalHandler) return;
  *previous = old;
}

}  // namespace

void InstallCrashFilter() {
  std::string folder = GetDataDirectory("", "", "", false, false);
  std::string dumpPath = folder + "/" + kCrashDumpFileName;
  if (dumpPath.size() < kPathBytes) {
    memcpy(g_folder, folder.c_str(), folder.size() + 1);
    memcpy(g_dumpPath, dumpPath.c_str(), dumpPath.size() + 1);
  } else {
    g_dumpPath[0] = '\0';
  }
  // backtrace() loads the unwinder on its first call, which allocates.
  void* frames[4];
  ::backtrace(frames, 4);

  if (!g_installed.exchange(true)) EnsureAltStack();
  struct sigaction sa {};
  sa.sa_sigaction = CrashSignalHandler;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  InstallFor(SIGSEGV, sa, &g_previousSegv);
  InstallFor(SIGBUS, sa, &g_previousBus);
}

}  // namespace corvane::platform
