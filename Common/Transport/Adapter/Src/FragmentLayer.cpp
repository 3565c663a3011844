#include "FragmentLayer.h"

#include <algorithm>

#include "Logger.h"
#include "Result.h"

namespace corvane {

FragmentLayer::FragmentLayer(ILayerConnection* connection, std::unique_ptr<ITransportLayer> below)
    : connection_(connection), below_(std::move(below)) {}

FragmentLayer::~FragmentLayer() = default;

int FragmentLayer::Send(IDataStream* message, int timeoutMs) {
  if (timeoutMs == 0) return below_->Send(message, timeoutMs);
  uint32_t n = 0;
  int result = message->GetSize(&n);
  if (result < 0) return result;
  const uint64_t generation = connection_->GetSocketGeneration();
  for (uint64_t offset = 0; offset < n; offset += kPieceSize) {
    if (offset > 0 && connection_->GetSocketGeneration() != generation) return 0;
    const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(offset + kPieceSize, n));
    RefPtr<IDataStream> header;
    RefPtr<IDataStream> piece;
    RefPtr<IDataStream> record;
    result = CreateDataStream(header.Receive());
    if (result >= 0) {
      header->WriteUInt8(LayerRecord_Fragment);
      header->WriteBool(offset + kPieceSize >= n);
      result = CreateSubStream(message, static_cast<uint32_t>(offset), end, piece.Receive());
    }
    if (result >= 0) result = ConcatenateDataStreams(header.Get(), piece.Get(), record.Receive());
    if (result >= 0) result = below_->Send(record.Get(), timeoutMs);
    if (result < 0) {
      // The peer holds head pieces that no tail will ever follow on this
      // socket; only dropping the socket makes both ends discard them.
      if (offset > 0 && connection_->GetSocketGeneration() == generation) connection_->OnPartialSend();
      return result;
    }
  }
  return 0;
}

int FragmentLayer::Receive(IDataStream** message, ITransport::PostReceiveTask** task) {
  int result = below_->Receive(message, task);
  if (result < 0 || !*message) return result;
  uint8_t type = 0;
  if (!PeekLayerRecordType(*message, &type) || type != LayerRecord_Fragment) return result;

  IDataStream* in = *message;
  bool last = false;
  in->ReadUInt8(&type);
  if (in->ReadBool(&last) < 0) {
    ConsumeLayerRecord(message);
    LOG_SEVERE("fragment without its flag dropped");
    return 0;
  }
  uint32_t position = 0;
  uint32_t size = 0;
  in->GetPosition(&position);
  in->GetSize(&size);
  if (pendingBytes_ + (size - position) > kMaxPendingBytes) {
    LOG_SEVERE("reassembly of more than %llu bytes; %zu pieces dropped",
               static_cast<unsigned long long>(kMaxPendingBytes), pending_.size() + 1);
    OnDisconnect();
    ConsumeLayerRecord(message);
    return 0;
  }
  RefPtr<IDataStream> piece;
  result = CreateSubStream(in, position, size, piece.Receive());
  ConsumeLayerRecord(message);
  if (result < 0) return result;
  pending_.push_back(piece);
  pendingBytes_ += size - position;
  if (!last) return 0;

  std::vector<IDataStream*> parts;
  parts.reserve(pending_.size());
  for (const auto& p : pending_) parts.push_back(p.Get());
  result = ConcatenateDataStreams(parts, message);
  OnDisconnect();
  return result;
}

int FragmentLayer::OnDisconnect() {
  pending_.clear();
  pendingBytes_ = 0;
  return 0;
}

}  // namespace corvane
