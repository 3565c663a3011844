// Hands what a transport receives to the receivers registered with it.
// Every message first passes the optional data hook on the calling (receive)
// thread; then it is delivered at once on the calling thread (asyncNotify
// clear) or queued once per live receiver and delivered on this thread, in
// arrival order (asyncNotify set). Connection events are delivered on the
// calling thread, except those posted by a thread that must not wait on a
// receiver (the connection manager's).
//
// Receivers and the hook are plain pointers: registration takes no
// reference, and a receiver must be removed before its memory goes. Each
// delivery holds a reference taken with TryAddRef, so a receiver that is
// being destroyed is skipped. References dropped here go through deferred
// release, because a receiver's teardown may join the thread it runs on.
//
// Counted; the creator holds the first reference. Destruction stops the
// thread and releases everything still queued without delivering it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>

#include "ExecutionQueue.h"
#include "ITransport.h"
#include "RefCount.h"
#include "Thread.h"

namespace corvane {

class NotificationThread final : public Thread,
                                 public ExecutionQueue,
                                 public ExecutionQueue::IStub,
                                 public IRefCountImpl {
 public:
  explicit NotificationThread(bool asyncNotify);

  // Starts the thread (the stub is registered at construction); 0.
  int Initialize();
  int AddNotify(ITransport::ITransportNotify* receiver);
  int RemoveNotify(ITransport::ITransportNotify* receiver);
  void RemoveAllNotify();
  // A second non-null hook: Result_Fail, the first stays. Null clears.
  int SetDataHook(ITransport::IDataHook* hook);

  // 0 when the message went on to delivery, else the hook's result. The
  // caller keeps its reference to data.
  int OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data);
  // Delivered on the calling thread to every live receiver; 0.
  int OnEvent(const UUID& connectionId, int event);
  // Delivered as OnEvent, but on this thread, after the messages queued
  // before it; for a caller that must not wait on a receiver. 0.
  int PostEvent(const UUID& connectionId, int event);

  // Bytes of a connection's messages queued and not yet delivered (each
  // receiver's copy counts), so that a reader can hold back while the
  // receivers are behind.
  uint64_t PendingBytes(const UUID& connectionId);
  // Waits up to timeoutMs for PendingBytes to be at most limit; true then.
  bool WaitPendingAtMost(const UUID& connectionId, uint64_t limit, uint32_t timeoutMs);
  // Queued messages are released from now on without being delivered.
  void Discard();

  int ExecuteStub(const UUID& objectId, int method, IRefCount* request, IRefCount* reply) override;
  bool ThreadFunc() override;

  static constexpr int kDeliverMethod = 1;
  static constexpr int kEventMethod = 2;

 private:
  ~NotificationThread() override;
  void AddPending(const UUID& connectionId, uint64_t bytes);
  void SubtractPending(const UUID& connectionId, uint64_t bytes);

  const bool asyncNotify_;
  std::unique_ptr<Scheduler::FastMutex> receiverLock_;
  std::set<ITransport::ITransportNotify*> receivers_;
  ITransport::IDataHook* hook_ = nullptr;
  // Set by Discard and the destructor: queued items are released, not
  // delivered.
  std::atomic<bool> discarding_{false};
  std::unique_ptr<Scheduler::Monitor> pendingMonitor_;
  std::map<UUID, uint64_t> pendingBytes_;
};

}  // namespace corvane
