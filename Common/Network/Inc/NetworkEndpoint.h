// A plain TCP endpoint for many connections at once: it listens on a port,
// adopts sockets connected elsewhere and opens outgoing connections. Bytes go
// up and down unchanged (no framing). Accepting, reading and all bookkeeping
// run on one work-queue thread of its own, driven by an event set whose
// waits cost what is ready, not what is open; events, received data and
// write-state changes are posted to the ThreadContext registered with each
// callback.
//
// Sending: from Initialize on, a fixed set of sending threads (half the
// cores, at least 1 and at most kEndpointMaxSenderThreads) carries out the
// writes, each owning the connections whose identifier modulo their number
// is its index. A write to many connections is thus sent by all of them at
// once from one shared copy, and the bytes for one connection always leave
// from one thread, in the order of the calls that queued them.
//
// Thread-safety: every operation may be called from any thread. Called off
// the endpoint's thread, the setters and Initialize wait for their result;
// Connect, Disconnect and the writes are queued whatever the queue's length
// (callers bound how many they make) and return 0 at once (Result_Fail only
// once the endpoint is being destroyed).
//
// Backpressure: a peer can make the endpoint do no more than its own socket
// buffers hold. A connection is not read while the data it delivered and the
// data callback has not yet returned from passes kEndpointMaxUnprocessedBytes,
// nor while its own send queue holds more than kEndpointReadPauseQueuedBytes;
// reading resumes once both have drained. Events and data are therefore
// posted to the callback contexts whatever their queue length: they are
// never dropped. No connection is read while all connections' delivered,
// unconsumed data (closed ones' included) passes a few MiB. Data still
// queued for a connection closed on an error or by Disconnect is dropped, not
// delivered; what a peer sent before closing itself is delivered.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "SocketLayer.h"
#include "ThreadContext.h"

namespace corvane {

// The most sending threads an endpoint starts.
inline constexpr uint32_t kEndpointMaxSenderThreads = 4;
// A connection whose send queue would pass this is closed (ClosedOnError).
inline constexpr uint64_t kEndpointMaxQueuedBytes = 64ull * 1024 * 1024;
// Reading pauses while the delivered, not yet consumed data passes this.
inline constexpr int64_t kEndpointMaxUnprocessedBytes = 256 * 1024;
// Reading pauses while the connection's own send queue holds more than this.
inline constexpr uint64_t kEndpointReadPauseQueuedBytes = 1024 * 1024;

class INetworkEndpoint {
 public:
  // The index of the connection's slot (1 to the connection maximum); the
  // upper 32 bits are always 0. A closed connection's identifier is handed
  // out again only after every identifier that was already free.
  using ConnectionId = uint64_t;

  enum ConnectionEvent : uint32_t {
    Connected = 0,         // an outgoing connect completed, or a socket was adopted
    ConnectFailed = 1,     // an outgoing connect failed, timed out or found no free slot
    Accepted = 2,          // the listener accepted a connection
    ClosedGracefully = 3,  // the peer closed (receive gave 0, or hang-up)
    ClosedOnError = 4,     // socket, send or poll error, keep-alive failure, send queue overflow
  };

  // IPv4 addresses in host byte order.
  struct ConnectionInfo {
    ConnectionId connectionId = 0;  // 0 when no slot was assigned or a connect timed out
    uint32_t remoteAddress = 0;     // Accepted: the peer's address from getpeername
    uint32_t address = 0;           // Accepted: peer address from accept; Connected: local
                                    // address (outgoing) or the caller's (adopted)
    uint64_t userContext = 0;       // the value given to Connect; 0 for accepted connections
    int32_t socketError = 0;        // ConnectFailed from connect or a time-out: the error code
  };

  using ConnectionEventCallback = std::function<void(ConnectionEvent event, ConnectionInfo info)>;
  // Exactly the bytes one receive returned (1 to 102400). The buffer belongs
  // to the callee.
  using DataCallback =
      std::function<void(ConnectionId connectionId, std::unique_ptr<uint8_t[]> data, uint32_t size)>;
  // state 0: a write went out only in part and the connection's queue is now
  // blocked (userContext of that write); state 1: the write that blocked it
  // has gone out (userContext 0). Once per blocking, not per write.
  using WriteResultCallback = std::function<void(ConnectionId connectionId, int state, uint64_t userContext)>;

  // Each callback runs as a task on the given context, and only while both
  // the context and the function are set. A task already posted calls the
  // function that is current when it runs; after the endpoint is destroyed it
  // calls nothing. The endpoint holds a counted reference to the context.
  virtual int SetConnectionEventCallback(ThreadContext* context, ConnectionEventCallback callback) = 0;
  virtual int SetDataCallback(ThreadContext* context, DataCallback callback) = 0;
  virtual int SetWriteResultCallback(ThreadContext* context, WriteResultCallback callback) = 0;

  // port 0: no listener (outgoing and adopted connections only). Returns 0,
  // Result_AlreadyInitialized, or Result_Fail when the listener cannot be set
  // up; a failed Initialize may be called again.
  virtual int Initialize(uint16_t port, uint32_t maxConnections, bool keepAlive) = 0;

  // Adopts a connected socket; raises Connected, or ConnectFailed when no
  // slot is free (the socket is then left to the caller). The endpoint never
  // closes an adopted socket.
  virtual int Connect(platform::SocketHandle socket, uint32_t address, uint64_t userContext) = 0;
  // Opens an outgoing connection; raises Connected or ConnectFailed.
  virtual int Connect(uint32_t address, uint16_t port, uint64_t userContext, uint32_t timeoutMs) = 0;

  // Closes the connection without raising an event; an identifier that is
  // not open is ignored.
  virtual int Disconnect(ConnectionId connectionId) = 0;

  // Queues one write of data[0..size) to every listed open connection; the
  // others are skipped. One copy of the buffer is shared by all of them.
  // Null data or size 0 gives Result_InvalidArgument on any thread.
  virtual int WriteToConnectionsAsync(const std::vector<ConnectionId>& connectionIds,
                                      std::unique_ptr<uint8_t[]> data, uint32_t size,
                                      uint64_t userContext) = 0;
  // As above, `copies` times in a row (1 or more), with a buffer the caller
  // may share with later writes: the same reply to many requests costs no
  // copy and one queue entry. Endpoints without their own version copy it.
  virtual int WriteSharedToConnectionsAsync(const std::vector<ConnectionId>& connectionIds,
                                            std::shared_ptr<const uint8_t[]> data, uint32_t size,
                                            uint64_t userContext, uint32_t copies);

  virtual ~INetworkEndpoint() = default;
};

// Creates an endpoint into *out, deleting the one held there before.
// 0, or Result_Fail when it cannot be created.
int CreateNetworkEndpoint(INetworkEndpoint** out);

}  // namespace corvane
