// Cuts every data record into pieces of at most 4096 bytes, [1][bool last]
// piece, and joins them again on the receiving side. Control records (time-out
// 0) pass unchanged. Runs under the adapter's monitor.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "RefCount.h"
#include "TransportLayer.h"

namespace corvane {

class FragmentLayer final : public ITransportLayer {
 public:
  static constexpr uint32_t kPieceSize = 4096;
  // Pending pieces beyond this are dropped (with a Severe line) rather than
  // held for a message that could never be delivered.
  static constexpr uint64_t kMaxPendingBytes = 104857600;

  // connection is not owned and outlives the layer; below is owned.
  FragmentLayer(ILayerConnection* connection, std::unique_ptr<ITransportLayer> below);
  ~FragmentLayer() override;

  // Stops, returning 0, once the socket generation changes between pieces:
  // the reconnection resent the whole record. A piece that fails after
  // others went out reports a partial send to the connection.
  int Send(IDataStream* message, int timeoutMs) override;
  int Receive(IDataStream** message, ITransport::PostReceiveTask** task) override;
  int OnConnect(const UUID&, const UUID&, bool) override { return 0; }
  // Discards the pieces of a message cut by the socket loss.
  int OnDisconnect() override;

  uint64_t PendingBytes() const { return pendingBytes_; }

 private:
  ILayerConnection* connection_;
  std::unique_ptr<ITransportLayer> below_;
  std::vector<RefPtr<IDataStream>> pending_;
  uint64_t pendingBytes_ = 0;
};

}  // namespace corvane
