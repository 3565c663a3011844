// One TCP connection of a transport: owns the socket and the optional TLS
// session, reads frames on its receive thread, writes frames for any thread
// under its write lock, sends keep-alive frames on its keep-alive thread and
// closes itself when the socket fails.
//
// Sockets: an accepted plain socket stays blocking (its reads wait in the
// kernel and are ended by shutting the socket down); a TLS socket is
// non-blocking, every SSL_* call runs under the connection's TLS lock and
// want-read/want-write waits are polled outside it. Every send is bounded by
// the transport's write time-out, whatever the socket's mode.
//
// Lifetime: counted, and always destroyed on the deletion thread (Release
// defers), so that no thread ever joins itself. The descriptor is closed only
// by the destructor, so its number is never reused under a running reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NetworkTransportImpl.h"
#include "QosWrapper.h"
#include "SocketLayer.h"
#include "ThreadAnnotations.h"
#include "TransportByteSource.h"
#include "TransportFrameReader.h"
#include "Uuid.h"

typedef struct ssl_st SSL;

namespace corvane {

class NetworkTransportImpl::Connection final : public Thread,
                                               public ITransportFastWrite::IWriter,
                                               public IRefCountImpl,
                                               private ITransportByteSource,
                                               private ITransportFrameSink {
 public:
  // Received deliveries queued for the receivers beyond this hold the
  // receive thread back, so a fast peer cannot grow memory without bound,
  // nor queue more ahead of other peers' messages on the one delivery
  // thread than it takes a moment to deliver.
  static constexpr uint64_t kMaxQueuedDeliveryBytes = 64u << 10;

  Connection(ConnectionManager* manager, NotificationThread* notifier, TransportMode mode);

  // Client set-up: connects (0 = this host), reads the server's handshake
  // and starts TLS when the server offers it and clientContext is set, all
  // within timeoutMs (0 = 5000). Does not start the receive thread. A
  // failure closes the socket quietly.
  int Initialize(uint32_t ipv4, uint16_t port, uint32_t timeoutMs, SSL_CTX* clientContext);
  // Accepted socket (blocking, owned from now on): new id, registration
  // queued with the manager. A registration refused at once closes the
  // socket quietly.
  int Initialize(int socket, SSL_CTX* serverContext, bool useTls);
  // Starts the receive thread; a thread that does not run closes the
  // connection quietly and asks the manager to forget it.
  int StartReceiving(bool client);

  bool ThreadFunc() override;
  // Came through the listener, whose passes see to its batched removal.
  bool Accepted() const { return accepted_; }

  void Reserved() override {}
  int Write(const UUID& messageType, IDataStream* body) override;
  int WriteText(const UUID& connectionId, IDataStream* text);
  int SetKeepAlive(uint32_t intervalMs, uint32_t timeoutMs);
  int SetConnectionSocketDscp(int dscp);
  bool ReadyForWrite();
  // True when the connection was silent for longer than idleMs and is now
  // closed. A running keep-alive exempts it only while its time-out is not
  // longer than idleMs (a peer cannot buy itself out of the purge) and while
  // the peer is not inside a frame it has not finished: such a peer is
  // silent, whatever bytes of it trickle in.
  bool PurgeIfIdle(uint64_t idleMs);
  // Closes the socket (not quiet) and ends the receive thread without
  // waiting for it. For the manager's thread: Disconnected goes out on the
  // notification thread, so that the manager never waits on a receiver.
  void CloseAndStop();
  // UTC milliseconds of the last whole frame received (or of the
  // connection's making).
  uint64_t LastActivityTime() const;
  // UTC milliseconds of the last application message received or sent
  // (keep-alive frames are none); 0 while there was none.
  uint64_t LastUseTime() const { return lastUse_.load(); }
  // UTC milliseconds of the connection's making.
  uint64_t CreatedAt() const { return createdAt_; }
  // Closing happens once, whichever thread comes first. The socket is shut
  // down before anything waits; not quiet raises Disconnected (posted to
  // the notification thread when postEvent is set).
  void CloseSocket(bool quiet, bool postEvent = false);
  // The manager is going away: the connection no longer reaches it.
  void DetachManager();
  // Its removal was asked for on its own receive thread: from then on the
  // listener does not count it. Mark is true only the first time, Clear only
  // once after a Mark, so a connection is uncounted at most once.
  bool MarkLeaving();
  bool ClearLeaving();
  // A plain raw connection sends the end of its stream at once, after what
  // it has written: the peer sees the close now, not when the connection is
  // destroyed, and the closing side keeps the TIME_WAIT as a web server's
  // does. Other modes and TLS close only as before.
  void FinishSending();

  const UUID& Id() const { return connectionId_; }
  uint32_t PeerAddress() const { return peerAddress_; }
  uint16_t PeerPort() const { return peerPort_; }
  uint32_t LocalAddress() const { return localAddress_; }
  bool IsOpen() const { return socket_.load() != -1; }

  // Always through the deletion thread.
  int Release() override;

  static int LiveCount();
  // The connection whose receive thread is the calling thread, or null.
  // Receivers answering on the delivering thread are known by this.
  static Connection* ReceivingOnThisThread();

 private:
  class KeepAliveThread;

  ~Connection() override;

  // ITransportByteSource: the socket or the TLS session.
  int Peek(uint8_t* buffer, int size) override;
  int Recv(uint8_t* buffer, int size) override;
  int RecvExact(uint8_t* buffer, int size) override;
  int Send(const uint8_t* data, int size) override;
  bool WaitReadable(uint32_t timeoutMs) override;
  int LastError() override { return lastError_; }
  void Pause(uint32_t ms) override;
  void AwaitMore() override;
  void Abort() override;

  // ITransportFrameSink.
  void OnMessage(const UUID& messageType, IDataStream* data) override;
  void OnKeepAliveSettings(std::optional<uint32_t> intervalMs, std::optional<uint32_t> timeoutMs) override;
  void OnKeepAlive() override;

  // Reads what the socket has into the read-ahead buffer (waiting for at
  // least one byte when wait is set): the count, 0 at the end, or -1.
  int64_t Fill(bool wait);
  // Room at the end of the read-ahead buffer, compacted when full.
  uint8_t* FillSpace(size_t* room);
  // A blocking read (all: the whole size) that outlasts the socket's
  // receive time-out: the count (short only at the end), 0 at the end, or
  // -1 on an error, also one kept from the readiness read.
  int64_t ReadBlocking(uint8_t* buffer, size_t size, bool all);
  size_t Buffered() const { return inEnd_ - inBegin_; }
  int TakeBuffered(uint8_t* buffer, int size, bool consume);
  // 1 readable, 0 nothing within 100 ms, -1 failure.
  int WaitForReadable();
  // The receive thread waited 100 ms without a byte, between frames or
  // inside one: counted against the peer's keep-alive time-out. False when
  // that expired and the connection is now lost.
  bool SilentWait();
  void MarkUsed();
  // One pass of the receive thread; false when the connection is done.
  bool ReceivePass();
  // Handshake, TLS accept and Connected on an accepted connection's first
  // pass; false when the connection was dropped.
  bool FirstPass();
  // Receive thread: true when nothing is buffered or waiting on the socket
  // (what is waiting is read into the buffer).
  bool NothingMoreFromPeer();
  // Runs an OpenSSL handshake step until it completes or the time runs out.
  bool TlsHandshake(bool client, uint32_t timeoutMs, int* error);
  // One TLS read or peek with want-read/want-write waits in between.
  int TlsRead(uint8_t* buffer, int size, bool peek, int* error);
  // Sends a whole block within the write time-out (callers hold the write
  // lock): Ok, WriteTimeout (nothing sent) or ConnectionLost with the
  // socket or TLS error in *error; *cut when part of the block went out.
  int SendBlock(const std::string& block, bool* cut, int* error);
  // As SendBlock for a frame in pieces, which are used up as they go out.
  int SendPieces(platform::SendSlice* pieces, size_t count, bool* cut, int* error);
  // A binary frame; a lost connection is logged with its socket error.
  int WriteBlock(const std::string& block);
  // Under the write lock. *cut: the caller logs its failure, then loses the
  // connection (Lose), outside the lock.
  int WritePieces(platform::SendSlice* pieces, size_t count, bool* cut, int* error);
  // Closes (not quiet) and asks the manager to forget the connection.
  void Lose();
  // Removes this connection's own entry only: a twin refused for its
  // duplicate id never removes the live connection that holds the id.
  void RequestDelete();
  RefPtr<ConnectionManager> AcquireManager();
  uint32_t WriteTimeoutMs();
  void HoldBackWhileReceiversBehind();

  const TransportMode mode_;
  CheckedMutex managerLock_;
  ConnectionManager* manager_ GUARDED_BY(managerLock_);  // counted; null once detached
  std::shared_ptr<std::atomic<uint32_t>> writeTimeout_;
  NotificationThread* notifier_;  // counted
  std::unique_ptr<KeepAliveThread> keepAlive_;
  std::unique_ptr<Scheduler::FastMutex> writeLock_;
  std::unique_ptr<Scheduler::FastMutex> tlsLock_;
  CheckedMutex qosLock_;

  UUID connectionId_;
  int fd_ = -1;                  // the descriptor, closed by the destructor
  std::atomic<int> socket_{-1};  // the open socket; -1 once closed
  SSL* ssl_ = nullptr;
  SSL_CTX* sslContext_ = nullptr;  // counted (SSL_CTX_up_ref); accepted TLS only
  QosFlow qosFlow_ GUARDED_BY(qosLock_);
  uint32_t peerAddress_ = 0;
  uint32_t localAddress_ = 0;
  uint16_t peerPort_ = 0;
  bool firstPass_ = false;
  // Set once, before the receive thread starts.
  bool accepted_ = false;
  // Our side of a raw stream has ended (FinishSending). From then on the
  // connection ends as soon as the peer has nothing more queued, instead of
  // waiting for the peer's own close: a client that asked for one answer
  // sends nothing after it, and being woken for its close was a large share
  // of what a short connection costs. Bytes the peer has already sent are
  // read to their end as before.
  std::atomic<bool> sendFinished_{false};
  // Whether receivers heard of the connection: an accepted one raises
  // Disconnected only after its Connected, a client one (never announced)
  // whenever it closes not quietly.
  enum Announcement : int {
    kUnannounced,
    kAnnouncing,
    kAnnounced,
    kClosedUnannounced,
    // Closed not quietly while Connected was raised: the announcing thread
    // raises Disconnected after it.
    kClosedWhileAnnouncing,
  };
  std::atomic<int> announcement_{kAnnounced};
  std::atomic<int> leaving_{0};  // 0, 1 marked, 2 cleared
  std::atomic<uint32_t> keepAliveSilenceCount_{0};
  const uint64_t createdAt_;
  std::atomic<uint64_t> lastUse_{0};
  // Plain sockets, receive thread: what is buffered is not enough for the
  // reader, so the next pass waits for more bytes instead of running at
  // once.
  bool awaitMore_ = false;
  // Bytes of a frame not yet finished are held (read on other threads).
  std::atomic<bool> partial_{false};
  int lastError_ = 0;
  uint64_t consumed_ = 0;  // bytes taken off the stream by the reader
  // Plain sockets: bytes read ahead of the reader, so that the peeks and
  // small reads of one frame cost one system call. Receive thread only.
  std::unique_ptr<uint8_t[]> inBuffer_;
  size_t inBegin_ = 0;
  size_t inEnd_ = 0;
  // Plain sockets: reads time out after the readiness wait (receive thread).
  bool timedReads_ = false;
  int stashedError_ = 0;
  std::unique_ptr<TransportFrameReader> reader_;
};

}  // namespace corvane
