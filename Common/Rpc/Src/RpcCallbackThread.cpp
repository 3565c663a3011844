#include "RpcCallbackThread.h"

#include <deque>

#include "CrashLog.h"
#include "Locks.h"
#include "Logger.h"
#include "ThreadContext.h"

namespace corvane {

namespace {
// A connection that could not be written is asked again after this long;
// meanwhile the thread sleeps instead of polling it.
constexpr uint64_t kRetryDelayMs = 20;
// The longest a pass that started nothing sleeps before looking again.
constexpr uint32_t kIdleWaitMs = 20;
}  // namespace

class RpcCallbackThread::CallbackInfo final : public IRefCountImpl {
 public:
  UUID connectionId;
  UUID objectId;
  int method = 0;
  RefPtr<IDataStream> params;
  RefPtr<IDataStream> response;
  // The CallBackGroup call that queued it; 0 for a single CallBack.
  uint64_t group = 0;
  uint32_t bytes = 0;
};

class RpcCallbackThread::CallbackQueue final : public IRefCountImpl {
 public:
  // One task at a time; the in-flight flag keeps a second from being posted.
  CallbackQueue() : worker(new ThreadContext(1, kInfinite, "rpc-cb-worker"), false), lock(GetDefaultScheduler()->CreateFastMutex()) {}
  // Joins the work thread first: a task in hand still uses the fields below.
  ~CallbackQueue() override { worker.Reset(); }

  RefPtr<ThreadContext> worker;
  std::atomic<bool> inFlight{false};
  std::unique_ptr<Scheduler::FastMutex> lock;
  // Guarded by lock. Newest at the front, oldest at the back.
  std::deque<RefPtr<CallbackInfo>> items;
  // Set under lock by RemoveConnection: the queue's callbacks no longer
  // count as pending, so its completions leave the count alone.
  bool retired = false;
  uint64_t retryAfter = 0;
  // A group one of whose calls went out, and the group of the call in
  // flight: neither is ever cut short by a replacement.
  uint64_t startedGroup = 0;
  uint64_t inFlightGroup = 0;
  // Tick ms of the last completed send, or of the moment the queue stopped
  // being empty.
  uint64_t lastProgress = 0;
};

RpcCallbackThread::RpcCallbackThread(IRpc* rpc, uint64_t maxQueuedBytes)
    : rpc_(rpc, true),
      mapLock_(GetDefaultScheduler()->CreateFastMutex()),
      retiredLock_(GetDefaultScheduler()->CreateFastMutex()),
      maxQueuedBytes_(maxQueuedBytes),
      idle_(GetDefaultScheduler()->CreateEvent(false, false)) {}

RpcCallbackThread::~RpcCallbackThread() {
  CRASH_LOG_GUARD_NOTHROW("corvane::RpcCallbackThread::~RpcCallbackThread", [&] {
    stop_.store(true);
    idle_->Set();
    Thread::Stop();
    // Every work thread ends before the members its tasks touch go away.
    std::vector<RefPtr<CallbackQueue>> all;
    {
      ScopedLock lock(mapLock_.get());
      for (auto& [id, queue] : queues_) all.push_back(std::move(queue));
      queues_.clear();
    }
    {
      ScopedLock lock(retiredLock_.get());
      for (auto& queue : retired_) all.push_back(std::move(queue));
      retired_.clear();
    }
    for (auto& queue : all) {
      // Tasks still queued see the stop flag and only release their callback.
      queue->worker->Stop();
      queue.Reset();
    }
  });
}

int RpcCallbackThread::NotInitialized() {
  LOG_RECORD(record, Log_Severe, 0);
  return record.ReturnResult(Result_NotInitialized, "RpcCallbackThread not initialized");
}

int RpcCallbackThread::Initialize() {
  return CRASH_LOG_GUARD("corvane::RpcCallbackThread::Initialize", [&] {
    LOG_RECORD(record, Log_Severe, 0);
    if (initialized_.exchange(true)) {
      return record.ReturnResult(Result_AlreadyInitialized, "RpcCallbackThread already initialized");
    }
    SetName("rpc-callback");
    Start(kInfinite);
    return record.ReturnResult(Result_Ok);
  });
}

int RpcCallbackThread::AddConnection(const UUID& connectionId) {
  return CRASH_LOG_GUARD("corvane::RpcCallbackThread::AddConnection", [&] {
    if (!initialized_.load()) return NotInitialized();
    {
      ScopedLock lock(mapLock_.get());
      auto& slot = queues_[connectionId];
      if (!slot) slot.Attach(new CallbackQueue());
    }
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Ok);
  });
}

