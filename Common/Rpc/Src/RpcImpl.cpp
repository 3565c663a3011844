#include <map>
#include <memory>
#include <string>

#include "IRpc.h"
#include "Locks.h"
#include "Logger.h"
#include "Scheduler.h"
#include "ThreadAnnotations.h"

namespace corvane {

class RpcImpl final : public IRpc, public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  RpcImpl();
  ~RpcImpl() override;

  int SetTransport(ITransport* transport, int unused) override;
  int Detach() override;
  int Execute(const UUID& connectionId, const UUID& objectId, int method, IDataStream* params,
              IDataStream* response, uint32_t timeoutMs) override;
  int RegisterStub(const UUID& objectId, IStub* stub) override;
  int UnregisterStub(const UUID& objectId) override;
  int GetTransport(ITransport** out) override;

  int OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) override;
  int OnEvent(const UUID& connectionId, int event) override;

 private:
  // One outstanding call. Everything but the event is guarded by the
  // pending-call lock; `finished` makes completion happen once, so a late
  // or repeated response never reaches a caller that has moved on.
  struct CallContext final : public IRefCountImpl {
    UUID callId;
    int32_t result = 0;
    RefPtr<IDataStream> response;
    bool finished = false;
    std::unique_ptr<Scheduler::Event> done{GetDefaultScheduler()->CreateEvent(false, false)};
  };

  void ReceiveRequest(const UUID& connectionId, uint8_t kind, IDataStream* data, uint32_t remaining);
  int ReceiveResponse(IDataStream* data, uint32_t remaining);
  RefPtr<ITransport> HeldTransport();
  RefPtr<IStub> FindStub(const UUID& objectId, RefPtr<IRefCount>* owner);

  // Locks: transportLock_, pendingLock_ and stubLock_ are leaves, each taken
  // alone and let go before any call out (to the transport, a stub, or a
  // waiting caller's event), so the RPC layer adds no nesting to what its
  // callers hold. No path takes one twice, so they are checked locks.
  //
  // Guards only the pointer: a reference is taken before any call out.
  CheckedMutex transportLock_;
  RefPtr<ITransport> transport_ GUARDED_BY(transportLock_);
  CheckedMutex pendingLock_;
  std::map<UUID, RefPtr<CallContext>> pending_ GUARDED_BY(pendingLock_);
  CheckedMutex stubLock_;
  std::map<UUID, RefPtr<IStub>> stubs_ GUARDED_BY(stubLock_);
};

namespace {

// Formatting a result line costs two UUID texts; skip it when nobody reads it.
bool ResultLineEnabled(int result) {
  bool on = false;
  GetLoggerInstance()->IsEnabled(result < 0 ? Log_Severe : Log_Spew, result < 0 ? 0 : 3, &on);
  return on;
}

RefPtr<IDataStream> NewStream() {
  IDataStream* raw = nullptr;
  CreateDataStream(&raw);
  return RefPtr<IDataStream>(raw, false);
}

uint32_t Remaining(IDataStream* data) {
  uint32_t size = 0, position = 0;
  if (data->GetSize(&size) < 0 || data->GetPosition(&position) < 0 || position > size) return 0;
  return size - position;
}

}  // namespace

RpcImpl::RpcImpl() = default;

RpcImpl::~RpcImpl() {
  RefPtr<ITransport> transport;
  {
    CheckedLock lock(transportLock_);
    transport = std::move(transport_);
  }
  if (transport) transport->RemoveNotify(this);
  transport.Reset();
  {
    CheckedLock lock(pendingLock_);
    // A caller still waiting holds its own reference; it times out normally.
    pending_.clear();
  }
  CheckedLock lock(stubLock_);
  stubs_.clear();
}

int CreateRpc(IRpc** out) {
  if (!out) return Result_InvalidPointer;
  *out = nullptr;
  try {
    *out = new RpcImpl();
  } catch (...) {
    return Result_Fail;
  }
  return Result_Ok;
}

RefPtr<ITransport> RpcImpl::HeldTransport() {
  CheckedLock lock(transportLock_);
  return transport_;
}

int RpcImpl::SetTransport(ITransport* transport, int /*unused*/) {
  if (!transport) return Result_InvalidPointer;
  RefPtr<ITransport> old;
  {
    CheckedLock lock(transportLock_);
    if (transport_.Get() != transport) {
      old = std::move(transport_);
      transport_ = transport;
    }
  }
  // The old transport must not go on delivering to an endpoint that has
  // left it (nor to freed memory once the endpoint is gone).
  if (old) old->RemoveNotify(this);
  transport->AddNotify(this);
  return Result_Ok;
}

