#include "ThreadContext.h"

#include "Locks.h"
#include "Logger.h"
#include "Result.h"

namespace corvane {

ThreadContext::ThreadContext(uint32_t maxItems, uint32_t waitMs, const char* name)
    : lock_(GetDefaultScheduler()->CreateFastMutex()),
      started_(GetDefaultScheduler()->CreateEvent(false, false)),
      space_(GetDefaultScheduler()->CreateEvent(false, false)),
      drained_(GetDefaultScheduler()->CreateEvent(false, false)),
      maxItems_(maxItems),
      waitMs_(waitMs) {
  SetName(name);
  Start(kInfinite);
  if (IsRunning()) {
    // The first pass records the thread id; owners compare against it from
    // the moment the constructor returns.
    started_->Wait(kInfinite);
  } else {
    // No thread: refuse posts rather than queue tasks that would never run
    // (and posters that would wait for them for ever).
    stopping_ = true;
  }
}

ThreadContext::~ThreadContext() {
  const bool onOwnThread = IsOnContextThread();
  {
    ScopedLock lock(lock_.get());
    stopping_ = true;
  }
  space_->Set();
  // Queued tasks are not run. On our own thread this does not wait (and logs).
  Thread::Stop();

  std::deque<Entry> discarded;
  {
    ScopedLock lock(lock_.get());
    discarded.swap(queue_);
  }
  // Destroyed from inside a task: the front entry is that task, still running.
  const size_t first = (onOwnThread && !discarded.empty()) ? 1 : 0;
  for (size_t i = first; i < discarded.size(); ++i) {
    // Nobody may wait for a task that will never run.
    if (discarded[i].done) (*discarded[i].done)->Set();
  }
}

bool ThreadContext::IsOnContextThread() const { return GetThreadId() == CurrentThreadId(); }

void ThreadContext::SetWakeHook(std::function<void()> hook) {
  ScopedLock lock(lock_.get());
  wakeHook_ = std::move(hook);
}

size_t ThreadContext::QueuedCount() {
  ScopedLock lock(lock_.get());
  return queue_.size();
}

bool ThreadContext::Post(std::function<void()> task, Scheduler::Event** done) {
  if (!task) return false;
  if (done && !*done) done = nullptr;
  const bool onOwnThread = IsOnContextThread();
  if (done && onOwnThread) {
    // Queueing and waiting would wait for ourselves: run it here.
    task();
    return true;
  }

  auto wake = [this, onOwnThread] {
    Wake();
    // A post from our own thread needs no wake: the thread is awake and will
    // look at the queue once the current task returns.
    if (!onOwnThread && wakeHook_) wakeHook_();
  };
  bool ran = false;
  {
    ScopedLock lock(lock_.get());
    if (stopping_) return false;
    if (queue_.size() >= maxItems_) {
      lock.Unlock();
      if (onOwnThread) {
        // Room is made only by this thread, which is busy posting: a wait
        // could only run out.
        if (waitMs_ != 0) LOG_SEVERE("Work queue full on its own thread; task discarded");
        return false;
      }
      if (!space_->Wait(waitMs_)) return false;
      lock.Lock();
      if (stopping_) {
        lock.Unlock();
        // Pass the wake-up on to the next poster waiting for room.
        space_->Set();
        return false;
      }
    }
    queue_.push_back(Entry{std::move(task), done, done ? &ran : nullptr});
    if (done) {
      // A waiting poster may be released by the context's destruction, and
      // nothing then keeps the context alive for the rest of this call: touch
      // it only while the lock still holds the destructor back.
      wake();
    }
  }
  if (!done) wake();
  if (done) {
    // Released when the task has run or has been discarded.
    (*done)->Wait(kInfinite);
    return ran;
  }
  return true;
}

bool ThreadContext::PostAlways(std::function<void()> task) {
  if (!task) return false;
  const bool onOwnThread = IsOnContextThread();
  {
    ScopedLock lock(lock_.get());
    if (stopping_) return false;
    queue_.push_back(Entry{std::move(task), nullptr, nullptr});
  }
  Wake();
  if (!onOwnThread && wakeHook_) wakeHook_();
  return true;
}

bool ThreadContext::ThreadFunc() {
  if (firstPass_) {
    firstPass_ = false;
    threadId_.store(CurrentThreadId(), std::memory_order_release);
    started_->Set();
  }

  Entry* entry;
  {
    ScopedLock lock(lock_.get());
    if (queue_.empty()) {
      // Stopped from our own thread: nobody waits to join us, so end the
      // loop ourselves once everything queued before the stop has run.
      if (stopping_) GetSchedulerThread()->RequestStop();
      return false;
    }
    // Stable outside the lock: posters only append, which keeps references
    // to existing elements valid, and only this thread removes.
    entry = &queue_.front();
  }

  entry->task();
  if (entry->done) {
    *entry->ran = true;
    (*entry->done)->Set();
  }
  entry->task = nullptr;

  bool stopping;
  {
    ScopedLock lock(lock_.get());
    queue_.pop_front();
    stopping = stopping_;
  }
  space_->Set();
  if (stopping) drained_->Set();
  return true;
}

int ThreadContext::Stop() {
  {
    ScopedLock lock(lock_.get());
    stopping_ = true;
  }
  // Posters waiting for room wake, find the context stopping and give up.
  space_->Set();
  if (IsOnContextThread()) {
    LOG_SEVERE("Work-queue thread stopped from its own task; not waiting for it");
    return Result_Ok;
  }
  // Everything queued before the stop runs first.
  while (IsRunning() && QueuedCount() > 0) drained_->Wait(25);
  return Thread::Stop();
}

}  // namespace corvane
