// Linux bindings of the scheduler's mutex, fast mutex and event. All three
// stay in user space while uncontended (futex-based pthread and standard
// primitives); every timed wait runs on the monotonic clock, so wall-clock
// steps never shorten or stretch it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Scheduler.h"
#include "ThreadAnnotations.h"

namespace corvane::platform {

// Mutex and CFastMutex are re-entrant (their holders take them again), which
// the lock analysis cannot follow: they and the locks built on them stay
// unannotated. Event's own mutex is a leaf, taken with nothing beneath it.
//
// Recursive and timed. Lock(0) tries once, Lock(kInfinite) waits for ever.
// Lock returns 0 only when the caller now holds the mutex; a time-out or any
// error gives Result_Fail. Unlock by a thread that does not hold it fails
// (and is refused before it reaches the pthread mutex).
class Mutex final : public Scheduler::Mutex {
 public:
  Mutex();
  ~Mutex() override;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  int Lock(uint32_t timeoutMs) override;
  int Unlock() override;

 private:
  pthread_mutex_t mutex_;
  // The holder's thread id (0: none) and its depth; the depth is touched
  // only by the holder.
  std::atomic<uint32_t> owner_{0};
  int depth_ = 0;
};

// Recursive; Lock and Unlock always return 0.
class CFastMutex final : public Scheduler::FastMutex {
 public:
  CFastMutex();
  ~CFastMutex() override;
  CFastMutex(const CFastMutex&) = delete;
  CFastMutex& operator=(const CFastMutex&) = delete;

  int Lock() override;
  int Unlock() override;

 private:
  pthread_mutex_t mutex_;
};

// Auto-reset (one waiter consumes each signal) or manual-reset (stays
// signalled until Reset).
class Event final : public Scheduler::Event {
 public:
  Event(bool manualReset, bool initiallySet) : manual_(manualReset), signalled_(initiallySet) {}

  bool Wait(uint32_t timeoutMs) override;
  int Set() override;
  int Reset() override;

 private:
  CheckedMutex mutex_;
  std::condition_variable cv_;
  const bool manual_;
  bool signalled_ GUARDED_BY(mutex_);
};

}  // namespace corvane::platform
