#include "NotificationThread.h"

#include <algorithm>
#include <vector>

#include "CrashLog.h"
#include "DataStream.h"
#include "DeletionThread.h"
#include "TransportDeferredRelease.h"
#include "Locks.h"
#include "Logger.h"
#include "Result.h"

namespace corvane {

namespace {

// A view of the message from its current read position, so that every
// receiver reads from its start and the caller's stream does not move.
IDataStream* MakeView(IDataStream* data) {
  uint32_t position = 0;
  uint32_t size = 0;
  IDataStream* view = nullptr;
  if (Failed(data->GetPosition(&position)) || Failed(data->GetSize(&size)) ||
      Failed(CreateSubStream(data, position, size, &view))) {
    return nullptr;
  }
  return view;
}

template <class T>
void WritePointer(IDataStream* stream, T* pointer) {
  stream->Write(&pointer, sizeof(pointer));
}

template <class T>
T* ReadPointer(IDataStream* stream) {
  T* pointer = nullptr;
  if (Failed(stream->Read(&pointer, sizeof(pointer)))) return nullptr;
  return pointer;
}

}  // namespace

NotificationThread::NotificationThread(bool asyncNotify)
    : asyncNotify_(asyncNotify),
      receiverLock_(GetDefaultScheduler()->CreateFastMutex()),
      pendingMonitor_(GetDefaultScheduler()->CreateMonitor()) {
  // Registered before anyone can deliver: transports are made and
  // initialised under their owners' locks, which receivers take again while
  // a delivery holds the stub lock.
  AddFirstStub(UUID(), this);
}

NotificationThread::~NotificationThread() {
  CRASH_LOG_GUARD_NOTHROW("corvane::NotificationThread::~NotificationThread", [&] {
    Stop();
    discarding_ = true;
    ProcessQueue();
    RemoveStub(UUID());
  });
}

int NotificationThread::Initialize() {
  return CRASH_LOG_GUARD("corvane::NotificationThread::Initialize", [&] {
    SetName("xport-notify");
    Start(kInfinite);
    return static_cast<int>(Result_Ok);
  });
}

int NotificationThread::AddNotify(ITransport::ITransportNotify* receiver) {
  return CRASH_LOG_GUARD("corvane::NotificationThread::AddNotify", [&] {
    if (!receiver) return static_cast<int>(Result_InvalidPointer);
    ScopedLock lock(receiverLock_.get());
    receivers_.insert(receiver);
    return static_cast<int>(Result_Ok);
  });
}

int NotificationThread::RemoveNotify(ITransport::ITransportNotify* receiver) {
  return CRASH_LOG_GUARD("corvane::NotificationThread::RemoveNotify", [&] {
    ScopedLock lock(receiverLock_.get());
    receivers_.erase(receiver);
    return static_cast<int>(Result_Ok);
  });
}

void NotificationThread::RemoveAllNotify() {
  ScopedLock lock(receiverLock_.get());
  receivers_.clear();
}

int NotificationThread::SetDataHook(ITransport::IDataHook* hook) {
  ScopedLock lock(receiverLock_.get());
  if (hook && hook_) return Result_Fail;
  hook_ = hook;
  return Result_Ok;
}

int NotificationThread::OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) {
  return CRASH_LOG_GUARD("corvane::NotificationThread::OnDataReady", [&]() -> int {
    if (!data) return Result_InvalidPointer;
    UUID type = messageType;
    // The hook gets this reference: it releases it when it replaces or
    // clears the stream, and a replacement carries one of its own.
    IDataStream* current = data;
    current->AddRef();
    ITransport::PostReceiveTask* task = nullptr;
    ITransport::IDataHook* hook = nullptr;
    {
      ScopedLock lock(receiverLock_.get());
      if (hook_ && hook_->TryAddRef() > 0) hook = hook_;
    }
    if (hook) {
      const int hookResult = hook->PreOnDataReady(connectionId, &type, &current, &task);
      ReleaseDeferred(hook);
      if (Failed(hookResult) || !current) {
        if (task) {
          task->Run();
          ReleaseDeferred(task);
        }
        if (current) current->Release();
        return hookResult;
      }
    }

    if (asyncNotify_) {
      ScopedLock lock(receiverLock_.get());
      for (ITransport::ITransportNotify* receiver : receivers_) {
        if (receiver->TryAddRef() <= 0) continue;
        IDataStream* view = MakeView(current);
        RefPtr<IDataStream> request;
        if (!view || Failed(CreateDataStream(request.Receive()))) {
          if (view) view->Release();
          ReleaseDeferred(receiver);
          continue;
        }
        if (task) task->AddRef();
        uint32_t viewSize = 0;
        view->GetSize(&viewSize);
        AddPending(connectionId, viewSize);
        type.Serialize(request.Get());
        WritePointer(request.Get(), view);
        WritePointer(request.Get(), receiver);
        connectionId.Serialize(request.Get());
        WritePointer(request.Get(), task);
        request->WriteUInt32(viewSize);
        if (Failed(Execute(UUID(), kDeliverMethod, request.Get(), nullptr, 0, nullptr))) {
          SubtractPending(connectionId, viewSize);
          view->Release();
          ReleaseDeferred(receiver);
          ReleaseDeferred(task);
        }
      }
      Wake();
    } else {
      std::vector<ITransport::ITransportNotify*> live;
      {
        ScopedLock lock(receiverLock_.get());
        for (ITransport::ITransportNotify* receiver : receivers_) {
          if (receiver->TryAddRef() > 0) live.push_back(receiver);
        }
      }
      for (ITransport::ITransportNotify* receiver : live) {
        // A stream that cannot give a view is not handed on as null.
        if (IDataStream* view = MakeView(current)) {
          receiver->OnDataReady(connectionId, type, view);
          view->Release();
        }
      }
      for (ITransport::ITransportNotify* receiver : live) ReleaseDeferred(receiver);
      if (task) task->Run();
    }
    ReleaseDeferred(task);
    current->Release();
    return Result_Ok;
  });
}

