// The scheduler operations that are bound to Linux: sleeping, thread ids,
// clocks and abort.
#include <sched.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "Clock.h"
#include "Scheduler.h"

namespace corvane {

void DefaultScheduler::Sleep(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t DefaultScheduler::GetCurrentThreadId() { return platform::CachedThreadId(); }

int64_t DefaultScheduler::GetLocalTimeMs() { return platform::LocalTimeMs(); }
void DefaultScheduler::GetLocalDateTime(DateTime* out) { platform::LocalDateTime(out); }
int64_t DefaultScheduler::GetUtcTimeMs() { return platform::UtcTimeMs(); }
void DefaultScheduler::GetUtcDateTime(DateTime* out) { platform::UtcDateTime(out); }
uint64_t DefaultScheduler::GetTickCount64() { return platform::TickCount64(); }
uint32_t DefaultScheduler::GetTickCount() { return static_cast<uint32_t>(platform::TickCount64()); }

void DefaultScheduler::SetTestTimeOffsetMs(int64_t offsetMs) { platform::SetTestOffsetMs(offsetMs); }
void DefaultScheduler::AdvanceTestTimeMs(int64_t deltaMs) { platform::AddTestOffsetMs(deltaMs); }
int64_t DefaultScheduler::GetTestTimeOffsetMs() const { return platform::GetTestOffsetMs(); }

void DefaultScheduler::Abort() { std::abort(); }

}  // namespace corvane
