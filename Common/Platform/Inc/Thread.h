// Worker threads. A worker derives from corvane::Thread and implements
// ThreadFunc, which the thread calls again at once while it returns true and
// otherwise after the next Wake.
#pragma once

#include <cstdint>
#include <memory>

#include "Scheduler.h"

namespace corvane {

class IThread {
 public:
  virtual void Start(uint32_t timeoutMs) = 0;
  virtual int Stop() = 0;
  virtual void Terminate() = 0;
  virtual void Wake() = 0;
  virtual int SetPriority(int priority) = 0;
  virtual bool IsRunning() = 0;
  virtual ~IThread() = default;
  virtual bool ThreadFunc() = 0;
  virtual bool OnStart() = 0;
  virtual bool OnStop() = 0;
};

// Base of every worker. Contract for derived classes: the derived destructor
// must call Stop() first, so that no pass runs on a half-destroyed object;
// the base destructor stops the thread again only as a backstop.
class Thread : public IThread, public Scheduler::Runnable {
 public:
  Thread();
  ~Thread() override;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Start(uint32_t timeoutMs) override;
  int Stop() override;
  void Terminate() override;
  void Wake() override;
  int SetPriority(int priority) override;
  bool IsRunning() override;

  bool ThreadFunc() override { return false; }
  bool OnStart() override { return true; }
  bool OnStop() override { return true; }

  // Runnable.
  bool Run() override { return ThreadFunc(); }

  Scheduler::Thread* GetSchedulerThread() const { return thread_.get(); }

  // Names the thread after its role; takes effect at the next Start, so
  // owners call it before starting. At most 15 characters are kept.
  void SetName(const char* name);

 private:
  std::unique_ptr<Scheduler::Thread> thread_;
};

// True when the caller runs on the given scheduler thread (used to refuse
// waits on oneself).
bool IsCurrentThread(Scheduler::Thread* thread);

// Names the calling thread (first 15 characters), for threads the platform
// layer does not start itself.
void SetCurrentThreadName(const char* name);

}  // namespace corvane
