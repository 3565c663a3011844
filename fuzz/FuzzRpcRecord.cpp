// The RPC record reader under arbitrary bytes: requests reach a registered
// stub or none, responses of every length are checked and matched against
// the pending calls, and nothing may crash, leak, or allocate beyond the
// bytes present. A first byte of 0xFF sends the record under another type.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "IRpc.h"

using namespace corvane;

namespace {

class NullStub final : public IRpc::IStub, public IRefCountImpl {
 public:
  IRefCount* GetOwner() override { return nullptr; }
  int ExecuteStub(IRpc*, UUID, const UUID*, int method, IDataStream* request, IDataStream* response) override {
    uint32_t value = 0;
    request->ReadUInt32(&value);
    response->WriteUInt32(value);
    return method & 1 ? Result_Fail : 0;
  }
  int GetObjectId(UUID* out) override {
    *out = UUID();
    return 0;
  }
};

RefPtr<IDataStream> StreamOf(const uint8_t* data, size_t size) {
  IDataStream* raw = nullptr;
  CreateDataStream(&raw);
  RefPtr<IDataStream> s(raw, false);
  if (size) s->Write(data, static_cast<uint32_t>(size));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static IRpc* rpc = [] {
    IRpc* r = nullptr;
    if (CreateRpc(&r) < 0) std::abort();
    // Requests for the nil object find a stub; others get "no such stub".
    RefPtr<NullStub> stub(new NullStub(), false);
    r->RegisterStub(UUID(), stub.Get());
    return r;
  }();
  auto* notify = dynamic_cast<ITransport::ITransportNotify*>(rpc);
  if (!notify) std::abort();
  // Without a transport the reader still parses and dispatches in full;
  // replies simply have nowhere to go.
  const UUID connection;
  const UUID type = (size > 0 && data[0] == 0xFF) ? UUID() : RpcChannelType;
  RefPtr<IDataStream> stream = StreamOf(data, size);
  const int result = notify->OnDataReady(connection, type, stream.Get());
  if (result != Result_Ok && result != Result_Fail) std::abort();
  return 0;
}
