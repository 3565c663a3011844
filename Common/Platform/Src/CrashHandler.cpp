#include <atomic>
#include <cstdlib>
#include <cstring>

#include "CrashLog.h"
#include "Scheduler.h"

namespace corvane {

void InstallCrashHandler() {
  // Sanitizer and test runs install signal handlers of their own.
  const char* off = std::getenv("CORVANE_NO_CRASH_HANDLER");
  if (off != nullptr && std::strcmp(off, "1") == 0) return;
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  platform::InstallCrashFilter();
}

}  // namespace corvane