int RpcImpl::Detach() {
  RefPtr<ITransport> old;
  {
    CheckedLock lock(transportLock_);
    old = std::move(transport_);
  }
  if (!old) return Result_NotInitialized;
  old->RemoveNotify(this);
  return Result_Ok;
}

int RpcImpl::GetTransport(ITransport** out) {
  if (!out) return Result_InvalidPointer;
  RefPtr<ITransport> held = HeldTransport();
  *out = held.Detach();
  return *out ? Result_Ok : Result_NotInitialized;
}

int RpcImpl::RegisterStub(const UUID& objectId, IStub* stub) {
  if (!stub) return Result_InvalidPointer;
  CheckedLock lock(stubLock_);
  auto [it, inserted] = stubs_.try_emplace(objectId);
  if (!inserted) return Result_Fail;
  it->second = stub;
  return Result_Ok;
}

int RpcImpl::UnregisterStub(const UUID& objectId) {
  RefPtr<IStub> removed;
  {
    CheckedLock lock(stubLock_);
    auto it = stubs_.find(objectId);
    if (it == stubs_.end()) return Result_Fail;
    removed = std::move(it->second);
    stubs_.erase(it);
  }
  // Released outside the lock: a stub's destructor may call back in.
  return Result_Ok;
}

int RpcImpl::Execute(const UUID& connectionId, const UUID& objectId, int method, IDataStream* params,
                     IDataStream* response, uint32_t timeoutMs) {
  if (!params || !response) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_InvalidPointer, "Invalid Pointer");
  }
  const uint32_t waitMs = EffectiveRpcTimeout(timeoutMs);
  const bool oneWay = waitMs == 0;

  RefPtr<CallContext> context(new CallContext(), false);
  context->callId.Generate();
  context->response = response;
  {
    // In the map before anything is sent, so an early response finds it.
    CheckedLock lock(pendingLock_);
    pending_[context->callId] = context;
  }
  auto forget = [&] {
    CheckedLock lock(pendingLock_);
    context->finished = true;
    context->response.Reset();
    pending_.erase(context->callId);
  };

  RefPtr<IDataStream> header = NewStream();
  RefPtr<IDataStream> message;
  int result = header ? Result_Ok : Result_Fail;
  if (result >= 0) {
    header->WriteUInt8(oneWay ? RpcMessageKind_OneWay : RpcMessageKind_Request);
    objectId.Serialize(header.Get());
    header->WriteUInt16(static_cast<uint16_t>(method));
    context->callId.Serialize(header.Get());
    result = ConcatenateDataStreams(header.Get(), params, message.Receive());
  }
  if (result >= 0) {
    RefPtr<ITransport> transport = HeldTransport();
    result = transport ? transport->Write(connectionId, RpcChannelType, message.Get()) : Result_NotInitialized;
  }
  if (result < 0) {
    forget();
    LOG_SEVERE("Failed Transport Write, %x", static_cast<unsigned>(result));
    return result;
  }
  if (oneWay) {
    forget();
    LOG_RECORD(record, Log_Spew, 3);
    return record.ReturnResult(Result_Ok, "No Response Required");
  }

  const bool signalled = context->done->Wait(waitMs);
  bool answered;
  {
    CheckedLock lock(pendingLock_);
    // A response that completed the call just after the wait gave up still
    // counts: its body is already in the caller's stream.
    answered = signalled || context->finished;
    context->finished = true;
    context->response.Reset();
    pending_.erase(context->callId);
    result = answered ? context->result : Result_Timeout;
  }
  LOG_RECORD(record, Log_Spew, 3);
  if (!ResultLineEnabled(answered ? result : Result_Timeout)) return record.ReturnResult(result);
  const std::string connection = connectionId.ToString();
  const std::string object = objectId.ToString();
  const unsigned methodNumber = static_cast<uint16_t>(method);
  if (answered) {
    return record.ReturnResult(result, "Response Complete; Connection: %s Object: %s Method: %d", connection.c_str(),
                               object.c_str(), methodNumber);
  }
  return record.ReturnResult(Result_Timeout, "Timeout Connection: %s Object: %s Method: %d (%d ms)",
                             connection.c_str(), object.c_str(), methodNumber, static_cast<int>(waitMs));
}

