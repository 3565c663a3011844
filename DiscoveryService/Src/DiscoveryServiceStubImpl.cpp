#include "DiscoveryServiceStubImpl.h"

#include <cstring>
#include <mutex>

#include "CrashLog.h"
#include "DiscoveryService.h"
#include "Logger.h"
#include "Result.h"

namespace corvane::talvenor::server {

namespace {

#define STUB_FUNCTION(name) "corvane::talvenor::server::DiscoveryServiceStubImpl::" name

constexpr uint32_t kUuidBytes = 16;

uint32_t Remaining(IDataStream* stream) {
  uint32_t size = 0, position = 0;
  stream->GetSize(&size);
  stream->GetPosition(&position);
  return size > position ? size - position : 0;
}

}  // namespace

void WriteDisplayEnumerationBatch(IDataStream* out, bool extended,
                                  const std::vector<IDiscoveryService::DisplayInfo>& list, size_t first, size_t count,
                                  bool last) {
  if (extended && count > 0) {
    out->Write(DisplayEnumerationFormatId, static_cast<uint32_t>(std::strlen(DisplayEnumerationFormatId)));
    out->WriteUInt16(kDisplayEnumerationFormatVersion);
  }
  out->WriteUInt32(static_cast<uint32_t>(count));
  for (size_t i = first; i < first + count; ++i) {
    const IDiscoveryService::DisplayInfo& d = list[i];
    d.id.Serialize(out);
    out->WriteString(d.secondaryName);
    out->WriteString(d.name);
    out->WriteUInt32(d.ipv4);
    out->WriteUInt16(d.port);
    out->WriteUInt32(d.flags);
    if (extended) out->WriteString(d.appData);
  }
  out->WriteBool(last);
}

DiscoveryServiceStubImpl::DiscoveryServiceStubImpl(TalvenorDiscoveryService* service) : service_(service) {
  CRASH_LOG_GUARD(STUB_FUNCTION("DiscoveryServiceStubImpl"), [&] { initialized_ = true; });
}

DiscoveryServiceStubImpl::~DiscoveryServiceStubImpl() {
  CRASH_LOG_GUARD_NOTHROW(STUB_FUNCTION("~DiscoveryServiceStubImpl"), [] {});
}

IRefCount* DiscoveryServiceStubImpl::GetOwner() { return nullptr; }

void DiscoveryServiceStubImpl::DetachService() {
  CheckedWriteLock hold(serviceLock_);
  service_ = nullptr;
}

int DiscoveryServiceStubImpl::GetObjectId(UUID* out) {
  return CRASH_LOG_GUARD(STUB_FUNCTION("GetObjectId"), [&]() -> int {
    if (!initialized_) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_NotInitialized, "Not initialized.");
    }
    if (out == nullptr) return Result_InvalidPointer;
    *out = DiscoveryServiceStubId;
    return Result_Ok;
  });
}

int DiscoveryServiceStubImpl::Initialize() {
  return CRASH_LOG_GUARD(STUB_FUNCTION("Initialize"), [&]() -> int {
    if (initialized_) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_AlreadyInitialized, "Already initialized");
    }
    initialized_ = true;
    return Result_Ok;
  });
}

int DiscoveryServiceStubImpl::ExecuteStub(IRpc*, UUID callerId, const UUID*, int method, IDataStream* request,
                                          IDataStream* response) {
  return CRASH_LOG_GUARD(STUB_FUNCTION("ExecuteStub"), [&]() -> int {
    // Held for the whole call, so DetachService waits for it.
    CheckedReadLock hold(serviceLock_);
    if (!initialized_ || service_ == nullptr) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_NotInitialized, "Not initialized.");
    }
    return Dispatch(service_, callerId, method, request, response);
  });
}

int DiscoveryServiceStubImpl::Dispatch(TalvenorDiscoveryService* service, const UUID& callerId, int method,
                                       IDataStream* request, IDataStream* response) {
  LOG_RECORD(record, Log_Severe, 0);
  if (request == nullptr || response == nullptr) return record.ReturnResult(Result_InvalidPointer);
  switch (method) {
    case DiscoveryServiceMethod_AddNotify: {
      // A short id would register a connection nobody has.
      UUID callbackConnectionId;
      if (Remaining(request) < kUuidBytes || Failed(callbackConnectionId.Deserialize(request))) {
        return record.ReturnResult(Result_InvalidArgument);
      }
      return record.ReturnResult(service->AddNotify(callerId, callbackConnectionId, DiscoveryServiceStubId));
    }
    case DiscoveryServiceMethod_RemoveNotify:
      service->RemoveNotify(callerId);
      return record.ReturnResult(Result_Ok);
    case DiscoveryServiceMethod_RequestDisplayEnumeration: {
      bool extended = false;
      uint64_t knownStamp = 0;
      if (Failed(request->ReadBool(&extended))) extended = false;
      if (Failed(request->ReadUInt64(&knownStamp))) knownStamp = 0;
      uint64_t currentStamp = 0;
      const int result = service->RequestDisplayEnumeration(callerId, extended, knownStamp, &currentStamp);
      if (Failed(result)) return record.ReturnResult(result);
      response->WriteUInt64(currentStamp);
      return record.ReturnResult(result);
    }
    case DiscoveryServiceMethod_UpdateDisplay: {
      UUID id;
      std::string name, secondaryName, appData;
      uint32_t ipv4 = 0, flags = 0;
      uint16_t port = 0;
      int result = Remaining(request) < kUuidBytes ? Result_Fail : id.Deserialize(request);
      if (Succeeded(result)) result = request->ReadString(&name);
      if (Succeeded(result)) result = request->ReadString(&secondaryName);
      if (Succeeded(result)) result = request->ReadUInt32(&ipv4);
      if (Succeeded(result)) result = request->ReadUInt16(&port);
      if (Failed(result)) return record.ReturnResult(result);
      if (Failed(request->ReadUInt32(&flags))) flags = 1;
      if (Failed(request->ReadString(&appData))) appData.clear();
      return record.ReturnResult(
          service->UpdateDisplay(id, name, secondaryName, &ipv4, port, flags, appData, callerId));
    }
    default:
      return record.ReturnResult(Result_Ok);
  }
}

}  // namespace corvane::talvenor::server
