// Scoped guards over the scheduler's locks and monitors.
#pragma once

#include <cstdint>
#include <string>

#include "Scheduler.h"

namespace corvane {

// Second base of lock objects that can name themselves (the monitor gives
// "Monitor").
class Lockable {
 public:
  virtual ~Lockable() = default;
  virtual void GetName(std::string* out) = 0;
};

// Holds a fast mutex or a mutex (the latter locked with an unbounded wait).
class ScopedLock {
 public:
  explicit ScopedLock(Scheduler::FastMutex* m);
  explicit ScopedLock(Scheduler::Mutex* m);
  ~ScopedLock();
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  // Result_Fail when not held, else the unlock result.
  int Unlock();
  // Result_Fail when already held.
  int Lock();
  bool IsHeld() const { return held_; }

 private:
  Scheduler::FastMutex* fast_ = nullptr;
  Scheduler::Mutex* mutex_ = nullptr;
  bool held_ = false;
};

// Holds an entered monitor and exits it on scope end.
class MonitorGuard {
 public:
  explicit MonitorGuard(Scheduler::Monitor* m) : m_(m) { m_->Enter(); }
  ~MonitorGuard() { m_->Exit(); }
  MonitorGuard(const MonitorGuard&) = delete;
  MonitorGuard& operator=(const MonitorGuard&) = delete;

 private:
  Scheduler::Monitor* m_;
};

// Leaves a monitor completely for a scope and re-enters it at the same depth.
// A caller that did not own the monitor is left as it was: it is not made an
// owner (with depth 0, which no Exit could undo) on scope end.
class MonitorUnlockGuard {
 public:
  explicit MonitorUnlockGuard(Scheduler::Monitor* m) : m_(m), left_(m_->ExitAll(&count_) >= 0) {}
  ~MonitorUnlockGuard() {
    if (left_) m_->EnterWithCount(count_);
  }
  MonitorUnlockGuard(const MonitorUnlockGuard&) = delete;
  MonitorUnlockGuard& operator=(const MonitorUnlockGuard&) = delete;

 private:
  Scheduler::Monitor* m_;
  int count_ = 0;
  bool left_;
};

}  // namespace corvane
