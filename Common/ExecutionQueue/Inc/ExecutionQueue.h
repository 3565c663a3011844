// Queued-call dispatch: a mix-in that lets a worker thread receive calls
// from other threads as queued items.
//
// A call names a target object by UUID and a method number and carries up
// to two counted arguments. Targets register a stub under their UUID; the
// owner's thread calls ProcessQueue, which runs each item through its stub
// on that thread, oldest first. Any thread may add or remove stubs and
// queue calls. Queuing does not wake the owner; the owner's code does.
//
// Items run while the stub lock is held, so RemoveStub waits for a running
// item and a removed stub is never called afterwards; a stub must therefore
// not wait for a thread that is calling AddStub or RemoveStub.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "RefCount.h"
#include "Scheduler.h"
#include "Uuid.h"

namespace corvane {

class ExecutionQueue {
 public:
  class IStub {
   public:
    // method is the queued 16-bit number, zero-extended.
    virtual int ExecuteStub(const UUID& objectId, int method, IRefCount* first, IRefCount* second) = 0;
    virtual ~IStub() = default;
  };

  struct Item {
    UUID objectId;
    uint16_t method = 0;
    RefPtr<IRefCount> first;
    RefPtr<IRefCount> second;
    // The caller's event pointer; *done is set once the item has run or
    // been dropped.
    Scheduler::Event** done = nullptr;
    int reserved1 = 0;
    int reserved2 = 0;
  };

  ExecutionQueue();
  // Drops the queued items (setting their events and releasing their
  // arguments) without running them.
  virtual ~ExecutionQueue();

  // Null stub: Result_InvalidPointer; UUID already registered: Result_Fail.
  virtual int AddStub(const UUID& objectId, IStub* stub);
  // Unknown UUID: Result_Fail. Waits for an item that is running.
  virtual int RemoveStub(const UUID& objectId);
  // Appends an item (taking a reference to each non-null argument) when
  // maxQueued is 0 or fewer than maxQueued items are queued; otherwise
  // Result_Fail and nothing is queued.
  virtual int Execute(const UUID& objectId, int method, IRefCount* first, IRefCount* second, uint32_t maxQueued,
                      Scheduler::Event** done);
  // Gives the oldest queued item for the same object and method (compared
  // on 16 bits) the new arguments; it keeps its place and its event.
  // Otherwise queues a new item without limit.
  virtual int ExecuteOrReplace(const UUID& objectId, int method, IRefCount* first, IRefCount* second);
  // Runs queued items on the calling thread until the queue is empty or an
  // item has no stub: that item is dropped (its event set) and the rest
  // wait for the next call. Returns 0.
  virtual int ProcessQueue();

  ExecutionQueue(const ExecutionQueue&) = delete;
  ExecutionQueue& operator=(const ExecutionQueue&) = delete;

 protected:
  // AddStub for a queue that no other thread can reach yet (from its
  // owner's constructor): no lock is taken, so the registration never
  // orders the stub lock after a lock that the constructing thread holds.
  void AddFirstStub(const UUID& objectId, IStub* stub);

 private:
  int ExecuteLocked(const UUID& objectId, int method, IRefCount* first, IRefCount* second, uint32_t maxQueued,
                    Scheduler::Event** done);

  std::unique_ptr<Scheduler::FastMutex> queueLock_;
  std::deque<Item> queue_;
  std::unique_ptr<Scheduler::FastMutex> stubLock_;
  std::map<UUID, IStub*> stubs_;
};

}  // namespace corvane
