// Sends one-way RPC calls ("callbacks") from a server to its clients without
// blocking the server's threads. Each connection's callbacks go out strictly
// in CallBack order, one at a time, only while the connection can take data;
// connections take turns. Each connection sends on a work thread of its own,
// so a slow connection never holds up the others.
//
// Public operations return an _Enum_Result_: before Initialize
// Result_NotInitialized ("RpcCallbackThread not initialized"). CallBack for a
// connection without a queue returns 0 and sends nothing. A callback is
// dropped only by RemoveConnection or destruction; a failed send is retried.
// Destruction sends nothing more and waits for sends in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "IRpc.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "Thread.h"

namespace corvane {

class RpcCallbackThread : public Thread, public virtual IRefCountImpl {
 public:
  // Holds a reference to rpc for its whole life.
  explicit RpcCallbackThread(IRpc* rpc);
  ~RpcCallbackThread() override;

  // Starts the thread; a second call gives Result_AlreadyInitialized.
  virtual int Initialize();
  // Queues a one-way call of method on objectId over connectionId. params
  // is required (Result_InvalidPointer); a null response is allowed.
  virtual int CallBack(const UUID& connectionId, const UUID& objectId, int method, IDataStream* params,
                       IDataStream* response);
  // Creates the connection's queue unless it exists; 0 in both cases.
  virtual int AddConnection(const UUID& connectionId);
  // Drops the connection's queue and every callback in it (a send in
  // progress finishes). 0 also for an unknown connection.
  virtual int RemoveConnection(const UUID& connectionId);

  // Connection queues, and callbacks queued in them (never negative).
  void GetStatistics(int* connections, int* pending);

  bool ThreadFunc() override;

 private:
  class CallbackInfo;
  class CallbackQueue;

  int NotInitialized();
  void PostCallBackInternal(RefPtr<CallbackInfo> info);
  void SendTask(CallbackQueue* queue, RefPtr<CallbackInfo> info);
  int SendCallBackInternal(CallbackInfo* info);
  void SubtractPending(int count);
  void Nudge();

  RefPtr<IRpc> rpc_;
  std::atomic<bool> initialized_{false};
  std::unique_ptr<Scheduler::FastMutex> mapLock_;
  std::map<UUID, RefPtr<CallbackQueue>> queues_;
  std::unique_ptr<Scheduler::FastMutex> retiredLock_;
  std::vector<RefPtr<CallbackQueue>> retired_;
  UUID cursor_;
  std::atomic<int32_t> pending_{0};
  std::atomic<bool> stop_{false};
  // Wakes a pass that found nothing it could start: new work, a finished
  // send, or destruction.
  std::unique_ptr<Scheduler::Event> idle_;
};

}  // namespace corvane
