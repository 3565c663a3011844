#include <memory>

#include "HttpConnections.h"
#include "HttpServerLog.h"
#include "Logger.h"
#include "Network.h"
#include "Result.h"

namespace corvane {

namespace {

constexpr char kStart[] = "corvane::HttpServer::Start";

// HTTPS: the raw transport does the TLS, with a receive thread per
// connection.
class TransportHttpConnections final : public IHttpConnections, public IRefCountImpl {
 public:
  explicit TransportHttpConnections(ITransport* transport) : transport_(transport, true) {}

  int Open(ITransport::ITransportNotify* receiver, IListenerSlots::IChooser* chooser) override {
    if (auto* slots = dynamic_cast<IListenerSlots*>(transport_.Get())) slots->SetSlotChooser(chooser);
    int result = transport_->Initialize(false, true);
    if (Failed(result)) return result;
    transport_->SetEncryptionEnabled(true);
    result = transport_->AddNotify(receiver);
    if (Failed(result)) {
      LogRecord record(Log_Severe, 0, http_log::kSourceFile, __LINE__, kStart);
      return record.ReturnResult(result, "Unabled to AddNotify");
    }
    receiver_ = receiver;
    return static_cast<int>(Result_Ok);
  }

  int Write(const UUID& connectionId, IDataStream* data, bool synchronous) override {
    return synchronous ? transport_->WriteTextSynchronous(connectionId, data) : transport_->WriteText(connectionId, data);
  }

  int Close(const UUID& connectionId) override { return transport_->CloseConnection(connectionId); }

  void Shutdown() override {
    transport_->Finalize();
    if (receiver_) transport_->RemoveNotify(receiver_);
    receiver_ = nullptr;
  }

 private:
  RefPtr<ITransport> transport_;
  ITransport::ITransportNotify* receiver_ = nullptr;
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