int RpcCallbackThread::RemoveConnection(const UUID& connectionId) {
  return CRASH_LOG_GUARD("corvane::RpcCallbackThread::RemoveConnection", [&] {
    if (!initialized_.load()) return NotInitialized();
    {
      ScopedLock lock(mapLock_.get());
      auto it = queues_.find(connectionId);
      if (it != queues_.end()) {
        CallbackQueue* queue = it->second.Get();
        {
          ScopedLock queueLock(queue->lock.get());
          queue->retired = true;
          // The callback in flight is among them: its completion will not
          // subtract it again.
          SubtractPending(static_cast<int>(queue->items.size()));
          LetGoAll(queue->items);
        }
        ScopedLock retiredLock(retiredLock_.get());
        retired_.push_back(std::move(it->second));
        queues_.erase(it);
      }
    }
    Nudge();
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Ok);
  });
}

int RpcCallbackThread::CallBack(const UUID& connectionId, const UUID& objectId, int method, IDataStream* params,
                                IDataStream* response) {
  return CRASH_LOG_GUARD("corvane::RpcCallbackThread::CallBack", [&] {
    if (!initialized_.load()) return NotInitialized();
    LOG_RECORD(record, Log_Severe, 0);
    // A call without parameters could never be sent and would block its
    // connection's queue for good.
    if (!params) return record.ReturnResult(Result_InvalidPointer, "Invalid Pointer");
    std::vector<RefPtr<CallbackInfo>> infos;
    infos.push_back(MakeInfo(connectionId, objectId, method, params, response));
    return record.ReturnResult(PostCallBackInternal(std::move(infos), 0));
  });
}

int RpcCallbackThread::CallBackGroup(const UUID& connectionId, const UUID& objectId, int method,
                                     const std::vector<RefPtr<IDataStream>>& params) {
  return CRASH_LOG_GUARD("corvane::RpcCallbackThread::CallBackGroup", [&] {
    if (!initialized_.load()) return NotInitialized();
    LOG_RECORD(record, Log_Severe, 0);
    std::vector<RefPtr<CallbackInfo>> infos;
    for (const auto& p : params) {
      if (!p) return record.ReturnResult(Result_InvalidPointer, "Invalid Pointer");
      RefPtr<IDataStream> response;
      CreateDataStream(response.Receive());
      infos.push_back(MakeInfo(connectionId, objectId, method, p.Get(), response.Get()));
    }
    if (infos.empty()) return record.ReturnResult(Result_Ok);
    return record.ReturnResult(PostCallBackInternal(std::move(infos), nextGroup_.fetch_add(1)));
  });
}

RefPtr<RpcCallbackThread::CallbackInfo> RpcCallbackThread::MakeInfo(const UUID& connectionId, const UUID& objectId,
                                                                    int method, IDataStream* params,
                                                                    IDataStream* response) {
  RefPtr<CallbackInfo> info(new CallbackInfo(), false);
  info->connectionId = connectionId;
  info->objectId = objectId;
  info->method = method;
  info->params = params;
  info->response = response;
  uint32_t size = 0;
  if (params) params->GetSize(&size);
  info->bytes = size;
  return info;
}

