// Stack traces from the unwinder's frames, named through the dynamic symbol
// table (the executables link with -rdynamic) and demangled.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Scheduler.h"

namespace corvane {

void DefaultScheduler::GetStackTrace(std::string* out) {
  if (!out) return;
  constexpr int kMaxFrames = 1024;
  static thread_local void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);

  std::string text = "stack trace for thread " + std::to_string(GetCurrentThreadId()) + " has " +
                     std::to_string(count) + " frames\n";
  for (int i = 0; i < count; ++i) {
    Dl_info info{};
    if (dladdr(frames[i], &info) && info.dli_sname) {
      int status = -1;
      char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      text += "  ";
      text += (status == 0 && demangled) ? demangled : info.dli_sname;
      std::free(demangled);
    } else {
      char address[2 + 2 * sizeof(void*) + 1];
      std::snprintf(address, sizeof address, "%p", frames[i]);
      text += "  ";
      text += address;
    }
    text += "\n";
  }
  text += "\n";
  *out = std::move(text);
}

}  // namespace corvane
