// The process-wide scheduler: the only way the rest of the system reaches the
// operating system for threads, locks, events, monitors, timers, random
// identifier bytes, sleeping, thread identities, stack traces and time.
//
// Every object a Create operation returns is owned by the caller and deleted
// through its interface; a create returns null when memory is exhausted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

class ITimer;

// Calendar fields; month 1-12.
struct DateTime {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
};

// Waits given as this value last for ever (events and mutexes only).
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Scheduler {
 public:
  class Runnable {
   public:
    virtual ~Runnable() = default;
    // One pass of work: true runs again at once, false sleeps until woken.
    virtual bool Run() = 0;
    // Called once on the new thread; false skips the loop and OnStop.
    virtual bool OnStart() = 0;
    // Called once on the thread after the loop.
    virtual bool OnStop() = 0;
  };

  class Thread {
   public:
    virtual ~Thread() = default;
    // Starts the thread (nothing when it runs already) and waits up to
    // timeoutMs for it to be running.
    virtual void ThreadStart(uint32_t timeoutMs) = 0;
    // Sets the stop flag, wakes the thread and joins it. Called on the thread
    // itself it logs Severe and does not wait.
    virtual int Stop() = 0;
    // No safe forced termination exists: requests a stop, wakes the thread
    // and lets it end on its own (detached).
    virtual void Terminate() = 0;
    virtual void Wake() = 0;
    virtual int SetPriority(int priority) = 0;
    virtual void SetTag(int tag) = 0;
    // The name the native thread takes at each start (what top -H, gdb and
    // /proc/<pid>/task/*/comm show); Linux keeps the first 15 characters.
    virtual void SetName(const char* name) = 0;
    virtual void GetStatus(uint64_t* threadId, uint64_t* busyMs, std::string* trace) = 0;
    virtual bool IsRunning() = 0;
    // Ends the loop after the current pass without waiting.
    virtual void RequestStop() = 0;
    virtual bool IsStopRequested() = 0;
    virtual Runnable* GetRunnable() = 0;
  };

  // Recursive, timed. Lock: 0 on success, Result_Fail on time-out or error.
  class Mutex {
   public:
    virtual ~Mutex() = default;
    virtual int Lock(uint32_t timeoutMs) = 0;
    virtual int Unlock() = 0;
  };

  // Recursive; both operations return 0.
  class FastMutex {
   public:
    virtual ~FastMutex() = default;
    virtual int Lock() = 0;
    virtual int Unlock() = 0;
  };

  class Event {
   public:
    virtual ~Event() = default;
    // True only when the wait ends with the event signalled; an auto-reset
    // event consumes the signal.
    virtual bool Wait(uint32_t timeoutMs) = 0;
    virtual int Set() = 0;
    virtual int Reset() = 0;
  };

  // Re-entrant monitor. Operations by a thread that does not own it return
  // Result_Fail and change nothing. Wait's time-out is a plain number of
  // milliseconds (0xFFFFFFFF is about 49.7 days, not infinite) and Wait
  // returns 0 however it ends: callers re-check their condition.
  class Monitor {
   public:
    virtual ~Monitor() = default;
    virtual int EnterWithCount(int count) = 0;
    virtual int Enter() = 0;
    virtual int ExitAll(int* count) = 0;
    virtual int Exit() = 0;
    virtual int Wait(uint32_t timeoutMs) = 0;
    virtual int NotifyAll() = 0;
  };

  virtual ~Scheduler() = default;
  virtual void Sleep(uint32_t ms) = 0;
  // A new thread, not started. Callers pass -1 as the unused second argument.
  virtual Thread* CreateThread(Runnable* runnable, int unused, bool deleteRunnableOnExit) = 0;
  virtual uint32_t GetCurrentThreadId() = 0;
  // Calls fn on the calling thread; an empty fn throws std::bad_function_call.
  virtual void Execute(const std::function<void()>& fn) = 0;
  virtual void GetStackTrace(std::string* out) = 0;
  virtual Mutex* CreateMutex() = 0;
  virtual FastMutex* CreateFastMutex() = 0;
  virtual Monitor* CreateMonitor() = 0;
  virtual Event* CreateEvent(bool manualReset, bool initiallySet) = 0;
  // Local wall-clock ms, counted as if local time were UTC.
  virtual int64_t GetLocalTimeMs() = 0;
  virtual void GetLocalDateTime(DateTime* out) = 0;
  // UTC ms since 1970-01-01, rounded to the nearest ms.
  virtual int64_t GetUtcTimeMs() = 0;
  virtual void GetUtcDateTime(DateTime* out) = 0;
  virtual uint64_t GetTickCount64() = 0;
  // 0 and a new timer in *out, or Result_Fail and null.
  virtual int CreateTimer(ITimer** out) = 0;
  virtual int GetConstant() = 0;
  // Fills out with bytes of the system's random source (never returns
  // without: no random source ends the process); the version and variant
  // marks are the identifier's own business.
  virtual void GenerateUUID(uint8_t (&out)[16]) = 0;
  // Low 32 bits of GetTickCount64: wraps after about 49.7 days.
  virtual uint32_t GetTickCount() = 0;
  virtual void Abort() = 0;
};