int RpcCallbackThread::PostCallBackInternal(std::vector<RefPtr<CallbackInfo>> infos, uint64_t group) {
  RefPtr<CallbackQueue> queue;
  {
    ScopedLock lock(mapLock_.get());
    auto it = queues_.find(infos.front()->connectionId);
    if (it == queues_.end()) return Result_Ok;
    queue = it->second;
  }
  {
    ScopedLock lock(queue->lock.get());
    // Removed meanwhile: counting it would leave the count too high for ever.
    if (queue->retired) return Result_Ok;
    const CallbackInfo& first = *infos.front();
    auto replaced = [&](const CallbackInfo& old) {
      return group != 0 && old.group != 0 && old.group != queue->startedGroup && old.group != queue->inFlightGroup &&
             old.objectId == first.objectId && old.method == first.method;
    };
    size_t dropped = 0;
    for (const auto& old : queue->items) dropped += replaced(*old);
    bool fits = queue->items.size() - dropped + infos.size() <= kMaxQueuedCallbacks;
    uint64_t heldBytes = 0;
    if (fits) {
      // Tried on the books first: what the group shares with queued
      // callbacks costs nothing more, and what it replaces is given back
      // unless still held elsewhere.
      CheckedLock budget(budgetLock_);
      for (const auto& info : infos) Hold(*info);
      for (const auto& old : queue->items) {
        if (replaced(*old)) LetGo(*old);
      }
      fits = queuedBytes_ <= maxQueuedBytes_;
      if (!fits) {
        for (const auto& old : queue->items) {
          if (replaced(*old)) Hold(*old);
        }
        for (const auto& info : infos) LetGo(*info);
      }
      heldBytes = queuedBytes_;
    }
    if (!fits) {
      LOG_WARNING("callback queue of connection %s full (%zu queued, %llu bytes in all); call refused",
                  first.connectionId.ToString().c_str(), queue->items.size(),
                  static_cast<unsigned long long>(heldBytes));
      return Result_Fail;
    }
    if (dropped != 0) {
      for (auto it = queue->items.begin(); it != queue->items.end();) {
        it = replaced(**it) ? queue->items.erase(it) : it + 1;
      }
      SubtractPending(static_cast<int>(dropped));
    }
    if (queue->items.empty()) queue->lastProgress = GetDefaultScheduler()->GetTickCount64();
    for (auto& info : infos) {
      info->group = group;
      queue->items.push_front(std::move(info));
    }
    pending_.fetch_add(static_cast<int32_t>(infos.size()));
  }
  Nudge();
  return Result_Ok;
}

bool RpcCallbackThread::GetQueueState(const UUID& connectionId, size_t* queued, uint64_t* stalledMs) {
  RefPtr<CallbackQueue> queue;
  {
    ScopedLock lock(mapLock_.get());
    auto it = queues_.find(connectionId);
    if (it == queues_.end()) return false;
    queue = it->second;
  }
  ScopedLock lock(queue->lock.get());
  *queued = queue->items.size();
  const uint64_t now = GetDefaultScheduler()->GetTickCount64();
  *stalledMs = queue->items.empty() || now < queue->lastProgress ? 0 : now - queue->lastProgress;
  return true;
}

void RpcCallbackThread::GetStatistics(int* connections, int* pending) {
  ScopedLock lock(mapLock_.get());
  if (connections) *connections = static_cast<int>(queues_.size());
  if (pending) *pending = std::max(0, pending_.load());
}

void RpcCallbackThread::SubtractPending(int count) {
  int32_t current = pending_.load();
  while (!pending_.compare_exchange_weak(current, std::max(0, current - count))) {
  }
}

void RpcCallbackThread::Hold(const CallbackInfo& info) {
  Holding& holding = held_[info.params.Get()];
  if (holding.holders++ == 0) {
    holding.bytes = info.bytes;
    queuedBytes_ += info.bytes;
  }
}

void RpcCallbackThread::LetGo(const CallbackInfo& info) {
  auto it = held_.find(info.params.Get());
  if (it == held_.end()) return;
  if (--it->second.holders == 0) {
    queuedBytes_ -= it->second.bytes;
    held_.erase(it);
  }
}

void RpcCallbackThread::LetGoAll(const std::deque<RefPtr<CallbackInfo>>& items) {
  CheckedLock budget(budgetLock_);
  for (const auto& item : items) LetGo(*item);
}

void RpcCallbackThread::Nudge() {
  Wake();
  idle_->Set();
}

