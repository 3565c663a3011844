// The remote-procedure-call endpoint: objects registered under a UUID are
// called by method number over one ITransport. The same endpoint is client
// and server.
//
// Records travel as transport messages of type RpcChannelType; integers are
// little-endian, UUIDs in their 16-byte wire form:
//   request:  kind (0 two-way, 1 one-way) | object | u16 method | call | params
//   response: kind 2 | call | i32 result | u32 n | n body bytes
// A record of another kind, or too short for its fields, is dropped; a
// response whose body is shorter than n completes its call with
// Result_InvalidArgument and no body.
#pragma once

#include <cstdint>

#include "DataStream.h"
#include "ITransport.h"
#include "RefCount.h"
#include "Result.h"
#include "Uuid.h"

namespace corvane {

// 7a49fb65-09ab-11de-8c30-0800200c9a66
inline const UUID RpcChannelType{0x7a49fb65u, 0x09abu, 0x11deu, 0x8c300800200c9a66ull};

enum RpcMessageKind : uint8_t {
  RpcMessageKind_Request = 0,
  RpcMessageKind_OneWay = 1,
  RpcMessageKind_Response = 2,
};

inline constexpr uint32_t kRpcRequestHeaderSize = 35;
inline constexpr uint32_t kRpcResponseHeaderSize = 25;
// A call that waits for its response waits at least this long.
inline constexpr uint32_t kRpcMinimumWaitMs = 20000;

// 0 stays 0 (one-way); 1 to kRpcMinimumWaitMs - 1 become kRpcMinimumWaitMs;
// larger values are kept.
constexpr uint32_t EffectiveRpcTimeout(uint32_t timeoutMs) {
  return (timeoutMs != 0 && timeoutMs < kRpcMinimumWaitMs) ? kRpcMinimumWaitMs : timeoutMs;
}

class IRpc : public virtual IRefCount {
 public:
  // An object callable through an endpoint.
  class IStub : public virtual IRefCount {
   public:
    // An object whose life gates dispatch (a stub whose owner is being
    // destroyed is treated as missing), or null for none.
    virtual IRefCount* GetOwner() = 0;
    // Runs on the transport's delivery thread. connectionId is the
    // connection the request came on; request is positioned at the first
    // parameter byte; response is empty and the stub fills it. A negative
    // result goes back with an empty body.
    virtual int ExecuteStub(IRpc* rpc, UUID connectionId, const UUID* objectId, int method, IDataStream* request,
                            IDataStream* response) {
      (void)rpc, (void)connectionId, (void)objectId, (void)method, (void)request, (void)response;
      return Result_NotImplemented;
    }
    virtual int GetObjectId(UUID* out) = 0;
  };

  // Holds the transport (one reference) and registers with it; a different
  // transport held before is unregistered from and released. Null gives
  // Result_InvalidPointer. The int is unused (callers pass 0).
  virtual int SetTransport(ITransport* transport, int unused) = 0;
  // Unregisters from and releases the transport; Result_NotInitialized
  // without one.
  virtual int Detach() = 0;
  // Calls method (sent as u16) on the object at the far end of connectionId.
  // A time-out of 0 makes the call one-way: 0 once written. Otherwise the
  // caller blocks for EffectiveRpcTimeout(timeoutMs) at most and gets the
  // stub's result (the body appended to response), Result_Timeout, or the
  // transport's write error. Both streams are required: Result_InvalidPointer.
  // A call completes once: nothing touches response after Execute returns.
  virtual int Execute(const UUID& connectionId, const UUID& objectId, int method, IDataStream* params,
                      IDataStream* response, uint32_t timeoutMs) = 0;
  // Keyed by the given UUID. Null: Result_InvalidPointer; a UUID already
  // registered: Result_Fail and the first stub stays.
  virtual int RegisterStub(const UUID& objectId, IStub* stub) = 0;
  // Result_Fail when nothing is registered under the UUID.
  virtual int UnregisterStub(const UUID& objectId) = 0;
  // The held transport with a reference for the caller; without one
  // Result_NotInitialized and *out null.
  virtual int GetTransport(ITransport** out) = 0;
};

// A new endpoint without a transport, one reference for the caller.
// Result_InvalidPointer for a null out, Result_Fail when it cannot be made.
int CreateRpc(IRpc** out);

}  // namespace corvane
