#include "ResendLayer.h"

#include <vector>

#include "Logger.h"
#include "Result.h"

namespace corvane {

ResendLayer::ResendLayer(IResendConnection* connection, std::unique_ptr<ITransportLayer> below)
    : connection_(connection), below_(std::move(below)) {}

ResendLayer::~ResendLayer() = default;

int ResendLayer::SendView(IDataStream* record, int timeoutMs) {
  // The stored record keeps its position; layers below read their own view.
  uint32_t size = 0;
  record->GetSize(&size);
  RefPtr<IDataStream> view;
  int result = CreateSubStream(record, 0, size, view.Receive());
  if (result < 0) return result;
  return below_->Send(view.Get(), timeoutMs);
}

int ResendLayer::Send(IDataStream* message, int timeoutMs) {
  RefPtr<IDataStream> header;
  int result = CreateDataStream(header.Receive());
  if (result < 0) return result;
  const uint64_t sequence = nextSequence_;
  header->WriteUInt8(LayerRecord_ResendData);
  header->WriteUInt64(sequence);
  RefPtr<IDataStream> record;
  result = ConcatenateDataStreams(header.Get(), message, record.Receive());
  if (result < 0) return result;
  uint32_t size = 0;
  record->GetSize(&size);
  if (!queue_.empty() && queuedBytes_ + size > kMaxQueuedBytes) {
    LOG_SEVERE("resend queue full (%llu bytes queued, %u more)", static_cast<unsigned long long>(queuedBytes_), size);
    return Result_WriteTimeout;
  }

  queue_.push_back({record, sequence, size});
  queuedBytes_ += size;
  ++nextSequence_;
  const uint64_t generation = connection_->GetSocketGeneration();
  const uint64_t connects = connectCount_;
  result = SendView(record.Get(), timeoutMs);
  if (result >= 0) return result;

  // Un-queue only when no byte of the record can have reached the peer:
  // still the newest entry, no resend ran and the socket was not swapped or
  // dropped under the send. Otherwise the number stays used and the record
  // queued, so the peer never splices a later message onto its pieces.
  if (!queue_.empty() && queue_.back().sequence == sequence && connectCount_ == connects &&
      connection_->GetSocketGeneration() == generation && nextSequence_ == sequence + 1) {
    queuedBytes_ -= queue_.back().size;
    queue_.pop_back();
    nextSequence_ = sequence;
    return result;
  }
  // Kept: the reconnection resends it whole, so for the caller it is
  // written. Reporting the failure would make a caller that retries (the
  // callback thread) deliver it twice.
  LOG_SPEW(1, "record %llu kept for resending after %x", static_cast<unsigned long long>(sequence),
           static_cast<unsigned>(result));
  return 0;
}

int ResendLayer::Receive(IDataStream** message, ITransport::PostReceiveTask** task) {
  int result = below_->Receive(message, task);
  if (result < 0 || !*message) return result;
  uint8_t type = 0;
  if (!PeekLayerRecordType(*message, &type)) return result;
  switch (type) {
    case LayerRecord_ResendConnect:
      return ReceiveConnect(message);
    case LayerRecord_ResendData:
      return ReceiveData(message);
    case LayerRecord_ResendAck:
      return ReceiveAck(message);
    default:
      return result;
  }
}

int ResendLayer::ReceiveConnect(IDataStream** message) {
  IDataStream* in = *message;
  if (RemainingBytes(in) < kResendConnectRecordSize) {
    ConsumeLayerRecord(message);
    LOG_SEVERE("short connect record dropped");
    return Result_Fail;
  }
  uint8_t type = 0;
  UUID connectionId;
  UUID instanceId;
  bool isReconnect = false;
  in->ReadUInt8(&type);
  int result = connectionId.Deserialize(in);
  if (result >= 0) result = instanceId.Deserialize(in);
  if (result >= 0) result = in->ReadBool(&isReconnect);
  ConsumeLayerRecord(message);
  if (result < 0) return result;
  peerConnectionId_ = connectionId;
  return connection_->OnConnect(connectionId, instanceId, isReconnect);
}

int ResendLayer::ReceiveData(IDataStream** message) {
  IDataStream* in = *message;
  if (RemainingBytes(in) < kResendDataHeaderSize) {
    // No sequence number to acknowledge.
    ConsumeLayerRecord(message);
    LOG_SEVERE("short data record dropped");
    return Result_Fail;
  }
  uint8_t type = 0;
  uint64_t sequence = 0;
  in->ReadUInt8(&type);
  in->ReadUInt64(&sequence);
  const uint64_t expected = lastReceived_ + 1;
  if (sequence == expected) {
    lastReceived_ = sequence;
  } else if (sequence <= lastReceived_) {
    ConsumeLayerRecord(message);  // a duplicate: acknowledged again, not delivered
  } else {
    LOG_SEVERE("received sequence %lld; expected %lld on %s", static_cast<long long>(sequence),
               static_cast<long long>(expected), peerConnectionId_.ToString().c_str());
    lastReceived_ = sequence;
  }
  // A failed acknowledgement must not lose the message: its number already
  // counts as received, so the peer's resend would be dropped. Deliver it;
  // the peer resends and the duplicate is dropped.
  int ackResult = SendAck(sequence);
  if (ackResult < 0) {
    LOG_RECORD(record, Log_Severe, 0);
    record.ReturnResult(ackResult, "acknowledgement of %llu", static_cast<unsigned long long>(sequence));
  }
  return 0;
}

int ResendLayer::ReceiveAck(IDataStream** message) {
  IDataStream* in = *message;
  uint8_t type = 0;
  uint64_t acknowledged = 0;
  const bool complete = RemainingBytes(in) >= kResendAckRecordSize;
  if (complete) {
    in->ReadUInt8(&type);
    in->ReadUInt64(&acknowledged);
  }
  ConsumeLayerRecord(message);
  if (!complete) return 0;
  while (!queue_.empty() && queue_.front().sequence <= acknowledged) {
    queuedBytes_ -= queue_.front().size;
    queue_.pop_front();
  }
  return 0;
}

int ResendLayer::SendAck(uint64_t sequence) {
  RefPtr<IDataStream> ack;
  int result = CreateDataStream(ack.Receive());
  if (result < 0) return result;
  ack->WriteUInt8(LayerRecord_ResendAck);
  ack->WriteUInt64(sequence);
  return below_->Send(ack.Get(), 0);
}

int ResendLayer::OnConnect(const UUID& connectionId, const UUID& instanceId, bool isReconnect) {
  ++connectCount_;
  RefPtr<IDataStream> connect;
  int result = CreateDataStream(connect.Receive());
  if (result < 0) return result;
  connect->WriteUInt8(LayerRecord_ResendConnect);
  connectionId.Serialize(connect.Get());
  instanceId.Serialize(connect.Get());
  connect->WriteBool(isReconnect);
  result = below_->Send(connect.Get(), 0);

  if (result >= 0 && connectionId != UUID()) {
    // Acknowledgements arriving while a write releases the monitor shrink the
    // queue, not this snapshot.
    std::vector<Entry> snapshot(queue_.begin(), queue_.end());
    for (const Entry& entry : snapshot) {
      result = SendView(entry.record.Get(), 0);
      LOG_INFO("resend result for %d: %d", static_cast<int32_t>(entry.sequence), result);
      if (result < 0) break;
    }
  }
  if (isReconnect) LOG_INFO("resend onconnect result: %d", result);
  return result;
}

}  // namespace corvane