bool RpcCallbackThread::ThreadFunc() {
  return CRASH_LOG_GUARD("corvane::RpcCallbackThread::ThreadFunc", [&] {
    // Retired queues go once their send in hand is over, so that dropping
    // them only joins an idle work thread.
    std::vector<RefPtr<CallbackQueue>> done;
    {
      ScopedLock lock(retiredLock_.get());
      for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->inFlight.load()) {
          ++it;
        } else {
          done.push_back(std::move(*it));
          it = retired_.erase(it);
        }
      }
    }
    done.clear();

    RefPtr<CallbackQueue> queue;
    RefPtr<CallbackInfo> info;
    bool waitingRetired = false;
    {
      ScopedLock lock(mapLock_.get());
      {
        ScopedLock retiredLock(retiredLock_.get());
        waitingRetired = !retired_.empty();
      }
      if (queues_.empty() && !waitingRetired) return false;
      auto start = queues_.find(cursor_);
      if (cursor_ == UUID() || start == queues_.end()) start = queues_.begin();
      const uint64_t now = GetDefaultScheduler()->GetTickCount64();
      // One round at most, from the cursor on, starting the first send
      // that can be started.
      auto it = start;
      if (!queues_.empty()) do {
        CallbackQueue* candidate = it->second.Get();
        ++it;
        if (it == queues_.end()) it = queues_.begin();
        if (candidate->inFlight.load()) continue;
        ScopedLock queueLock(candidate->lock.get());
        if (candidate->items.empty() || now < candidate->retryAfter) continue;
        info = candidate->items.back();
        candidate->inFlightGroup = info->group;
        candidate->inFlight.store(true);
        queue = candidate;
        break;
      } while (it != start);
      cursor_ = queues_.empty() ? UUID() : it->first;
    }

    if (info) {
      CallbackQueue* target = queue.Get();
      // The task holds no queue reference: the queue's owner joins the work
      // thread before the queue goes, so no work thread ever joins itself.
      auto task = [this, target, info] { SendTask(target, info); };
      if (!queue->worker->Post(std::move(task))) queue->inFlight.store(false);
      return !stop_.load();
    }
    if (stop_.load()) return false;
    if (pending_.load() > 0 || waitingRetired) {
      // Nothing can be started now: in flight, or unwritable and waiting to
      // be asked again. Sleep until a send finishes or new work arrives.
      idle_->Wait(kIdleWaitMs);
      return true;
    }
    return false;
  });
}

int RpcCallbackThread::SendCallBackInternal(CallbackInfo* info) {
  RefPtr<ITransport> transport;
  rpc_->GetTransport(transport.Receive());
  if (!transport) {
    LOG_SEVERE("RpcCallback execution failed");
    return Result_NotInitialized;
  }
  bool ready = false;
  // A connection the transport does not know counts as not ready.
  if (transport->ConnectionReadyForWrite(info->connectionId, &ready) < 0 || !ready) return Result_WriteTimeout;
  RefPtr<IDataStream> response = info->response;
  if (!response) CreateDataStream(response.Receive());
  const int result = rpc_->Execute(info->connectionId, info->objectId, info->method, info->params.Get(),
                                   response.Get(), 0);
  if (result < 0) LOG_SEVERE("RpcCallback execution failed");
  return result;
}

void RpcCallbackThread::SendTask(CallbackQueue* queue, RefPtr<CallbackInfo> info) {
  CRASH_LOG_GUARD("corvane::RpcCallbackThread::SendTask", [&] {
    const int result = stop_.load() ? Result_Fail : SendCallBackInternal(info.Get());
    {
      ScopedLock lock(queue->lock.get());
      if (result >= 0) {
        // Replaced meanwhile: the replacement already took it off the counts.
        const bool listed = !queue->items.empty() && queue->items.back().Get() == info.Get();
        if (listed) queue->items.pop_back();
        if (listed && !queue->retired) {
          SubtractPending(1);
          CheckedLock budget(budgetLock_);
          LetGo(*info);
        }
        queue->lastProgress = GetDefaultScheduler()->GetTickCount64();
        queue->startedGroup = info->group;
      } else {
        queue->retryAfter = GetDefaultScheduler()->GetTickCount64() + kRetryDelayMs;
      }
    }
    {
      ScopedLock lock(queue->lock.get());
      queue->inFlightGroup = 0;
    }
    info.Reset();
    queue->inFlight.store(false);
    if (result >= 0) idle_->Set();
  });
}

}  // namespace corvane
