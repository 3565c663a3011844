// Hands what a transport receives to the receivers registered with it.
// Every message first passes the optional data hook on the calling (receive)
// thread; then it is delivered at once on the calling thread (asyncNotify
// clear) or queued once per live receiver and delivered on this thread, in
// arrival order (asyncNotify set). Connection events are never queued.
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

#include <cstdint>
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

  // Registers the queue's stub and starts the thread; 0.
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

  int ExecuteStub(const UUID& objectId, int method, IRefCount* request, IRefCount* reply) override;
  bool ThreadFunc() override;

  static constexpr int kDeliverMethod = 1;

 private:
  ~NotificationThread() override;

  const bool asyncNotify_;
  std::unique_ptr<Scheduler::FastMutex> receiverLock_;
  std::set<ITransport::ITransportNotify*> receivers_;
  ITransport::IDataHook* hook_ = nullptr;
  // Set by the destructor: queued items are released, not delivered.
  bool discarding_ = false;
};

}  // namespace corvane
