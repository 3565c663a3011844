// Sends one-way RPC calls ("callbacks") from a server to its clients without
// blocking the server's threads. Each connection's callbacks go out strictly
// in CallBack order, one at a time, only while the connection can take data;
// connections take turns. Each connection sends on a work thread of its own,
// so a slow connection never holds up the others.
//
// Public operations return an _Enum_Result_: before Initialize
// Result_NotInitialized ("RpcCallbackThread not initialized"). CallBack for a
// connection without a queue returns 0 and sends nothing. A callback is
// dropped only by RemoveConnection, destruction, or a later group that
// replaces it (CallBackGroup); a failed send is retried. Destruction sends
// nothing more, drops what is queued and waits for sends in progress.
//
// Queues are bounded: a connection holds at most kMaxQueuedCallbacks
// callbacks, and all queues together at most the byte budget of parameters;
// a call past either is refused (Result_Fail, nothing queued). The budget
// counts memory, not references: a parameter stream queued for many
// connections at once (one list sent to every client) is counted once while
// any queue holds it. Parameter streams must not change once handed in.
//
// Locks: mapLock_ (the queues by connection and the turn cursor) is taken
// first; under it either a queue's own lock (its items and retry state) or
// retiredLock_ (queues removed but still sending), never both at once;
// budgetLock_ (the bytes held) is a leaf under a queue's lock. None is held
// while a callback is sent. Callers may hold their
// own locks when they call in (the protocol-1 service does), so nothing here
// calls back into them. Re-entrant framework locks: not under the compiler's
// lock analysis.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "IRpc.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "Thread.h"
#include "ThreadAnnotations.h"

namespace corvane {

class RpcCallbackThread : public Thread, public virtual IRefCountImpl {
 public:
  static constexpr size_t kMaxQueuedCallbacks = 1024;
  static constexpr uint64_t kMaxTotalQueuedBytes = 256ull << 20;

  // Holds a reference to rpc for its whole life. maxQueuedBytes: the byte
  // budget of all queues together.
  explicit RpcCallbackThread(IRpc* rpc, uint64_t maxQueuedBytes = kMaxTotalQueuedBytes);
  ~RpcCallbackThread() override;

  // Starts the thread; a second call gives Result_AlreadyInitialized.
  virtual int Initialize();
  // Queues a one-way call of method on objectId over connectionId. params
  // is required (Result_InvalidPointer); a null response is allowed.
  virtual int CallBack(const UUID& connectionId, const UUID& objectId, int method, IDataStream* params,
                       IDataStream* response);
  // Queues params.size() calls of method on objectId, in order, as one
  // group: a group of the same object and method still waiting in the
  // connection's queue, none of whose calls has been taken for sending, is
  // dropped in its favour (a group already going out is never cut). All or
  // nothing against the bounds.
  virtual int CallBackGroup(const UUID& connectionId, const UUID& objectId, int method,
                            const std::vector<RefPtr<IDataStream>>& params);
  // Creates the connection's queue unless it exists; 0 in both cases.
  virtual int AddConnection(const UUID& connectionId);
  // Drops the connection's queue and every callback in it (a send in
  // progress finishes). 0 also for an unknown connection.
  virtual int RemoveConnection(const UUID& connectionId);

  // Connection queues, and callbacks queued in them (never negative).
  void GetStatistics(int* connections, int* pending);
  // The connection's queued callbacks, and for how long (ms) none of them
  // has gone out; false for a connection without a queue.
  bool GetQueueState(const UUID& connectionId, size_t* queued, uint64_t* stalledMs);

  bool ThreadFunc() override;

 private:
  class CallbackInfo;
  class CallbackQueue;

  int NotInitialized();
  static RefPtr<CallbackInfo> MakeInfo(const UUID& connectionId, const UUID& objectId, int method,
                                       IDataStream* params, IDataStream* response);
  int PostCallBackInternal(std::vector<RefPtr<CallbackInfo>> infos, uint64_t group);
  void SendTask(CallbackQueue* queue, RefPtr<CallbackInfo> info);
  int SendCallBackInternal(CallbackInfo* info);
  void SubtractPending(int count);
  void Nudge();
  // One more queued callback holds its parameters, or one fewer; a stream
  // is charged when its first holder comes and credited when its last goes.
  void Hold(const CallbackInfo& info) REQUIRES(budgetLock_);
  void LetGo(const CallbackInfo& info) REQUIRES(budgetLock_);
  void LetGoAll(const std::deque<RefPtr<CallbackInfo>>& items) EXCLUDES(budgetLock_);

  RefPtr<IRpc> rpc_;
  std::atomic<bool> initialized_{false};
  std::unique_ptr<Scheduler::FastMutex> mapLock_;
  std::map<UUID, RefPtr<CallbackQueue>> queues_;
  std::unique_ptr<Scheduler::FastMutex> retiredLock_;
  std::vector<RefPtr<CallbackQueue>> retired_;
  UUID cursor_;
  std::atomic<int32_t> pending_{0};
  struct Holding {
    uint32_t holders = 0;
    uint32_t bytes = 0;
  };
  const uint64_t maxQueuedBytes_;
  CheckedMutex budgetLock_;
  // Every parameter stream queued, by identity, and its bytes counted once.
  std::unordered_map<const IDataStream*, Holding> held_ GUARDED_BY(budgetLock_);
  uint64_t queuedBytes_ GUARDED_BY(budgetLock_) = 0;
  std::atomic<uint64_t> nextGroup_{1};
  std::atomic<bool> stop_{false};
  // Wakes a pass that found nothing it could start: new work, a finished
  // send, or destruction.
  std::unique_ptr<Scheduler::Event> idle_;
};

}  // namespace corvane
