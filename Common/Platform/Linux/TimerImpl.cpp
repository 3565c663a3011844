#include "TimerImpl.h"

#include <chrono>

#include "Logger.h"
#include "PlatformThread.h"
#include "Result.h"
#include "Thread.h"

namespace corvane::platform {

// Shared with the timer thread, which may outlive the object when the timer is
// destroyed from its own callback.
struct TimerImpl::State {
  CheckedMutex mutex;
  std::condition_variable cv;
  bool stop GUARDED_BY(mutex) = false;
  ITimer::ITimerCallback* callback GUARDED_BY(mutex) = nullptr;
  uint32_t periodMs GUARDED_BY(mutex) = 0;
  uint32_t dueTimeMs GUARDED_BY(mutex) = 0;
  std::unique_ptr<Scheduler::Mutex> callbackMutex;
};

namespace {
thread_local const TimerImpl::State* t_currentTimer = nullptr;
}

TimerImpl::TimerImpl() : state_(std::make_shared<State>()) {
  state_->callbackMutex.reset(GetDefaultScheduler()->CreateMutex());
}

TimerImpl::~TimerImpl() {
  {
    CheckedLock lock(state_->mutex);
    state_->stop = true;
  }
  state_->cv.notify_all();
  CheckedLock lock(startMutex_);
  if (!hasHandle_) return;
  if (t_currentTimer == state_.get()) {
    LOG_SEVERE("Timer destroyed from its own callback; not waiting for it");
    pthread_detach(pthread_self());
  } else {
    pthread_join(handle_, nullptr);
  }
}

int TimerImpl::Start(uint32_t periodMs, ITimerCallback* callback, uint32_t dueTimeMs) {
  CheckedLock lock(startMutex_);
  if (started_) return Result_AlreadyInitialized;
  if (!callback) return Result_InvalidArgument;
  {
    CheckedLock stateLock(state_->mutex);
    state_->callback = callback;
    state_->periodMs = periodMs;
    state_->dueTimeMs = dueTimeMs;
  }
  std::shared_ptr<State> s = state_;
  if (StartNativeThread([s] { Loop(s); }, &handle_) != 0) return Result_Fail;
  hasHandle_ = true;
  started_ = true;
  return Result_Ok;
}

void TimerImpl::Loop(const std::shared_ptr<State>& s) {
  using Clock = std::chrono::steady_clock;
  SetCurrentThreadName("timer-queue");
  t_currentTimer = s.get();
  CheckedLock lock(s->mutex);
  const auto period = std::chrono::milliseconds(s->periodMs);
  auto next = Clock::now() + std::chrono::milliseconds(s->dueTimeMs);
  for (;;) {
    if (s->cv.wait_until(lock.Native(), next, [&s]() REQUIRES(s->mutex) { return s->stop; })) break;
    ITimer::ITimerCallback* const callback = s->callback;
    lock.Unlock();
    // Ticks of one timer never overlap: one that finds the previous still
    // running is dropped.
    if (s->callbackMutex->Lock(1) == Result_Ok) {
      callback->TimerCallback();
      s->callbackMutex->Unlock();
    }
    lock.Lock();
    if (s->stop || period.count() == 0) break;
    next += period;
    const auto now = Clock::now();
    if (next <= now) next += ((now - next) / period + 1) * period;
  }
  t_currentTimer = nullptr;
}

}  // namespace corvane::platform
