// The reconnecting transport adapter: an ITransport that wraps one framed
// transport and gives every peer a connection UUID that survives the loss and
// replacement of the socket under it.
//
// Each adapter connection runs its messages through a stack chosen by its
// mode: 0 passes frames through unchanged; 1 numbers, acknowledges and
// resends them; 2 also cuts them into pieces and paces them by measured
// delay. A connection switches to mode 1 or 2 when its peer sends frames of
// LayeredMessageType or FlowControlledMessageType, and every connection does
// on SetResendMode or SetFlowControlMode. Lost client connections of modes 1
// and 2 are redialled on a 200 ms timer with doubling delay for 10 s; writers
// wait for the reconnection, and what the peer had not acknowledged is sent
// again in order.
//
// Threads: the adapter has none of its own beyond its reconnect timer. One
// recursive monitor guards the adapter, its connections and their layers; it
// is released around every call into the inner transport and to a user. The
// adapter's last reference is always dropped on the deletion thread.
//
// Locks: the monitor is the adapter's only lock; the layers and their flow
// control share it (the factory is handed the same monitor). It is taken
// first and nothing below the adapter is called under it, so the inner
// transport's locks are never nested inside it; a user called back holds
// nothing of the adapter's. Because the monitor is let go completely
// (MonitorUnlockGuard, however deep the holder's count), whatever was read
// before is read again after: each such place says what it re-checks. The
// monitor is re-entrant and stays out of the compiler's lock analysis.
#pragma once

#include <cstdint>

#include "ITransport.h"
#include "Uuid.h"

namespace corvane {

// The inner frame types of a connection's records in modes 1 and 2.
const UUID& LayeredMessageType();
const UUID& FlowControlledMessageType();

// Wraps inner, which must be an ITransportFastWrite (Result_InvalidArgument
// otherwise), and takes a reference of its own on it. bindAddress and port
// only name the adapter in log lines. *out gets one reference; null out:
// Result_InvalidPointer.
int CreateTransportAdapter(uint32_t bindAddress, uint16_t port, ITransport* inner, ITransport** out);

// A binary transport of the default network, without TLS settings, wrapped
// by the adapter; the adapter keeps the only reference to the inner
// transport.
int CreateAdaptedTransport(uint32_t bindAddress, uint16_t port, ITransport** out);

}  // namespace corvane
