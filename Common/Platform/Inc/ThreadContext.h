// A thread with a bounded first-in, first-out queue of tasks. An object that
// owns one does all its work there; other threads post tasks and may wait
// until a task has run.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "RefCount.h"
#include "Scheduler.h"
#include "Thread.h"

namespace corvane {

class ThreadContext : public Thread, public virtual IRefCountImpl {
 public:
  // Starts the thread, named name (see Thread::SetName); returns once the
  // context's thread id is known.
  ThreadContext(uint32_t maxItems, uint32_t waitMs, const char* name = "work-queue");
  // Stops the thread without running queued tasks; their done events are set
  // so that no poster hangs. On the context's own thread it does not wait.
  ~ThreadContext() override;

  // Queues a task. An empty task is ignored. When the queue is full the
  // poster waits up to waitMs for space, then discards the task. With done
  // (an event the caller made and owns) the poster waits until the task has
  // run or been discarded; a done-post on the context's own thread runs the
  // task inline. Returns true when the task was queued or ran, false when it
  // was discarded.
  bool Post(std::function<void()> task, Scheduler::Event** done = nullptr);
  // Queues a task whatever the queue's length (refused only once stopping):
  // for events that must never be lost, and for work whose amount the poster
  // bounds itself.
  bool PostAlways(std::function<void()> task);

  // Refuses new tasks, lets queued ones run, then stops the thread. On the
  // context's own thread it does not wait.
  int Stop() override;

  bool ThreadFunc() override;

  // The id of the context's thread, for "am I already there" checks.
  uint32_t GetThreadId() const { return threadId_.load(std::memory_order_acquire); }
  bool IsOnContextThread() const;

  // Called after every successful queueing from another thread, so that an
  // owner sleeping in a poll can be woken at once. Set before posting starts.
  // It may run with the queue lock held: it must be quick and must not post
  // to or wait for this context.
  void SetWakeHook(std::function<void()> hook);

  // Tasks queued, including the one running.
  size_t QueuedCount();

 private:
  struct Entry {
    std::function<void()> task;
    Scheduler::Event** done;
    // The waiting poster's "it ran" answer (only with done).
    bool* ran;
  };

  std::deque<Entry> queue_;
  std::unique_ptr<Scheduler::FastMutex> lock_;
  std::unique_ptr<Scheduler::Event> started_;
  std::unique_ptr<Scheduler::Event> space_;
  // Set by the thread after each task once stopping, so Stop sees the queue
  // drain without polling blindly.
  std::unique_ptr<Scheduler::Event> drained_;
  bool firstPass_ = true;
  std::atomic<uint32_t> threadId_{0};
  const uint32_t maxItems_;
  const uint32_t waitMs_;
  bool stopping_ = false;
  std::function<void()> wakeHook_;
};

}  // namespace corvane
