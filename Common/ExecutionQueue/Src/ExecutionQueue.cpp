#include "ExecutionQueue.h"

#include "CrashLog.h"
#include "Locks.h"
#include "Logger.h"
#include "Result.h"

namespace corvane {

namespace {

// Sets the caller's completion event once, however the item leaves the
// queue (run, dropped for want of a stub, a stub that threw, or the queue's
// destruction), so that no caller waits for ever.
class DoneSignal {
 public:
  explicit DoneSignal(ExecutionQueue::Item& item) : item_(item) {}
  ~DoneSignal() { Set(); }
  DoneSignal(const DoneSignal&) = delete;
  DoneSignal& operator=(const DoneSignal&) = delete;

  void Set() {
    Scheduler::Event** done = item_.done;
    item_.done = nullptr;
    if (done != nullptr && *done != nullptr) (*done)->Set();
  }

 private:
  ExecutionQueue::Item& item_;
};

}  // namespace

ExecutionQueue::ExecutionQueue()
    : queueLock_(GetDefaultScheduler()->CreateFastMutex()), stubLock_(GetDefaultScheduler()->CreateFastMutex()) {}

ExecutionQueue::~ExecutionQueue() {
  CRASH_LOG_GUARD_NOTHROW("corvane::ExecutionQueue::~ExecutionQueue", [&] {
    std::deque<Item> items;
    {
      ScopedLock lock(queueLock_.get());
      items.swap(queue_);
    }
    // Arguments are released with the items, outside the lock: a release
    // may run a destructor that calls back into this queue.
    for (Item& item : items) DoneSignal(item).Set();
  });
}

int ExecutionQueue::AddStub(const UUID& objectId, IStub* stub) {
  return CRASH_LOG_GUARD("corvane::ExecutionQueue::AddStub", [&]() -> int {
    if (stub == nullptr) return Result_InvalidPointer;
    ScopedLock lock(stubLock_.get());
    return stubs_.emplace(objectId, stub).second ? Result_Ok : Result_Fail;
  });
}

void ExecutionQueue::AddFirstStub(const UUID& objectId, IStub* stub) {
  if (stub) stubs_.emplace(objectId, stub);
}

int ExecutionQueue::RemoveStub(const UUID& objectId) {
  return CRASH_LOG_GUARD("corvane::ExecutionQueue::RemoveStub", [&]() -> int {
    ScopedLock lock(stubLock_.get());
    return stubs_.erase(objectId) != 0 ? Result_Ok : Result_Fail;
  });
}

int ExecutionQueue::ExecuteLocked(const UUID& objectId, int method, IRefCount* first, IRefCount* second,
                                  uint32_t maxQueued, Scheduler::Event** done) {
  if (maxQueued != 0 && queue_.size() >= maxQueued) return Result_Fail;
  Item item;
  item.objectId = objectId;
  item.method = static_cast<uint16_t>(method);
  item.first = RefPtr<IRefCount>(first, true);
  item.second = RefPtr<IRefCount>(second, true);
  item.done = done;
  queue_.push_back(std::move(item));
  return Result_Ok;
}

int ExecutionQueue::Execute(const UUID& objectId, int method, IRefCount* first, IRefCount* second,
                            uint32_t maxQueued, Scheduler::Event** done) {
  return CRASH_LOG_GUARD("corvane::ExecutionQueue::Execute", [&]() -> int {
    ScopedLock lock(queueLock_.get());
    return ExecuteLocked(objectId, method, first, second, maxQueued, done);
  });
}

int ExecutionQueue::ExecuteOrReplace(const UUID& objectId, int method, IRefCount* first, IRefCount* second) {
  return CRASH_LOG_GUARD("corvane::ExecutionQueue::ExecuteOrReplace", [&]() -> int {
    // The replaced arguments are released after the lock is left.
    RefPtr<IRefCount> oldFirst;
    RefPtr<IRefCount> oldSecond;
    ScopedLock lock(queueLock_.get());
    const uint16_t method16 = static_cast<uint16_t>(method);
    for (Item& item : queue_) {
      if (item.method != method16 || !(item.objectId == objectId)) continue;
      oldFirst = std::move(item.first);
      oldSecond = std::move(item.second);
      item.first = RefPtr<IRefCount>(first, true);
      item.second = RefPtr<IRefCount>(second, true);
      return Result_Ok;
    }
    return ExecuteLocked(objectId, method, first, second, 0, nullptr);
  });
}

int ExecutionQueue::ProcessQueue() {
  return CRASH_LOG_GUARD("corvane::ExecutionQueue::ProcessQueue", [&]() -> int {
    for (;;) {
      Item item;
      {
        ScopedLock lock(queueLock_.get());
        if (queue_.empty()) break;
        item = std::move(queue_.front());
        queue_.pop_front();
      }
      DoneSignal doneSignal(item);
      ScopedLock lock(stubLock_.get());
      auto it = stubs_.find(item.objectId);
      if (it == stubs_.end()) break;  // dropped; the items behind it wait
      int result = it->second->ExecuteStub(item.objectId, item.method, item.first.Get(), item.second.Get());
      doneSignal.Set();
      if (result < 0) {
        LOG_SPEW(1, "Execution failed object: %s method: %d", item.objectId.ToString().c_str(),
                 static_cast<int>(item.method));
      }
    }
    return Result_Ok;
  });
}

}  // namespace corvane
