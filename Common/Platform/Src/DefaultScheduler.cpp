#include <functional>
#include <new>

#include "DefaultMonitor.h"
#include "PlatformLocks.h"
#include "PlatformThread.h"
#include "Result.h"
#include "Scheduler.h"
#include "Timer.h"
#include "TimerImpl.h"

namespace corvane {

Scheduler::Thread* DefaultScheduler::CreateThread(Runnable* runnable, int /*unused*/, bool deleteRunnableOnExit) {
  return new (std::nothrow) platform::Thread(runnable, deleteRunnableOnExit);
}

void DefaultScheduler::Execute(const std::function<void()>& fn) { fn(); }

Scheduler::Mutex* DefaultScheduler::CreateMutex() { return new (std::nothrow) platform::Mutex(); }

Scheduler::FastMutex* DefaultScheduler::CreateFastMutex() { return new (std::nothrow) platform::CFastMutex(); }

Scheduler::Monitor* DefaultScheduler::CreateMonitor() { return new (std::nothrow) DefaultMonitor(); }

Scheduler::Event* DefaultScheduler::CreateEvent(bool manualReset, bool initiallySet) {
  return new (std::nothrow) platform::Event(manualReset, initiallySet);
}

int DefaultScheduler::CreateTimer(ITimer** out) {
  if (!out) return Result_Fail;
  *out = new (std::nothrow) platform::TimerImpl();
  return *out ? Result_Ok : Result_Fail;
}

int CreateTimer(ITimer** out) { return GetDefaultScheduler()->CreateTimer(out); }

int DefaultScheduler::GetConstant() { return 4; }

DefaultScheduler* GetDefaultScheduler() {
  // A function-local static: created once, thread-safely, on first use, even
  // when that use comes from another static initialiser. Never deleted, so
  // threads still running at exit can go on using it.
  static DefaultScheduler* const instance = [] {
    InstallCrashHandler();
    return new DefaultScheduler();
  }();
  return instance;
}

int64_t CurrentLocalTimeMs() { return GetDefaultScheduler()->GetLocalTimeMs(); }
uint64_t CurrentTickCount64() { return GetDefaultScheduler()->GetTickCount64(); }
int64_t CurrentUtcTimeMs() { return GetDefaultScheduler()->GetUtcTimeMs(); }
void CurrentLocalDateTime(DateTime* out) { GetDefaultScheduler()->GetLocalDateTime(out); }
uint32_t CurrentThreadId() { return GetDefaultScheduler()->GetCurrentThreadId(); }

}  // namespace corvane
