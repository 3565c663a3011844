// Linux binding of Scheduler::Thread: each start runs on a pooled native
// thread (NativeThreadPool), running a Runnable in a loop (Run again at once
// while it returns true, otherwise sleep until Wake).
//
// The loop's state lives in a block shared by the object and the running
// thread, so a thread that outlives its object (stopped or destroyed from its
// own thread, or terminated) never touches freed memory of the platform layer.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Scheduler.h"

namespace corvane::platform {

// Starts a joinable native thread of its own, with the pool's small stack.
// Returns 0 or the error number.
int StartNativeThread(std::function<void()> body, pthread_t* out);

class NativeRun;

class Thread final : public Scheduler::Thread {
 public:
  Thread(Scheduler::Runnable* runnable, bool deleteRunnableOnExit);
  // Stops and joins the thread. On the thread itself it logs Severe, does not
  // wait, and lets the thread end on its own after the current pass.
  ~Thread() override;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void ThreadStart(uint32_t timeoutMs) override;
  int Stop() override;
  void Terminate() override;
  void Wake() override;
  int SetPriority(int priority) override;
  void SetTag(int tag) override;
  void SetName(const char* name) override;
  int GetTag() const { return tag_.load(std::memory_order_relaxed); }
  void GetStatus(uint64_t* threadId, uint64_t* busyMs, std::string* trace) override;
  bool IsRunning() override;
  void RequestStop() override;
  bool IsStopRequested() override;
  Scheduler::Runnable* GetRunnable() override;

  // True when the caller runs on this object's thread.
  bool IsCurrent() const;

  struct State;

 private:
  static void Routine(const std::shared_ptr<State>& state, const std::shared_ptr<Scheduler::Event>& started,
                      const std::string& name);

  std::shared_ptr<State> state_;
  std::atomic<int> tag_{-1};
  std::atomic<bool> running_{false};

  // Guards the run. Stop waits for it outside the lock; joining_ keeps a
  // second Stop or a Start from racing that wait.
  std::mutex control_;
  std::condition_variable controlCv_;
  std::shared_ptr<NativeRun> run_;  // the pooled thread's current body
  bool joining_ = false;
  std::string name_ = "worker";
};

}  // namespace corvane::platform
