// Periodic timers. Each timer has a thread of its own, so one timer's slow
// callback never delays another. A tick that finds the previous tick of the
// same timer still running is skipped, not queued.
#pragma once

#include <cstdint>

#include "RefCount.h"

namespace corvane {

class ITimer : public virtual IRefCount {
 public:
  class ITimerCallback {
   public:
    virtual ~ITimerCallback() = default;
    virtual void TimerCallback() = 0;
  };

  // First tick at dueTimeMs after the call, then every periodMs (0: one
  // shot). Result_AlreadyInitialized when started already,
  // Result_InvalidArgument for a null callback, Result_Fail when the timer
  // cannot be created. There is no stop: destroying the timer stops it and
  // waits for a running callback (from inside its own callback it logs Severe
  // and does not wait).
  virtual int Start(uint32_t periodMs, ITimerCallback* callback, uint32_t dueTimeMs) = 0;
};

// Through the default scheduler: 0 and a new timer, or Result_Fail and null.
int CreateTimer(ITimer** out);

}  // namespace corvane
