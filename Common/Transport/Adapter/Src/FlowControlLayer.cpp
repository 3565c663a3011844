#include "FlowControlLayer.h"

#include "FastLog.h"
#include "Locks.h"
#include "Logger.h"
#include "PerformanceTimer.h"
#include "Result.h"

namespace corvane {

namespace {

// Acknowledges one received type-2 record after delivery, then runs the task
// it chains. Holds the adapter and the connection, so the layer below it
// writes through stays alive.
class Ack final : public ITransport::PostReceiveTask, public IRefCountImpl {
 public:
  Ack(IRefCount* adapter, IRefCount* connection, ILayerConnection* layerConnection, Scheduler::Monitor* monitor,
      ITransportLayer* below, ILayerClock* clock, int64_t senderTimeMs, int64_t bytes,
      ITransport::PostReceiveTask* chained)
      : adapter_(adapter, true),
        connection_(connection, true),
        layerConnection_(layerConnection),
        monitor_(monitor),
        generation_(layerConnection->GetSocketGeneration()),
        below_(below),
        clock_(clock),
        senderTimeMs_(senderTimeMs),
        bytes_(bytes),
        chained_(chained, false) {}

  void Run() override {
    {
      // The generation is checked and the record sent in one hold: the
      // layer below releases the monitor only around the write itself.
      MonitorGuard guard(monitor_);
      RefPtr<IDataStream> record;
      // The record came on a socket that is gone: its sender dropped the
      // count with that socket, and an acknowledgement on the new one would
      // take bytes off the new window that were never counted there.
      const bool sameSocket = layerConnection_->GetSocketGeneration() == generation_;
      if (sameSocket && CreateDataStream(record.Receive()) >= 0) {
        record->WriteUInt8(LayerRecord_FlowAck);
        record->WriteInt64(SaturatingSub(clock_->UtcMs(), senderTimeMs_));
        record->WriteInt64(bytes_);
        below_->Send(record.Get(), 0);
      }
    }
    if (chained_) chained_->Run();
  }

 private:
  RefPtr<IRefCount> adapter_;
  RefPtr<IRefCount> connection_;
  ILayerConnection* layerConnection_;  // kept alive by connection_
  Scheduler::Monitor* monitor_;        // kept alive by adapter_
  uint64_t generation_;
  ITransportLayer* below_;
  ILayerClock* clock_;
  int64_t senderTimeMs_;
  int64_t bytes_;
  RefPtr<ITransport::PostReceiveTask> chained_;
};

double CounterMs(int64_t ticks) { return static_cast<double>(ticks) * 1000.0 / kPerformanceFrequency; }

}  // namespace

FlowControlLayer::FlowControlLayer(IRefCount* adapter, IRefCount* connectionRef, ILayerConnection* connection,
                                   uint32_t peerIpv4, uint16_t peerPort, std::unique_ptr<IFlowControl> flowControl,
                                   std::unique_ptr<ITransportLayer> below, ILayerClock* clock)
    : adapter_(adapter),
      connectionRef_(connectionRef),
      connection_(connection),
      peerIpv4_(peerIpv4),
      peerPort_(peerPort),
      flowControl_(std::move(flowControl)),
      below_(std::move(below)),
      clock_(clock) {}

FlowControlLayer::~FlowControlLayer() = default;

int FlowControlLayer::Send(IDataStream* message, int timeoutMs) {
  if (!enabled_ || timeoutMs == 0) return below_->Send(message, timeoutMs);
  // The fast-log record (and the counter readings it carries) exists only for
  // a writer; with none the send path builds nothing for it.
  const bool fastLog = FastLog::WriterExists();
  const int64_t t0 = fastLog ? QueryPerformanceCounter() : 0;
  uint32_t size = 0;
  message->GetSize(&size);
  const int64_t bytes = static_cast<int64_t>(size) + kFlowDataHeaderSize;
  const uint64_t generation = connection_->GetSocketGeneration();
  if (!flowControl_->OnWrite(bytes, timeoutMs)) {
    LOG_SEVERE("flow control timeout");
    return Result_WriteTimeout;
  }
  // The window wait released the monitor; a record that saw its socket go
  // was already resent whole by the reconnection, and its count landed in
  // the window that the loss reset.
  if (connection_->GetSocketGeneration() != generation) {
    flowControl_->OnWriteCancelled(bytes);
    return 0;
  }
  const uint64_t resets = flowControl_->Resets();
  const int64_t t1 = fastLog ? QueryPerformanceCounter() : 0;
  RefPtr<IDataStream> header;
  RefPtr<IDataStream> record;
  int result = CreateDataStream(header.Receive());
  if (result >= 0) {
    header->WriteUInt8(LayerRecord_FlowData);
    header->WriteInt64(clock_->UtcMs());
    result = ConcatenateDataStreams(header.Get(), message, record.Receive());
  }
  if (result >= 0) result = below_->Send(record.Get(), timeoutMs);
  // A record that did not go out on the socket it was counted for (the send
  // failed, or was skipped because the socket changed while it waited) is
  // never acknowledged: its count would stay in the window for good and,
  // piling up, stall every writer. A reset since then already dropped it.
  if ((result < 0 || connection_->GetSocketGeneration() != generation) && flowControl_->Resets() == resets) {
    flowControl_->OnWriteCancelled(bytes);
  }
  if (fastLog) {
    auto* send = new FastLog::Send();
    send->ip = static_cast<int32_t>(peerIpv4_);
    send->port = peerPort_;
    send->bytes = static_cast<int32_t>(bytes);
    send->fcDelayMs = CounterMs(t1 - t0);
    send->netDelayMs = CounterMs(QueryPerformanceCounter() - t1);
    send->epochMs = clock_->UtcMs();
    FastLog::Post(send);
  }
  return result;
}

int FlowControlLayer::Receive(IDataStream** message, ITransport::PostReceiveTask** task) {
  int result = below_->Receive(message, task);
  if (result < 0 || !*message) return result;
  uint8_t type = 0;
  if (!PeekLayerRecordType(*message, &type)) return result;
  IDataStream* in = *message;
  if (type == LayerRecord_FlowAck) {
    int64_t delay = 0;
    int64_t bytes = 0;
    const bool complete = RemainingBytes(in) >= kFlowAckRecordSize;
    if (complete) {
      in->ReadUInt8(&type);
      in->ReadInt64(&delay);
      in->ReadInt64(&bytes);
    }
    ConsumeLayerRecord(message);
    if (complete) flowControl_->OnAck(delay, bytes);
    return 0;
  }
  if (type != LayerRecord_FlowData) return result;

  uint32_t size = 0;
  in->GetSize(&size);
  if (RemainingBytes(in) < kFlowDataHeaderSize) {
    ConsumeLayerRecord(message);
    LOG_SEVERE("short flow-control record dropped");
    return Result_Fail;
  }
  int64_t senderTime = 0;
  in->ReadUInt8(&type);
  in->ReadInt64(&senderTime);
  auto* ack = new Ack(adapter_, connectionRef_, connection_, flowControl_->Monitor(), below_.get(), clock_, senderTime, size, *task);
  *task = ack;
  return 0;
}

int FlowControlLayer::OnConnect(const UUID& connectionId, const UUID&, bool) {
  enabled_ = true;
  connectionId_ = connectionId;
  return 0;
}

int FlowControlLayer::OnDisconnect() {
  enabled_ = false;
  return flowControl_->Reset();
}

}  // namespace corvane
