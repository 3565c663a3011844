#include <memory>
#include <string>

#include "HttpConnections.h"
#include "HttpServerLog.h"
#include "Logger.h"
#include "Network.h"
#include "Result.h"

namespace corvane {

namespace {

constexpr char kStart[] = "corvane::HttpServer::Start";

// The raw transport's chunks (u32 peer address, u32 local address, string)
// taken apart for the receiver.
class Unwrapper final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  explicit Unwrapper(IHttpReceiver* receiver) : receiver_(receiver) {}
  int OnDataReady(const UUID& connectionId, const UUID& /*messageType*/, IDataStream* data) override {
    uint32_t peerIpv4 = 0;
    uint32_t localIpv4 = 0;
    std::string bytes;
    if (!data || Failed(data->ReadUInt32(&peerIpv4)) || Failed(data->ReadUInt32(&localIpv4)) ||
        Failed(data->ReadString(&bytes))) {
      return static_cast<int>(Result_Ok);
    }
    receiver_->OnBytes(connectionId, peerIpv4, localIpv4, bytes);
    return static_cast<int>(Result_Ok);
  }
  int OnEvent(const UUID& connectionId, int event) override {
    receiver_->OnConnectionEvent(connectionId, event);
    return static_cast<int>(Result_Ok);
  }

 private:
  IHttpReceiver* const receiver_;
};

// HTTPS: the raw transport does the TLS, with a receive thread per
// connection.
class TransportHttpConnections final : public IHttpConnections, public IRefCountImpl {
 public:
  explicit TransportHttpConnections(ITransport* transport) : transport_(transport, true) {}

  int Open(IHttpReceiver* receiver, IListenerSlots::IChooser* chooser) override {
    RefPtr<ITransport::ITransportNotify> unwrapper(new Unwrapper(receiver), false);
    if (auto* slots = dynamic_cast<IListenerSlots*>(transport_.Get())) slots->SetSlotChooser(chooser);
    int result = transport_->Initialize(false, true);
    if (Failed(result)) return result;
    transport_->SetEncryptionEnabled(true);
    result = transport_->AddNotify(unwrapper.Get());
    if (Failed(result)) {
      LogRecord record(Log_Severe, 0, http_log::kSourceFile, __LINE__, kStart);
      return record.ReturnResult(result, "Unabled to AddNotify");
    }
    receiver_ = std::move(unwrapper);
    return static_cast<int>(Result_Ok);
  }

  int Write(const UUID& connectionId, IDataStream* data, bool synchronous) override {
    return synchronous ? transport_->WriteTextSynchronous(connectionId, data) : transport_->WriteText(connectionId, data);
  }

  int Close(const UUID& connectionId) override { return transport_->CloseConnection(connectionId); }

  void Shutdown() override {
    transport_->Finalize();
    if (receiver_) transport_->RemoveNotify(receiver_.Get());
    receiver_.Reset();
  }

 private:
  RefPtr<ITransport> transport_;
  RefPtr<ITransport::ITransportNotify> receiver_;
};

}  // namespace

int CreateTransportHttpConnections(uint32_t bindAddress, uint16_t port, const EncryptionStruct& tls,
                                   IHttpConnections** out) {
  if (!out) return static_cast<int>(Result_InvalidPointer);
  *out = nullptr;
  EncryptionStruct settings = tls;
  RefPtr<ITransport> transport;
  const int result = CreateRawTransport(bindAddress, port, &settings, transport.Receive());
  if (Failed(result) || !transport) return Failed(result) ? result : static_cast<int>(Result_Fail);
  *out = new TransportHttpConnections(transport.Get());
  return static_cast<int>(Result_Ok);
}

}  // namespace corvane
