// Lock annotations the compiler checks. Under clang with -Wthread-safety a
// member marked GUARDED_BY(m) may only be touched with m held, a function
// marked REQUIRES(m) only called with it held, EXCLUDES(m) only without it;
// under g++ every macro is empty and nothing is checked.
//
// std::mutex carries no annotations in libstdc++, so the annotated members use
// CheckedMutex (a std::mutex with the annotations) and CheckedLock (a scoped
// hold of one, usable with std::condition_variable through Native()), or
// CheckedSharedMutex with CheckedWriteLock and CheckedReadLock. The
// framework's own re-entrant locks (Locks.h, Scheduler::Mutex) stay
// unannotated: the analysis has no notion of a lock taken again by the thread
// that holds it, and the code relies on doing just that.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define TDS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TDS_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TDS_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TDS_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TDS_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TDS_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TDS_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TDS_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TDS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TDS_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) TDS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TDS_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TDS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TDS_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TDS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TDS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TDS_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TDS_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace corvane {

// A std::mutex the analysis knows. Not re-entrant.
class CAPABILITY("mutex") CheckedMutex {
 public:
  CheckedMutex() = default;
  CheckedMutex(const CheckedMutex&) = delete;
  CheckedMutex& operator=(const CheckedMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  std::mutex& Native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a CheckedMutex for its scope. A condition variable waits on Native();
// the wait gives the mutex back before it returns, so the analysis may go on
// treating it as held.
class SCOPED_CAPABILITY CheckedLock {
 public:
  explicit CheckedLock(CheckedMutex& mutex) ACQUIRE(mutex) : lock_(mutex.Native()) {}
  ~CheckedLock() RELEASE() {}
  CheckedLock(const CheckedLock&) = delete;
  CheckedLock& operator=(const CheckedLock&) = delete;

  // Lets go for a stretch and takes the mutex again.
  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }

  std::unique_lock<std::mutex>& Native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// A std::shared_mutex the analysis knows: a member GUARDED_BY it may be read
// under either hold and written only under the exclusive one.
class CAPABILITY("shared mutex") CheckedSharedMutex {
 public:
  CheckedSharedMutex() = default;
  CheckedSharedMutex(const CheckedSharedMutex&) = delete;
  CheckedSharedMutex& operator=(const CheckedSharedMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

class SCOPED_CAPABILITY CheckedWriteLock {
 public:
  explicit CheckedWriteLock(CheckedSharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~CheckedWriteLock() RELEASE() { mutex_.unlock(); }
  CheckedWriteLock(const CheckedWriteLock&) = delete;
  CheckedWriteLock& operator=(const CheckedWriteLock&) = delete;

 private:
  CheckedSharedMutex& mutex_;
};

class SCOPED_CAPABILITY CheckedReadLock {
 public:
  explicit CheckedReadLock(CheckedSharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
  ~CheckedReadLock() RELEASE() { mutex_.unlock_shared(); }
  CheckedReadLock(const CheckedReadLock&) = delete;
  CheckedReadLock& operator=(const CheckedReadLock&) = delete;

 private:
  CheckedSharedMutex& mutex_;
};

}  // namespace corvane
