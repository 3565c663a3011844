// The layers a reconnecting adapter connection stacks under its messages, the
// records they put in front of a message, and the seams between a stack and
// the connection that owns it.
//
// A stack is owned top-down: each layer owns the layer below it. The adapter
// stacks them as
//   mode 1: ResendLayer -> network layer
//   mode 2: ResendLayer -> FragmentLayer -> FlowControlLayer -> network layer
// and calls OnConnect / OnDisconnect on every layer of the stack itself, top
// first, stopping at the first negative result; layers never pass them down.
//
// Layers have no lock and no thread of their own: every call runs under the
// adapter's monitor, which a layer may release only by waiting on it.
#pragma once

#include <cstdint>

#include "DataStream.h"
#include "ITransport.h"
#include "Uuid.h"

namespace corvane {

// The first byte of every layer record; all integers little-endian.
enum LayerRecordType : uint8_t {
  LayerRecord_Fragment = 1,      // bool last, piece bytes
  LayerRecord_FlowData = 2,      // int64 sender UTC ms, message
  LayerRecord_FlowAck = 3,       // int64 delay ms, int64 acknowledged bytes
  LayerRecord_ResendConnect = 4, // connection UUID, instance UUID, bool isReconnect
  LayerRecord_ResendData = 5,    // u64 sequence number, message
  LayerRecord_ResendAck = 6,     // u64 sequence number
};

// Whole sizes of the fixed records; a shorter record is never read.
inline constexpr uint32_t kResendConnectRecordSize = 34;
inline constexpr uint32_t kResendDataHeaderSize = 9;
inline constexpr uint32_t kResendAckRecordSize = 9;
inline constexpr uint32_t kFlowDataHeaderSize = 9;
inline constexpr uint32_t kFlowAckRecordSize = 17;
inline constexpr uint32_t kFragmentHeaderSize = 2;

class ITransportLayer {
 public:
  virtual ~ITransportLayer() = default;
  // Puts this layer's record in front of message and sends it below. A
  // time-out of 0 marks a control record: it travels bare, never waits for
  // the window nor for a reconnection, and never starts one.
  virtual int Send(IDataStream* message, int timeoutMs) = 0;
  // Runs the layer below first. Then, when a stream is left, a record of this
  // layer's type is consumed: the stream is left after the record, or
  // released and set to null when the record carries no message. Any other
  // type is passed up with its position unchanged. A layer that makes a task
  // chains the one it got from below behind its own (*task carries one
  // reference).
  virtual int Receive(IDataStream** message, ITransport::PostReceiveTask** task) = 0;
  virtual int OnConnect(const UUID& connectionId, const UUID& instanceId, bool isReconnect) = 0;
  virtual int OnDisconnect() = 0;
};

// What the layers need from the adapter connection that owns their stack.
class ILayerConnection {
 public:
  virtual ~ILayerConnection() = default;
  // Changes whenever the connection's inner socket is dropped or replaced,
  // in the same monitor hold in which the stack's layers get OnDisconnect.
  // A record whose send spans a change must not go on on the new socket: the
  // reconnect's OnConnect already resent it whole. So every layer that waits
  // with the monitor released (the flow-control window, the network layer's
  // wait for a reconnection) skips the write, returning 0, when the
  // generation moved during the wait.
  virtual uint64_t GetSocketGeneration() = 0;
  // Some pieces of a record went out but the rest cannot follow. The
  // connection drops its inner socket, so both ends discard their pieces and
  // the record is resent whole after the reconnect; the generation changes
  // before this returns.
  virtual void OnPartialSend() = 0;
};

// The adapter connection as the resend layer sees it.
class IResendConnection : public ILayerConnection {
 public:
  // The peer's connect record arrived.
  virtual int OnConnect(const UUID& peerConnectionId, const UUID& peerInstanceId, bool isReconnect) = 0;
};

// Clocks of the layers, injectable for tests. Local waits and schedules use
// the monotonic clock; only a value that travels on the wire uses UTC.
class ILayerClock {
 public:
  virtual ~ILayerClock() = default;
  virtual int64_t MonotonicMs() = 0;
  virtual int64_t UtcMs() = 0;
};

// The process clocks; never deleted.
ILayerClock* GetSystemLayerClock();

// Reads the record type at the stream's position without moving it; false
// when the stream is empty there.
bool PeekLayerRecordType(IDataStream* stream, uint8_t* type);
// Bytes left from the stream's position to its end.
uint32_t RemainingBytes(IDataStream* stream);
// Releases *message and sets it to null: the record was consumed.
void ConsumeLayerRecord(IDataStream** message);

// Saturating int64 arithmetic for values that come from the network.
int64_t SaturatingAdd(int64_t a, int64_t b);
int64_t SaturatingSub(int64_t a, int64_t b);

}  // namespace corvane
