#include "PlatformLocks.h"

#include <cerrno>
#include <chrono>
#include <ctime>

#include "Clock.h"
#include "Result.h"

namespace corvane::platform {
namespace {

void InitRecursive(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

timespec DeadlineAfter(clockid_t clock, uint32_t timeoutMs) {
  timespec ts;
  clock_gettime(clock, &ts);
  ts.tv_sec += timeoutMs / 1000;
  ts.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

int TimedLock(pthread_mutex_t* m, uint32_t timeoutMs) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer does not intercept pthread_mutex_clocklock and would not
  // see the lock being taken; under it only, use the wall-clock variant.
  timespec deadline = DeadlineAfter(CLOCK_REALTIME, timeoutMs);
  return pthread_mutex_timedlock(m, &deadline);
#else
  timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeoutMs);
  return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

Mutex::Mutex() { InitRecursive(&mutex_); }
Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

int Mutex::Lock(uint32_t timeoutMs) {
  int rc;
  if (timeoutMs == 0) {
    rc = pthread_mutex_trylock(&mutex_);
  } else if (timeoutMs == kInfinite) {
    rc = pthread_mutex_lock(&mutex_);
  } else {
    rc = TimedLock(&mutex_, timeoutMs);
  }
  if (rc == EOWNERDEAD) {
    // The previous owner died holding it; the lock is ours now.
    pthread_mutex_consistent(&mutex_);
    rc = 0;
  }
  // Anything but acquisition (time-out, busy, deadlock, exhausted recursion)
  // means the caller does not hold the lock and must not act as if it did.
  if (rc != 0) return Result_Fail;
  owner_.store(CachedThreadId(), std::memory_order_relaxed);
  ++depth_;
  return Result_Ok;
}

int Mutex::Unlock() {
  if (owner_.load(std::memory_order_relaxed) != CachedThreadId()) return Result_Fail;
  if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
  return pthread_mutex_unlock(&mutex_) == 0 ? Result_Ok : Result_Fail;
}

CFastMutex::CFastMutex() { InitRecursive(&mutex_); }
CFastMutex::~CFastMutex() { pthread_mutex_destroy(&mutex_); }

int CFastMutex::Lock() {
  pthread_mutex_lock(&mutex_);
  return 0;
}

int CFastMutex::Unlock() {
  pthread_mutex_unlock(&mutex_);
  return 0;
}

bool Event::Wait(uint32_t timeoutMs) {
  CheckedLock lock(mutex_);
  if (!signalled_) {
    if (timeoutMs == 0) return false;
    // Called by the condition variable with the mutex held again.
    auto isSet = [this]() REQUIRES(mutex_) { return signalled_; };
    if (timeoutMs == kInfinite) {
      cv_.wait(lock.Native(), isSet);
    } else if (!cv_.wait_for(lock.Native(), std::chrono::milliseconds(timeoutMs), isSet)) {
      return false;
    }
  }
  if (!manual_) signalled_ = false;
  return true;
}

// The notification is made while the lock is held: a waiter cannot return
// (and its owner free this event) before Set has let go of the event.
int Event::Set() {
  CheckedLock lock(mutex_);
  signalled_ = true;
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
  return 1;
}

int Event::Reset() {
  CheckedLock lock(mutex_);
  signalled_ = false;
  return 1;
}

}  // namespace corvane::platform
