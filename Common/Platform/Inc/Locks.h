// Scoped guards over the scheduler's locks and monitors.
//
// The process's locks come in two kinds. The scheduler's mutexes, fast
// mutexes and monitors are re-entrant: code takes them again while holding
// them (the adapter's monitor deepest of all, and MonitorUnlockGuard lets go
// of every level at once), so they stay out of clang's lock analysis and
// their order is written beside each component instead: the socket
// transport (NetworkTransportImpl.h), the adapter (TransportAdapter.h), RPC
// (RpcImpl.cpp, RpcCallbackThread.h), the protocol-1 service
// (DiscoveryService.h), the protocol-2 registry (DiscoveryServicePersistent.h),
// the HTTP server (HttpServer.h) and the web handler (TdsWebHandler.h). Leaf
// locks that are never re-taken are CheckedMutex (ThreadAnnotations.h), and
// the compiler checks what they guard.
//
// Rules every component keeps:
// - Any code may log while holding its locks, so the logger's lock and each
//   log store's lock come after every other one; the logger writes to its
//   stores outside its lock, from a snapshot taken under it.
// - No lock is held while a user's callback runs (transport notifies, data
//   hooks, HTTP handlers, timer callbacks), unless its header says so.
// - Locks held across a wait: the listener's across its accept wait, the
//   protocol-1 stub's service lock across each call into the service. (The
//   web document cache lets its monitor go while it waits or builds.)
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
