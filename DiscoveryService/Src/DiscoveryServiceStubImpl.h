// The RPC face of the protocol-1 service, registered under
// DiscoveryServiceStubId. It runs on the RPC endpoint's delivery thread.
//
// Requests (IDataStream encoding: little-endian, bool one byte, strings a
// u32 length and the bytes, UUIDs 16 bytes):
//   0 AddNotify       callback connection id (16)          -> nothing
//   1 RemoveNotify    nothing                              -> nothing, always 0
//   2 RequestDisplayEnumeration  bool extended, u64 knownStamp (unread
//                     bytes count as false and 0)          -> u64 currentStamp
//   4 UpdateDisplay   id, name, secondaryName (name first), u32 ipv4,
//                     u16 port, u32 flags (missing: 1), appData (missing:
//                     empty)                                -> nothing
//   3, 5 and above    nothing read or written, 0
// A request of method 0 too short for its UUID gives Result_InvalidArgument
// and registers nothing; a method-4 request cut before `flags` gives the
// failed read's code and stores nothing. A negative service result goes back
// with no body.
//
// Enumeration callback (method 0 on DiscoveryServiceStubId, one-way, over the
// callback transport), per batch: in extended mode the 36 ASCII bytes of
// DisplayEnumerationFormatId and u16 1; u32 count (at most 1000); the records
// (id, secondaryName, name, u32 ipv4, u16 port, u32 flags, and appData in
// extended mode only); bool last. An empty list is u32 0 and true alone.
#pragma once

#include <shared_mutex>
#include <string>
#include <vector>

#include "DisplayInfo.h"
#include "IRpc.h"
#include "RefCount.h"
#include "ThreadAnnotations.h"
#include "Uuid.h"

namespace corvane::talvenor::server {

class TalvenorDiscoveryService;

// a0a14dd0-daad-11e3-9c1a-0800200c9a66
inline const UUID DiscoveryServiceStubId{0xa0a14dd0u, 0xdaadu, 0x11e3u, 0x9c1a0800200c9a66ull};
inline constexpr char DisplayEnumerationFormatId[] = "70c61d80-58b3-4b56-822a-35ed79be5840";
inline constexpr uint16_t kDisplayEnumerationFormatVersion = 1;

enum DiscoveryServiceMethod : int {
  DiscoveryServiceMethod_AddNotify = 0,
  DiscoveryServiceMethod_RemoveNotify = 1,
  DiscoveryServiceMethod_RequestDisplayEnumeration = 2,
  DiscoveryServiceMethod_UpdateDisplay = 4,
  // The enumeration callback, on the client's side.
  DiscoveryServiceMethod_DisplayEnumeration = 0,
};

// Writes one enumeration batch: the records of list from first, count of
// them, and the last flag. The empty list's batch (count 0) never carries
// the format header.
void WriteDisplayEnumerationBatch(IDataStream* out, bool extended,
                                  const std::vector<IDiscoveryService::DisplayInfo>& list, size_t first, size_t count,
                                  bool last);

class DiscoveryServiceStubImpl : public IRpc::IStub, public virtual IRefCountImpl {
 public:
  explicit DiscoveryServiceStubImpl(TalvenorDiscoveryService* service);
  ~DiscoveryServiceStubImpl() override;

  // Null: the service's liveness is managed by DetachService instead.
  IRefCount* GetOwner() override;
  int ExecuteStub(IRpc* rpc, UUID callerId, const UUID* objectId, int method, IDataStream* request,
                  IDataStream* response) override;
  // DiscoveryServiceStubId.
  int GetObjectId(UUID* out) override;
  // The constructor already initialises: Result_AlreadyInitialized.
  virtual int Initialize();

  // Waits for calls in progress, then answers every later call with
  // Result_NotInitialized. The service calls it before it goes away.
  void DetachService();

 private:
  int Dispatch(TalvenorDiscoveryService* service, const UUID& callerId, int method, IDataStream* request,
               IDataStream* response);

  bool initialized_ = false;
  // Outermost of the protocol-1 service's locks: each call runs under it
  // shared and takes the service's lock_ inside; DetachService takes it
  // exclusively, so it waits for calls in progress.
  CheckedSharedMutex serviceLock_;
  TalvenorDiscoveryService* service_ GUARDED_BY(serviceLock_);
};

}  // namespace corvane::talvenor::server
