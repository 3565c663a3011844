// A protocol-1 client for the discovery service's tests and benchmark: RPC
// over its own message transport to 53200, enumeration callbacks taken on
// its own connection to 53201, and the request records byte for byte.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "DataStream.h"
#include "DiscoveryServiceConstants.h"
#include "DiscoveryServiceStubImpl.h"
#include "IRpc.h"
#include "Network.h"
#include "Protocol2TestSupport.h"
#include "RefCount.h"
#include "Uuid.h"

namespace corvane::talvenor::server::testing {

inline constexpr uint32_t kLoopback = 0x7F000001;

inline Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Bytes Str(const std::string& s) { return Cat({U32(static_cast<uint32_t>(s.size())), Text(s)}); }
inline Bytes Wire(const UUID& id) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  id.Serialize(s.Get());
  Bytes out(16);
  s->Seek(0);
  s->Read(out.data(), 16);
  return out;
}
// The request of UpdateDisplay: the name before the second name.
inline Bytes UpdateRequest(const UUID& id, const std::string& name, const std::string& secondary, uint32_t ipv4,
                           uint16_t port, uint32_t flags, const std::string& appData) {
  return Cat(
      {Wire(id), Str(name), Str(secondary), U32(ipv4), {uint8_t(port), uint8_t(port >> 8)}, U32(flags), Str(appData)});
}

inline RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  if (!bytes.empty()) s->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  s->Seek(0);
  return s;
}

inline Bytes Rest(IDataStream* s) {
  uint32_t size = 0, position = 0;
  s->GetSize(&size);
  s->GetPosition(&position);
  Bytes out(size - position);
  if (!out.empty()) s->Read(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

inline bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// The client's side of the enumeration callbacks: every parameter stream.
class CallbackRecorder final : public IRpc::IStub, public IRefCountImpl {
 public:
  IRefCount* GetOwner() override { return nullptr; }
  int ExecuteStub(IRpc*, UUID, const UUID*, int method, IDataStream* request, IDataStream*) override {
    std::lock_guard<std::mutex> hold(mutex_);
    methods_.push_back(method);
    batches_.push_back(Rest(request));
    return 0;
  }
  int GetObjectId(UUID* out) override {
    *out = DiscoveryServiceStubId;
    return 0;
  }
  std::vector<Bytes> Batches() {
    std::lock_guard<std::mutex> hold(mutex_);
    return batches_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return batches_.size();
  }
  std::vector<int> Methods() {
    std::lock_guard<std::mutex> hold(mutex_);
    return methods_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> methods_;
  std::vector<Bytes> batches_;
};

// A protocol-1 client: RPC on a connection to 53200, callbacks taken on its
// own connection to 53201.
class Protocol1Client {
 public:
  // false when either connection cannot be made.
  bool Connect(int timeoutMs = 5000, uint16_t port = kProtocol1Port, uint16_t callbackPort = kProtocol1CallbackPort) {
    for (RefPtr<ITransport>* t : {&transport_, &callbackTransport_}) {
      if (platform::CreateInstance(0, 0, t->Receive()) < 0 || (*t)->Initialize(true, true) < 0) return false;
    }
    CreateRpc(rpc_.Receive());
    CreateRpc(callbackRpc_.Receive());
    rpc_->SetTransport(transport_.Get(), 0);
    callbackRpc_->SetTransport(callbackTransport_.Get(), 0);
    callbackRpc_->RegisterStub(DiscoveryServiceStubId, recorder.Get());
    return transport_->OpenConnection(kLoopback, port, &connection, timeoutMs) == 0 &&
           callbackTransport_->OpenConnection(kLoopback, callbackPort, &callbackConnection, timeoutMs) == 0;
  }
  ~Protocol1Client() {
    if (rpc_) rpc_->Detach();
    if (callbackRpc_) callbackRpc_->Detach();
    for (RefPtr<ITransport>* t : {&transport_, &callbackTransport_}) {
      if (*t) (*t)->Finalize();
    }
  }
  // A one-way call: 0 once written.
  int Send(int method, const Bytes& params) {
    RefPtr<IDataStream> out;
    CreateDataStream(out.Receive());
    return rpc_->Execute(connection, DiscoveryServiceStubId, method, StreamOf(params).Get(), out.Get(), 0);
  }
  int Call(int method, const Bytes& params, Bytes* response = nullptr) {
    // Left in writing mode: the answer is appended to it.
    RefPtr<IDataStream> out;
    CreateDataStream(out.Receive());
    const int result =
        rpc_->Execute(connection, DiscoveryServiceStubId, method, StreamOf(params).Get(), out.Get(), 30000);
    if (response) {
      out->Seek(0);
      *response = Rest(out.Get());
    }
    return result;
  }
  // RequestDisplayEnumeration; the stamp from the response.
  int Enumerate(bool extended, uint64_t known, uint64_t* stamp) {
    Bytes params = {uint8_t(extended ? 1 : 0)};
    for (int i = 0; i < 8; ++i) params.push_back(uint8_t(known >> (8 * i)));
    Bytes response;
    const int result = Call(2, params, &response);
    *stamp = 0;
    if (response.size() == 8) {
      for (int i = 7; i >= 0; --i) *stamp = (*stamp << 8) | response[i];
    }
    return result;
  }
  void CloseCallbackConnection() { callbackTransport_->CloseConnection(callbackConnection); }

  UUID connection, callbackConnection;
  RefPtr<CallbackRecorder> recorder{new CallbackRecorder(), false};

 private:
  RefPtr<ITransport> transport_, callbackTransport_;
  RefPtr<IRpc> rpc_, callbackRpc_;
};

}  // namespace corvane::talvenor::server::testing
