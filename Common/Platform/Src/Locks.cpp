#include "Locks.h"

#include "Result.h"

namespace corvane {

ScopedLock::ScopedLock(Scheduler::FastMutex* m) : fast_(m) { held_ = fast_->Lock() == 0; }

ScopedLock::ScopedLock(Scheduler::Mutex* m) : mutex_(m) { held_ = mutex_->Lock(kInfinite) == 0; }

ScopedLock::~ScopedLock() {
  if (held_) Unlock();
}

int ScopedLock::Unlock() {
  if (!held_) return Result_Fail;
  const int result = fast_ ? fast_->Unlock() : mutex_->Unlock();
  if (result >= 0) held_ = false;
  return result;
}

int ScopedLock::Lock() {
  if (held_) return Result_Fail;
  const int result = fast_ ? fast_->Lock() : mutex_->Lock(kInfinite);
  if (result >= 0) held_ = true;
  return result;
}

}  // namespace corvane
