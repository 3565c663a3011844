// The top layer of both layered stacks: numbers messages, acknowledges what
// arrives, drops duplicates, keeps what the peer has not acknowledged and
// sends it again after a reconnection, and carries the connect record by
// which both ends agree on the connection's identity.
//
// Sequence numbers start at 1 and are never reused once any byte of their
// record went out. Such a record stays queued and is resent after the
// reconnection, so its Send reports it written (0) even when the layer below
// failed; a failed Send is one that left nothing of the record behind.
// Counters and queue survive socket losses. Runs under the adapter's monitor.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "RefCount.h"
#include "TransportLayer.h"

namespace corvane {

class ResendLayer final : public ITransportLayer {
 public:
  // The unacknowledged queue holds at most this many bytes of records; a
  // Send that would pass it (with something already queued) returns
  // Result_WriteTimeout without queuing.
  static constexpr uint64_t kMaxQueuedBytes = 64ull * 1024 * 1024;

  // connection is not owned and outlives the layer; below is owned.
  ResendLayer(IResendConnection* connection, std::unique_ptr<ITransportLayer> below);
  ~ResendLayer() override;

  int Send(IDataStream* message, int timeoutMs) override;
  int Receive(IDataStream** message, ITransport::PostReceiveTask** task) override;
  // Sends the connect record, then (unless connectionId is nil) resends the
  // unacknowledged records in order, stopping at the first failure.
  int OnConnect(const UUID& connectionId, const UUID& instanceId, bool isReconnect) override;
  int OnDisconnect() override { return 0; }

  // Inspection for tests and the adapter's diagnostics.
  size_t QueuedRecords() const { return queue_.size(); }
  uint64_t QueuedBytes() const { return queuedBytes_; }
  uint64_t NextSequence() const { return nextSequence_; }
  uint64_t LastReceived() const { return lastReceived_; }

 private:
  struct Entry {
    RefPtr<IDataStream> record;  // the whole type-5 record as sent
    uint64_t sequence;
    uint32_t size;
  };

  int ReceiveConnect(IDataStream** message);
  int ReceiveData(IDataStream** message);
  int ReceiveAck(IDataStream** message);
  int SendAck(uint64_t sequence);
  int SendView(IDataStream* record, int timeoutMs);

  IResendConnection* connection_;
  UUID peerConnectionId_;
  std::unique_ptr<ITransportLayer> below_;
  std::deque<Entry> queue_;
  uint64_t queuedBytes_ = 0;
  uint64_t nextSequence_ = 1;
  uint64_t lastReceived_ = 0;
  // Counts OnConnect calls, so a Send can tell that a resend ran while the
  // monitor was released under it.
  uint64_t connectCount_ = 0;
};

}  // namespace corvane