int RpcImpl::OnEvent(const UUID& /*connectionId*/, int /*event*/) { return Result_Ok; }

int RpcImpl::OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) {
  if (messageType != RpcChannelType || !data) return Result_Ok;
  uint32_t remaining = Remaining(data);
  uint8_t kind = 0;
  // An empty record has no kind at all.
  if (remaining == 0 || data->ReadUInt8(&kind) < 0) return Result_Ok;
  --remaining;
  switch (kind) {
    case RpcMessageKind_Request:
    case RpcMessageKind_OneWay:
      ReceiveRequest(connectionId, kind, data, remaining);
      return Result_Ok;
    case RpcMessageKind_Response:
      return ReceiveResponse(data, remaining);
    default:
      return Result_Ok;
  }
}

RefPtr<IRpc::IStub> RpcImpl::FindStub(const UUID& objectId, RefPtr<IRefCount>* owner) {
  CheckedLock lock(stubLock_);
  auto it = stubs_.find(objectId);
  if (it == stubs_.end()) return {};
  IRefCount* candidate = it->second->GetOwner();
  if (candidate) {
    // An owner being destroyed no longer answers for its stub.
    if (candidate->TryAddRef() == 0) return {};
    owner->Attach(candidate);
  }
  return it->second;
}

void RpcImpl::ReceiveRequest(const UUID& connectionId, uint8_t kind, IDataStream* data, uint32_t remaining) {
  // Without the whole header the object, method and call would be garbage.
  if (remaining < kRpcRequestHeaderSize - 1) {
    LOG_SPEW(2, "Short request dropped (%u bytes)", remaining + 1);
    return;
  }
  UUID objectId, callId;
  uint16_t method = 0;
  if (objectId.Deserialize(data) < 0 || data->ReadUInt16(&method) < 0 || callId.Deserialize(data) < 0) return;

  RefPtr<IRefCount> owner;
  RefPtr<IStub> stub = FindStub(objectId, &owner);
  RefPtr<IDataStream> response = NewStream();
  if (!response) return;
  int32_t result = Result_NoSuchStub;
  if (stub) {
    result = stub->ExecuteStub(this, connectionId, &objectId, method, data, response.Get());
    if (result < 0) response->Clear();
  }
  if (kind != RpcMessageKind_Request) return;

  uint32_t size = 0;
  response->GetSize(&size);
  RefPtr<IDataStream> header = NewStream();
  RefPtr<IDataStream> record;
  if (!header) return;
  header->WriteUInt8(RpcMessageKind_Response);
  callId.Serialize(header.Get());
  header->WriteInt32(result);
  header->WriteUInt32(size);
  if (ConcatenateDataStreams(header.Get(), response.Get(), record.Receive()) < 0) return;
  RefPtr<ITransport> transport = HeldTransport();
  if (!transport) return;
  // The caller times out on its own if this reply is lost.
  transport->BeginWrite();
  transport->Write(connectionId, RpcChannelType, record.Get());
  transport->EndWrite();
}

int RpcImpl::ReceiveResponse(IDataStream* data, uint32_t remaining) {
  UUID callId;
  // Without a call id nothing can be completed.
  if (remaining < 16 || callId.Deserialize(data) < 0) return Result_Fail;
  remaining -= 16;
  int32_t result = 0;
  uint32_t length = 0;
  std::unique_ptr<uint8_t[]> body;
  if (remaining < 8 || data->ReadInt32(&result) < 0 || data->ReadUInt32(&length) < 0 || length > remaining - 8) {
    // Truncated: fail the call rather than report bytes never received.
    result = Result_InvalidArgument;
    length = 0;
  } else if (length > 0) {
    // Sized by the bytes actually present (checked above), never by the
    // peer's word alone.
    body.reset(new uint8_t[length]);
    if (data->Read(body.get(), length) < 0) {
      body.reset();
      result = Result_InvalidArgument;
      length = 0;
    }
  }

  RefPtr<CallContext> context;
  {
    CheckedLock lock(pendingLock_);
    auto it = pending_.find(callId);
    if (it == pending_.end() || it->second->finished) return Result_Fail;
    context = it->second;
    context->result = result;
    context->finished = true;
    // Written under the lock, so it can never race the caller giving up.
    if (body && context->response && context->response->AttachBuffer(body.get(), length) >= 0) body.release();
    if (body && context->response) context->response->Write(body.get(), length);
    context->response.Reset();
  }
  context->done->Set();
  return Result_Ok;
}

}  // namespace corvane