class DefaultScheduler : public Scheduler {
 public:
  void Sleep(uint32_t ms) override;
  Thread* CreateThread(Runnable* runnable, int unused, bool deleteRunnableOnExit) override;
  uint32_t GetCurrentThreadId() override;
  void Execute(const std::function<void()>& fn) override;
  void GetStackTrace(std::string* out) override;
  Mutex* CreateMutex() override;
  FastMutex* CreateFastMutex() override;
  Monitor* CreateMonitor() override;
  Event* CreateEvent(bool manualReset, bool initiallySet) override;
  int64_t GetLocalTimeMs() override;
  void GetLocalDateTime(DateTime* out) override;
  int64_t GetUtcTimeMs() override;
  void GetUtcDateTime(DateTime* out) override;
  uint64_t GetTickCount64() override;
  int CreateTimer(ITimer** out) override;
  int GetConstant() override;
  void GenerateUUID(uint8_t (&out)[16]) override;
  uint32_t GetTickCount() override;
  void Abort() override;

  // Test seam: shifts the UTC, local and tick clocks by offsetMs (may be
  // negative) so that time-outs of minutes are tested in milliseconds.
  // Waits are not affected: they always run on the real steady clock.
  void SetTestTimeOffsetMs(int64_t offsetMs);
  void AdvanceTestTimeMs(int64_t deltaMs);
  int64_t GetTestTimeOffsetMs() const;
};

// The never-deleted singleton. Its first call installs the crash handler
// (see InstallCrashHandler); creation is thread-safe.
DefaultScheduler* GetDefaultScheduler();

int64_t CurrentLocalTimeMs();
uint64_t CurrentTickCount64();
int64_t CurrentUtcTimeMs();
void CurrentLocalDateTime(DateTime* out);
uint32_t CurrentThreadId();

// Calendar fields of a UTC ms time. Defined for every input: outside the
// years 1601-30827 the result is 1970, 1, 0, 0, 0, 0, 0. Negative times floor
// (-1 is 1969-12-31 23:59:59.999).
void EpochMsToDateTime(DateTime* out, int64_t msSince1970);

// "MM/DD/YYYY HH:MM:SS.mmm". 0 gives the local time now (scheduler clock,
// test offset included) with its milliseconds; any other value is seconds
// since 1970 shown as that calendar time without zone conversion, ".000".
std::string TimestampText(int64_t epochSeconds);

// Installed once, by the scheduler's first use. Defined by the crash-log
// component; the environment variable CORVANE_NO_CRASH_HANDLER=1 turns it off
// (sanitizer and death-test runs install handlers of their own).
void InstallCrashHandler();

}  // namespace corvane
