// Stamps every data record with the sender's UTC time, [2][int64 ms] message,
// and paces sending through an IFlowControl window. The receiving side hands
// out a task that acknowledges the record, [3][int64 delay][int64 bytes],
// once the message has been delivered (or at once when a layer above
// consumed it). Runs under the adapter's monitor; the window wait releases it.
#pragma once

#include <cstdint>
#include <memory>

#include "FlowControl.h"
#include "RefCount.h"
#include "TransportLayer.h"

namespace corvane {

class FlowControlLayer final : public ITransportLayer {
 public:
  // adapter and connectionRef are held by every pending acknowledgement, so
  // the stack (owned by the connection) outlives them. connection is the
  // same connection's layer view (not owned). below is the network layer,
  // whose Send takes the monitor itself (acknowledgements run outside it).
  FlowControlLayer(IRefCount* adapter, IRefCount* connectionRef, ILayerConnection* connection, uint32_t peerIpv4,
                   uint16_t peerPort, std::unique_ptr<IFlowControl> flowControl,
                   std::unique_ptr<ITransportLayer> below, ILayerClock* clock);
  ~FlowControlLayer() override;

  int Send(IDataStream* message, int timeoutMs) override;
  int Receive(IDataStream** message, ITransport::PostReceiveTask** task) override;
  // Enables pacing.
  int OnConnect(const UUID& connectionId, const UUID& instanceId, bool isReconnect) override;
  // Disables pacing and resets the window (unacknowledged bytes died with
  // the socket).
  int OnDisconnect() override;

  IFlowControl* flowControl() const { return flowControl_.get(); }

 private:
  IRefCount* adapter_;
  IRefCount* connectionRef_;
  ILayerConnection* connection_;
  uint32_t peerIpv4_;
  uint16_t peerPort_;
  std::unique_ptr<IFlowControl> flowControl_;
  std::unique_ptr<ITransportLayer> below_;
  bool enabled_ = true;
  UUID connectionId_;
  ILayerClock* clock_;
};

}  // namespace corvane