int NotificationThread::OnEvent(const UUID& connectionId, int event) {
  return CRASH_LOG_GUARD("corvane::NotificationThread::OnEvent", [&] {
    std::vector<ITransport::ITransportNotify*> live;
    {
      ScopedLock lock(receiverLock_.get());
      for (ITransport::ITransportNotify* receiver : receivers_) {
        if (receiver->TryAddRef() > 0) live.push_back(receiver);
      }
    }
    for (ITransport::ITransportNotify* receiver : live) receiver->OnEvent(connectionId, event);
    for (ITransport::ITransportNotify* receiver : live) ReleaseDeferred(receiver);
    return static_cast<int>(Result_Ok);
  });
}

int NotificationThread::PostEvent(const UUID& connectionId, int event) {
  return CRASH_LOG_GUARD("corvane::NotificationThread::PostEvent", [&]() -> int {
    RefPtr<IDataStream> request;
    if (Succeeded(CreateDataStream(request.Receive()))) {
      connectionId.Serialize(request.Get());
      request->WriteInt32(event);
      if (Succeeded(Execute(UUID(), kEventMethod, request.Get(), nullptr, 0, nullptr))) {
        Wake();
        return static_cast<int>(Result_Ok);
      }
    }
    // Not queued: the event is not lost.
    return OnEvent(connectionId, event);
  });
}

int NotificationThread::ExecuteStub(const UUID&, int method, IRefCount* request, IRefCount* reply) {
  (void)reply;
  return CRASH_LOG_GUARD("corvane::NotificationThread::ExecuteStub", [&]() -> int {
    if (method != kDeliverMethod && method != kEventMethod) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_Fail, "Invalid method Id");
    }
    auto* stream = dynamic_cast<IDataStream*>(request);
    if (!stream) return Result_InvalidPointer;
    if (method == kEventMethod) {
      UUID connectionId;
      int32_t event = 0;
      connectionId.Deserialize(stream);
      stream->ReadInt32(&event);
      if (!discarding_.load()) OnEvent(connectionId, event);
      return static_cast<int>(Result_Ok);
    }
    UUID type;
    UUID connectionId;
    type.Deserialize(stream);
    auto* data = ReadPointer<IDataStream>(stream);
    auto* receiver = ReadPointer<ITransport::ITransportNotify>(stream);
    connectionId.Deserialize(stream);
    auto* task = ReadPointer<ITransport::PostReceiveTask>(stream);
    uint32_t counted = 0;
    stream->ReadUInt32(&counted);
    if (!discarding_.load() && receiver && data) {
      receiver->OnDataReady(connectionId, type, data);
      if (task) task->Run();
    }
    SubtractPending(connectionId, counted);
    if (data) data->Release();
    ReleaseDeferred(task);
    ReleaseDeferred(receiver);
    return Result_Ok;
  });
}

void NotificationThread::AddPending(const UUID& connectionId, uint64_t bytes) {
  MonitorGuard guard(pendingMonitor_.get());
  pendingBytes_[connectionId] += bytes;
}

void NotificationThread::SubtractPending(const UUID& connectionId, uint64_t bytes) {
  MonitorGuard guard(pendingMonitor_.get());
  auto it = pendingBytes_.find(connectionId);
  if (it == pendingBytes_.end()) return;
  it->second -= std::min(it->second, bytes);
  if (it->second == 0) pendingBytes_.erase(it);
  pendingMonitor_->NotifyAll();
}

uint64_t NotificationThread::PendingBytes(const UUID& connectionId) {
  MonitorGuard guard(pendingMonitor_.get());
  auto it = pendingBytes_.find(connectionId);
  return it == pendingBytes_.end() ? 0 : it->second;
}

bool NotificationThread::WaitPendingAtMost(const UUID& connectionId, uint64_t limit, uint32_t timeoutMs) {
  MonitorGuard guard(pendingMonitor_.get());
  auto it = pendingBytes_.find(connectionId);
  if (it == pendingBytes_.end() || it->second <= limit) return true;
  pendingMonitor_->Wait(timeoutMs);
  it = pendingBytes_.find(connectionId);
  return it == pendingBytes_.end() || it->second <= limit;
}

void NotificationThread::Discard() {
  discarding_.store(true);
  Wake();
}

bool NotificationThread::ThreadFunc() {
  return CRASH_LOG_GUARD("corvane::NotificationThread::ThreadFunc", [&] {
    if (TryAddRef() <= 0) return false;
    ProcessQueue();
    ReleaseDeferred(this);
    return false;
  });
}

}  // namespace corvane
