// Linux binding of ITimer: one thread per timer, waiting on the monotonic
// clock. A callback that runs past the next tick makes that tick (and any
// other missed one) be skipped: the next tick is the next point of the
// period grid after the callback returns.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "RefCount.h"
#include "Scheduler.h"
#include "ThreadAnnotations.h"
#include "Timer.h"

namespace corvane::platform {

class TimerImpl final : public ITimer, public IRefCountImpl {
 public:
  TimerImpl();
  // Stops the timer and waits for a running callback to return. From inside
  // its own callback it logs Severe and does not wait.
  ~TimerImpl() override;

  int Start(uint32_t periodMs, ITimerCallback* callback, uint32_t dueTimeMs) override;

  struct State;

 private:
  static void Loop(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  // Taken before the state's mutex, never after it; the timer thread takes
  // only the state's, and lets go of it around each callback (which runs
  // under the callback mutex alone).
  CheckedMutex startMutex_;
  bool started_ GUARDED_BY(startMutex_) = false;
  pthread_t handle_ GUARDED_BY(startMutex_){};
  bool hasHandle_ GUARDED_BY(startMutex_) = false;
};

}  // namespace corvane::platform
