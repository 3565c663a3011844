#include "TransportConnection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "CrashLog.h"
#include "DataStream.h"
#include "Locks.h"
#include "Logger.h"
#include "Result.h"
#include "SocketLayer.h"
#include "TransportConnectionManager.h"
#include "TransportDeferredRelease.h"
#include "TransportFrames.h"

namespace corvane {

using Connection = NetworkTransportImpl::Connection;
namespace sock = platform;

namespace {

constexpr uint32_t kDefaultTimeoutMs = 5000;
constexpr int kReadinessWaitMs = 100;
constexpr uint32_t kKeepAliveTickMs = 50;
constexpr uint32_t kReachedLogCount = 151;
constexpr uint32_t kMaxKeepAliveTimeoutMs = NetworkTransportImpl::kDefaultPurgeIdleMs;
// A TLS wait is cut into slices so that a closed connection is noticed.
constexpr int kTlsWaitSliceMs = 100;
constexpr size_t kReadAheadBytes = 64 * 1024;
// Reads at least this big go straight into the caller's buffer.
constexpr int kDirectReadBytes = 16 * 1024;
// Blocks up to this size are sent before any readiness wait: a small frame
// almost always fits, and the wait would cost a system call per frame.
constexpr size_t kEagerSendBytes = 4096;

std::atomic<int> g_liveConnections{0};
thread_local NetworkTransportImpl::Connection* t_receiving = nullptr;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string FirstSslError() {
  char text[256] = {};
  ERR_error_string_n(ERR_get_error(), text, sizeof(text));
  ERR_clear_error();
  return text;
}

}  // namespace

// Sends keep-alive frames every interval while the peer's time-out allows;
// a 50 ms tick that a stop cuts short.
class Connection::KeepAliveThread final : public Thread {
 public:
  KeepAliveThread() : nap_(GetDefaultScheduler()->CreateEvent(false, false)) {}
  ~KeepAliveThread() override { Halt(); }

  void StartKeepAlive(Connection* connection) {
    CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::KeepAliveThread::StartKeepAlive", [&] {
      if (halted_.load()) return;
      connection_.store(connection);
      SetName("xport-keepalive");
      Start(kInfinite);
    });
  }

  // Stops for good without waiting: the current tick may be inside a
  // write that holds locks the caller holds too.
  void RequestHalt() {
    halted_.store(true);
    nap_->Set();
    GetSchedulerThread()->RequestStop();
  }
  // Stops for good and waits (never on the thread itself).
  void Halt() {
    RequestHalt();
    if (!IsCurrentThread(GetSchedulerThread())) Stop();
  }

  bool ThreadFunc() override {
    return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::KeepAliveThread::ThreadFunc", [&] {
      Connection* connection = connection_.load();
      if (!connection) return Nap();
      ++tickCount_;
      const uint32_t interval = intervalMs.load();
      const uint32_t timeout = timeoutMs.load();
      if (tickCount_ <= interval / kKeepAliveTickMs) return Nap();
      if (tickCount_ > timeout / kKeepAliveTickMs) return false;
      const uint64_t now = static_cast<uint64_t>(CurrentUtcTimeMs());
      if (lastSendFailureTime_ != 0 && now - lastSendFailureTime_ <= interval) return Nap();
      if (Failed(connection->WriteBlock(BuildKeepAliveFrame()))) {
        Nap();
        lastSendFailureTime_ = static_cast<uint64_t>(CurrentUtcTimeMs());
        return true;
      }
      lastSendFailureTime_ = 0;
      tickCount_ = 0;
      return Nap();
    });
  }

  std::atomic<uint32_t> intervalMs{0};
  std::atomic<uint32_t> timeoutMs{0};

 private:
  bool Nap() {
    nap_->Wait(kKeepAliveTickMs);
    return !halted_.load();
  }

  std::unique_ptr<Scheduler::Event> nap_;
  std::atomic<bool> halted_{false};
  std::atomic<Connection*> connection_{nullptr};
  uint32_t tickCount_ = 0;
  uint64_t lastSendFailureTime_ = 0;
};

Connection::Connection(ConnectionManager* manager, NotificationThread* notifier, TransportMode mode)
    : mode_(mode),
      manager_(manager),
      writeTimeout_(manager ? manager->WriteTimeout()
                            : std::make_shared<std::atomic<uint32_t>>(ConnectionManager::kDefaultWriteTimeoutMs)),
      notifier_(notifier),
      keepAlive_(std::make_unique<KeepAliveThread>()),
      writeLock_(GetDefaultScheduler()->CreateFastMutex()),
      tlsLock_(GetDefaultScheduler()->CreateFastMutex()),
      createdAt_(static_cast<uint64_t>(CurrentUtcTimeMs())),
      reader_(new TransportFrameReader(mode, static_cast<ITransportByteSource&>(*this),
                                       static_cast<ITransportFrameSink&>(*this))) {
  if (manager_) manager_->AddRef();
  if (notifier_) notifier_->AddRef();
  g_liveConnections.fetch_add(1);
}

Connection::~Connection() {
  CRASH_LOG_GUARD_NOTHROW("corvane::NetworkTransportImpl::Connection::~Connection", [&] {
    LOG_SPEW(3, "Connection Destructor BEGIN");
    LOG_SPEW(3, "Connection Destructor ThreadQuit BEGIN");
    // A receive thread blocked in a read returns once the socket is down.
    const int open = socket_.load();
    if (open != -1) sock::Shutdown(open);
    Stop();
    if (reader_) reader_->LeaveBudget();
    LOG_SPEW(3, "Connection Destructor ThreadQuit END");
    CloseSocket(false);
    keepAlive_->Halt();
    if (fd_ != -1) sock::CloseSocket(fd_);
    fd_ = -1;
    LOG_SPEW(3, "Connection Destructor END");
    if (ssl_) SSL_free(ssl_);
    if (sslContext_) SSL_CTX_free(sslContext_);
    ReleaseDeferred(notifier_);
    DetachManager();
  });
  g_liveConnections.fetch_sub(1);
}

int Connection::Release() {
  const int count = DecrementRef();
  if (count == 0) DeleteOnDeletionThread(this);
  return count;
}

int Connection::LiveCount() { return g_liveConnections.load(); }

Connection* Connection::ReceivingOnThisThread() { return t_receiving; }


RefPtr<NetworkTransportImpl::ConnectionManager> Connection::AcquireManager() {
  CheckedLock lock(managerLock_);
  RefPtr<ConnectionManager> held;
  if (manager_ && manager_->TryAddRef() > 0) held.Attach(manager_);
  return held;
}

void Connection::DetachManager() {
  ConnectionManager* old = nullptr;
  {
    CheckedLock lock(managerLock_);
    old = manager_;
    manager_ = nullptr;
  }
  ReleaseDeferred(old);
}

bool Connection::MarkLeaving() {
  int expected = 0;
  return leaving_.compare_exchange_strong(expected, 1);
}

bool Connection::ClearLeaving() {
  int expected = 1;
  return leaving_.compare_exchange_strong(expected, 2);
}

void Connection::FinishSending() {
  if (mode_.framed || mode_.handshake || ssl_ || sslContext_) return;
  // Under the write lock: a write in progress on another thread finishes
  // first.
  ScopedLock lock(writeLock_.get());
  const int s = socket_.load();
  if (s != -1) {
    sock::ShutdownSend(s);
    sendFinished_.store(true);
  }
}

void Connection::RequestDelete() {
  RefPtr<ConnectionManager> manager = AcquireManager();
  if (manager) manager->ForgetConnection(this);
}

void Connection::Lose() {
  CloseSocket(false);
  RequestDelete();
}

uint32_t Connection::WriteTimeoutMs() { return writeTimeout_->load(); }

int Connection::Initialize(uint32_t ipv4, uint16_t port, uint32_t timeoutMs, SSL_CTX* clientContext) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::Initialize", [&]() -> int {
    const uint32_t timeout = timeoutMs == 0 ? kDefaultTimeoutMs : timeoutMs;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    if (ipv4 == 0) {
      std::string host;
      if (sock::LocalHostName(&host) != 0 || sock::ResolveIpv4(host, &ipv4) != 0) {
        LOG_RECORD(record, Log_Severe, 0);
        return record.ReturnResult(Result_Fail, "Unable to get local host");
      }
    }
    localAddress_ = 0;
    const int s = sock::CreateTcpSocket();
    if (s < 0) {
      LOG_SEVERE("Unable to create socket. Error: %d", sock::LastSocketError());
      return Result_Fail;
    }
    fd_ = s;
    socket_.store(s);
    if (sock::SetNoDelay(s, true) != 0) {
      LOG_SEVERE("Unable to set socket option while initializing. Error: %d", sock::LastSocketError());
      CloseSocket(true);
      return Result_Fail;
    }
    sock::SetNonBlocking(s, true);
    if (sock::Connect(s, ipv4, port) != 0) {
      const int error = sock::LastSocketError();
      if (!sock::IsConnectInProgress(error)) {
        LOG_SEVERE("Unable to connect. Error: %d", error);
        CloseSocket(true);
        return Result_Fail;
      }
      if (sock::WaitWritable(s, RemainingMs(deadline)) != 1) {
        LOG_SEVERE("Unable to connect. Connection timed out");
        CloseSocket(true);
        return Result_Fail;
      }
      // A refused connect also reads as writable; only SO_ERROR tells.
      int pending = 0;
      if (sock::GetPendingError(s, &pending) != 0 || pending != 0) {
        LOG_SEVERE("Unable to connect. Error: %d", pending != 0 ? pending : sock::LastSocketError());
        CloseSocket(true);
        return Result_Fail;
      }
    }
    sock::GetLocalAddress(s, &localAddress_, nullptr);
    sock::SetNonBlocking(s, false);
    sock::GetPeerAddress(s, &peerAddress_, &peerPort_);

    // The handshake read may not outlast the call's time-out.
    sock::SetReceiveTimeout(s, static_cast<uint32_t>(std::max(1, RemainingMs(deadline))));
    bool tlsOffered = false;
    int result = ReadServerHandshake(*this, static_cast<uint32_t>(std::max(1, RemainingMs(deadline))),
                                     &connectionId_, &tlsOffered);
    sock::SetReceiveTimeout(s, 0);
    if (Failed(result)) {
      CloseSocket(true);
      return result;
    }
    if (tlsOffered && clientContext) {
      sock::SetNonBlocking(s, true);
      ssl_ = SSL_new(clientContext);
      int error = 0;
      if (!ssl_ || SSL_set_fd(ssl_, s) != 1 || !TlsHandshake(true, static_cast<uint32_t>(RemainingMs(deadline)), &error)) {
        LOG_SEVERE("Unable to complete SSL handshake, closing socket. Error: %d.", error);
        if (error == SSL_ERROR_SYSCALL) TlsContext::LogSslSyscallErrors();
        ERR_clear_error();
        CloseSocket(true);
        return Result_Fail;
      }
    }
    reader_->SetAddresses(peerAddress_, localAddress_);
    return Result_Ok;
  });
}

int Connection::Initialize(int socket, SSL_CTX* serverContext, bool useTls) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::Initialize", [&]() -> int {
    firstPass_ = true;
    accepted_ = true;
    announcement_.store(kUnannounced);
    if (useTls && serverContext && SSL_CTX_up_ref(serverContext) == 1) sslContext_ = serverContext;
    connectionId_.Generate();
    fd_ = socket;
    socket_.store(socket);
    sock::GetLocalAddress(socket, &localAddress_, nullptr);
    sock::GetPeerAddress(socket, &peerAddress_, &peerPort_);
    reader_->SetAddresses(peerAddress_, localAddress_);
    RefPtr<ConnectionManager> manager = AcquireManager();
    const int result = manager ? manager->AddAcceptedConnection(this) : static_cast<int>(Result_Fail);
    if (Failed(result)) CloseSocket(true);
    return result;
  });
}

int Connection::StartReceiving(bool client) {
  if (client) LOG_SPEW(1, "Connection completed - Connection ID: %s", connectionId_.ToString().c_str());
  // A plain socket's reads end on their own after the readiness wait, so the
  // receive pass reads straight away instead of polling before every read.
  if (!ssl_ && sock::SetReceiveTimeout(fd_, kReadinessWaitMs) == 0) timedReads_ = true;
  SetName("xport-recv");
  Start(client ? kInfinite : 0);
  if (IsRunning()) return Result_Ok;
  if (client) LOG_SEVERE("Transport client connection object failed to start thread");
  // Never announced, so nobody hears of it going.
  CloseSocket(true);
  RequestDelete();
  return Result_Fail;
}

bool Connection::TlsHandshake(bool client, uint32_t timeoutMs, int* error) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  *error = SSL_ERROR_NONE;
  for (;;) {
    int rc;
    {
      ScopedLock lock(tlsLock_.get());
      ERR_clear_error();
      rc = client ? SSL_connect(ssl_) : SSL_accept(ssl_);
      if (rc == 1) return true;
      *error = SSL_get_error(ssl_, rc);
    }
    if (*error != SSL_ERROR_WANT_READ && *error != SSL_ERROR_WANT_WRITE) return false;
    const int left = RemainingMs(deadline);
    if (left == 0 || socket_.load() == -1) return false;
    const int ready = *error == SSL_ERROR_WANT_READ ? sock::WaitReadable(fd_, left) : sock::WaitWritable(fd_, left);
    if (ready < 0) return false;
  }
}

int Connection::TlsRead(uint8_t* buffer, int size, bool peek, int* error) {
  for (;;) {
    int rc;
    {
      ScopedLock lock(tlsLock_.get());
      ERR_clear_error();
      rc = peek ? SSL_peek(ssl_, buffer, size) : SSL_read(ssl_, buffer, size);
      *error = rc > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, rc);
    }
    if (rc > 0) return rc;
    if (*error != SSL_ERROR_WANT_READ && *error != SSL_ERROR_WANT_WRITE) return rc < 0 ? rc : 0;
    if (socket_.load() == -1) return -1;
    if (*error == SSL_ERROR_WANT_READ) {
      sock::WaitReadable(fd_, kTlsWaitSliceMs);
    } else {
      sock::WaitWritable(fd_, kTlsWaitSliceMs);
    }
  }
}

int Connection::Peek(uint8_t* buffer, int size) {
  sock::ClearLastSocketError();
  if (ssl_) {
    int error = 0;
    const int rc = TlsRead(buffer, size, true, &error);
    lastError_ = error;
    if (rc < 0 || (rc == 0 && error != SSL_ERROR_ZERO_RETURN)) {
      LOG_SEVERE("SSL_peek error attempting to peek %d bytes. Error: %d", size, error);
      if (error == SSL_ERROR_SYSCALL) TlsContext::LogSslSyscallErrors();
      return -1;
    }
    if (rc == 0) {
      LOG_SPEW(1, "SSL_peek failed attempting to peek %d bytes, connection was shutdown cleanly. Error: %d", size, error);
    }
    return rc;
  }
  // Bytes already here are topped up without waiting; with none the peek
  // waits as a blocking MSG_PEEK would.
  const int64_t n = Buffered() >= static_cast<size_t>(size) ? 1 : Fill(Buffered() == 0);
  if (Buffered() > 0) return TakeBuffered(buffer, size, false);
  lastError_ = n < 0 ? sock::LastSocketError() : 0;
  if (n < 0) {
    LOG_SEVERE("Socket recv error attempting to peek %d bytes. Error: %d", size, lastError_);
  } else if (n == 0 && size > 0 && lastError_ != 0) {
    LOG_INFO("Socket connection was shutdown attempting to peek %d bytes. Error: %d", size, lastError_);
  }
  return static_cast<int>(n);
}

int64_t Connection::ReadBlocking(uint8_t* buffer, size_t size, bool all) {
  if (stashedError_ != 0) {
    errno = stashedError_;
    stashedError_ = 0;
    return -1;
  }
  size_t got = 0;
  for (;;) {
    const int64_t n = all ? sock::ReceiveAll(fd_, buffer + got, size - got) : sock::Receive(fd_, buffer + got, size - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      if (!all || got == size) return static_cast<int64_t>(got);
      continue;
    }
    if (n == 0) return static_cast<int64_t>(got);
    // The receive time-out only paces the wait: a blocking read goes on
    // until bytes, the end or a real error come. A peer that stops in the
    // middle of a frame is as silent as one between frames.
    if (timedReads_ && sock::IsWouldBlock(sock::LastSocketError()) && socket_.load() != -1 && SilentWait()) {
      continue;
    }
    return got > 0 ? static_cast<int64_t>(got) : -1;
  }
}

uint8_t* Connection::FillSpace(size_t* room) {
  if (!inBuffer_) inBuffer_.reset(new uint8_t[kReadAheadBytes]);
  if (inBegin_ == inEnd_) {
    inBegin_ = inEnd_ = 0;
  } else if (inEnd_ == kReadAheadBytes) {
    std::memmove(inBuffer_.get(), inBuffer_.get() + inBegin_, Buffered());
    inEnd_ -= inBegin_;
    inBegin_ = 0;
  }
  *room = kReadAheadBytes - inEnd_;
  return inBuffer_.get() + inEnd_;
}

int64_t Connection::Fill(bool wait) {
  size_t room = 0;
  uint8_t* space = FillSpace(&room);
  const int64_t n = wait ? ReadBlocking(space, room, false) : sock::ReceiveNow(fd_, space, room);
  if (n > 0) inEnd_ += static_cast<size_t>(n);
  return n;
}

int Connection::TakeBuffered(uint8_t* buffer, int size, bool consume) {
  const size_t n = std::min(Buffered(), static_cast<size_t>(size));
  std::memcpy(buffer, inBuffer_.get() + inBegin_, n);
  if (consume) {
    inBegin_ += n;
    consumed_ += n;
  }
  return static_cast<int>(n);
}

int Connection::Recv(uint8_t* buffer, int size) {
  sock::ClearLastSocketError();
  if (ssl_) {
    int error = 0;
    const int rc = TlsRead(buffer, size, false, &error);
    lastError_ = error;
    if (rc == 0 && error == SSL_ERROR_ZERO_RETURN) {
      LOG_SEVERE("SSL_read failed attempting to receive %d bytes, connection was shutdown cleanly. Error: %d", size,
                 error);
    } else if (rc <= 0) {
      LOG_SEVERE("SSL_read error attempting to receive %d bytes. Error: %d", size, error);
      if (error == SSL_ERROR_SYSCALL) TlsContext::LogSslSyscallErrors();
      return -1;
    }
    if (rc > 0) consumed_ += static_cast<uint64_t>(rc);
    return rc;
  }
  if (Buffered() > 0) return TakeBuffered(buffer, size, true);
  int64_t n;
  if (size >= kDirectReadBytes) {
    n = ReadBlocking(buffer, static_cast<size_t>(size), false);
    if (n > 0) consumed_ += static_cast<uint64_t>(n);
  } else {
    n = Fill(true);
    if (n > 0) return TakeBuffered(buffer, size, true);
  }
  lastError_ = n < 0 ? sock::LastSocketError() : 0;
  if (n < 0) {
    if (!sock::IsWouldBlock(lastError_)) {
      LOG_SEVERE("Socket recv error attempting to receive %d bytes. Error: %d", size, lastError_);
    }
  } else if (n == 0 && size > 0) {
    LOG_SEVERE("Socket error attempting to receive %d bytes. Connection was shutdown. Error: %d", size, lastError_);
  }
  return static_cast<int>(n);
}

int Connection::RecvExact(uint8_t* buffer, int size) {
  sock::ClearLastSocketError();
  if (ssl_) {
    int got = 0;
    while (got < size) {
      int error = 0;
      const int rc = TlsRead(buffer + got, size - got, false, &error);
      lastError_ = error;
      if (rc > 0) {
        got += rc;
        consumed_ += static_cast<uint64_t>(rc);
        continue;
      }
      if (rc == 0 && error == SSL_ERROR_ZERO_RETURN) {
        LOG_SEVERE(
            "SSL_read in recv_exact failed attempting to receive %d bytes, connection was shutdown cleanly. Error: %d",
            size, error);
      } else {
        // A peer that drops TCP under TLS ends the read here too.
        LOG_SEVERE("SSL_read in recv_exact error attempting to receive %d bytes. Error: %d", size, error);
        if (error == SSL_ERROR_SYSCALL) TlsContext::LogSslSyscallErrors();
      }
      break;
    }
    return got;
  }
  const int buffered = Buffered() > 0 ? TakeBuffered(buffer, size, true) : 0;
  if (buffered == size) return size;
  int64_t n = ReadBlocking(buffer + buffered, static_cast<size_t>(size - buffered), true);
  if (n > 0) consumed_ += static_cast<uint64_t>(n);
  lastError_ = n < 0 ? sock::LastSocketError() : 0;
  if (buffered > 0) n = n < 0 ? buffered : n + buffered;
  if (n < 0) {
    LOG_SEVERE("Socket error (recv_exact) attempting to receive %d bytes. Error: %d", size, lastError_);
  } else if (n == 0 && size > 0) {
    LOG_SEVERE("Socket error (recv_exact) attempting to receive %d bytes. Connection was shutdown. Error: %d", size,
               lastError_);
  }
  return static_cast<int>(n);
}

// Only the handshake reader sends through the byte source; frames go
// through SendBlock.
int Connection::Send(const uint8_t* data, int size) {
  const int64_t n = sock::SendNow(fd_, data, static_cast<size_t>(size));
  lastError_ = n < 0 ? sock::LastSocketError() : 0;
  return static_cast<int>(n);
}

bool Connection::WaitReadable(uint32_t timeoutMs) {
  return Buffered() > 0 || sock::WaitReadable(fd_, static_cast<int>(timeoutMs)) == 1;
}

void Connection::Pause(uint32_t ms) { GetDefaultScheduler()->Sleep(ms); }

void Connection::AwaitMore() {
  // The read-ahead buffer holds what a plain socket delivered, so the
  // readiness wait can wait for bytes beyond it; a TLS session's own buffer
  // cannot be waited past, so it backs off instead.
  if (ssl_) {
    Pause(10);
  } else {
    awaitMore_ = true;
  }
}

void Connection::Abort() {
  // The descriptor stays open until the destructor has taken the reader
  // out of the budget, so this never reaches another connection's socket.
  const int open = socket_.load();
  if (open != -1) sock::Shutdown(open);
}

int Connection::SendBlock(const std::string& block, bool* cut, int* error) {
  sock::SendSlice piece{block.data(), block.size()};
  return SendPieces(&piece, 1, cut, error);
}

int Connection::SendPieces(sock::SendSlice* pieces, size_t count, bool* cut, int* error) {
  *cut = false;
  *error = 0;
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += pieces[i].size;
  const uint32_t timeout = WriteTimeoutMs();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  const auto notWritable = [&] {
    LOG_INFO(
        "The socket is not available for writing. Returning error. Socket error: %d. Connection ID: %s. Timeout: %d",
        sock::LastSocketError(), connectionId_.ToString().c_str(), static_cast<int>(timeout));
    return static_cast<int>(Result_WriteTimeout);
  };
  // Writable means the socket has room for a good part of its buffer, so a
  // frame that starts now rarely stops half-way. A small plain frame is
  // tried at once; when nothing of it goes out it waits the same way below.
  if (ssl_ || total > kEagerSendBytes) {
    const int ready = sock::WaitWritable(fd_, static_cast<int>(timeout));
    if (ready == 0) return Result_WriteTimeout;
    if (ready < 0) return notWritable();
  }
  // Pieces are used up from the front as their bytes go out.
  size_t next = 0;
  // With TLS a record may sit half-written inside the session after any
  // attempt, so from then on only the whole frame keeps the stream intact.
  bool committed = false;
  bool timedOut = false;
  uint64_t unsent = total;
  const auto asInt = [](uint64_t bytes) { return bytes > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(bytes); };
  for (;;) {
    sock::ConsumeSlices(pieces, count, &next, 0);
    if (next == count) break;
    sock::SendSlice& piece = pieces[next];
    // Bytes sent, 0 to wait for the socket, -1 for a failure (logged).
    int64_t n;
    bool wantRead = false;
    if (ssl_) {
      committed = true;
      const int chunk = piece.size > 0x40000000u ? 0x40000000 : static_cast<int>(piece.size);
      int code = SSL_ERROR_NONE;
      {
        ScopedLock lock(tlsLock_.get());
        ERR_clear_error();
        n = SSL_write(ssl_, piece.data, chunk);
        if (n <= 0) code = SSL_get_error(ssl_, static_cast<int>(n));
      }
      if (n <= 0) {
        *error = code;
        if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ) {
          // On a non-blocking socket this is the wait for room, not a failure.
          wantRead = code == SSL_ERROR_WANT_READ;
          n = 0;
        } else if (n == 0 && code == SSL_ERROR_ZERO_RETURN) {
          LOG_SEVERE("SSL_write failed attempting to receive %d bytes, connection was shutdown cleanly. Error: %d", chunk,
                     code);
          n = -1;
        } else {
          LOG_SEVERE("SSL_write error attempting to receive %d bytes. Error: %d", chunk, code);
          if (code == SSL_ERROR_SYSCALL) TlsContext::LogSslSyscallErrors();
          n = -1;
        }
      }
    } else {
      n = sock::SendGatherNow(fd_, pieces + next, count - next);
      if (n <= 0) *error = sock::LastSocketError();
      if (n < 0 && sock::IsWouldBlock(*error)) {
        n = 0;
      } else if (n < 0) {
        LOG_SEVERE("Socket send error attempting to send %d bytes. Error: %d", asInt(unsent), *error);
      } else if (n == 0) {
        LOG_SEVERE("Socket send attempting to send %d bytes. Connection was shutdown. Error: %d", asInt(unsent),
                   *error);
        n = -1;
      }
    }
    if (n > 0) {
      if (!ssl_) committed = true;
      unsent -= static_cast<uint64_t>(n);
      sock::ConsumeSlices(pieces, count, &next, static_cast<uint64_t>(n));
      continue;
    }
    if (n < 0) break;
    const int left = RemainingMs(deadline);
    if (left == 0 || socket_.load() == -1) {
      timedOut = true;
      break;
    }
    const int ready = wantRead ? sock::WaitReadable(fd_, left) : sock::WaitWritable(fd_, left);
    if (ready == 0) {
      timedOut = true;
      break;
    }
    if (ready < 0) {
      if (!committed) return notWritable();
      break;
    }
  }
  if (next == count) return Result_Ok;
  if (timedOut && !committed) return Result_WriteTimeout;
  // A frame cut short leaves the peer's reader in the middle of it: the
  // caller closes the connection once it has let go of the write lock.
  *cut = committed;
  return Result_ConnectionLost;
}

int Connection::WriteBlock(const std::string& block) {
  sock::SendSlice piece{block.data(), block.size()};
  bool cut = false;
  int error = 0;
  const int result = WritePieces(&piece, 1, &cut, &error);
  if (result == Result_ConnectionLost) {
    LOG_SEVERE("Socket write failure - Connection ID - %s socket error = %d", connectionId_.ToString().c_str(), error);
  }
  if (cut) Lose();
  return result;
}

int Connection::WritePieces(sock::SendSlice* pieces, size_t count, bool* cut, int* error) {
  *cut = false;
  *error = 0;
  ScopedLock lock(writeLock_.get());
  if (socket_.load() == -1) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Fail, "Socket closed.");
  }
  return SendPieces(pieces, count, cut, error);
}

int Connection::Write(const UUID& messageType, IDataStream* body) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::Write", [&]() -> int {
    if (!body) return Result_InvalidPointer;
    if (socket_.load() == -1) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_Fail, "Socket closed.");
    }
    std::string block;
    int result = BuildBinaryFrame(messageType, body, &block);
    if (Failed(result)) return result;
    result = WriteBlock(block);
    if (result == Result_Ok) MarkUsed();
    return result;
  });
}

int Connection::WriteText(const UUID& connectionId, IDataStream* text) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::WriteText", [&]() -> int {
    if (!text) return Result_InvalidPointer;
    if (socket_.load() == -1) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_Fail, "Socket closed.");
    }
    // The text's own buffers go out as they are: a large response is
    // neither joined nor copied before the socket takes it.
    std::string storage;
    std::vector<DataStreamSpan> spans;
    int result = GatherTextFrame(text, mode_.handshake, &storage, &spans);
    if (Failed(result)) return result;
    std::vector<sock::SendSlice> pieces;
    pieces.reserve(spans.size());
    for (const DataStreamSpan& span : spans) pieces.push_back({span.data, span.size});
    bool cut = false;
    int error = 0;
    result = WritePieces(pieces.data(), pieces.size(), &cut, &error);
    if (result == Result_ConnectionLost) {
      LOG_RECORD(record, Log_Severe, 0);
      result = record.ReturnResult(Result_ConnectionLost, "Socket write failure - Connection ID - %s",
                                   connectionId.ToString().c_str());
    }
    if (result == Result_Ok) MarkUsed();
    if (cut) Lose();
    return result;
  });
}

int Connection::SetKeepAlive(uint32_t intervalMs, uint32_t timeoutMs) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::SetKeepAlive", [&]() -> int {
    keepAlive_->intervalMs.store(intervalMs);
    keepAlive_->timeoutMs.store(timeoutMs);
    if (Failed(WriteBlock(BuildKeepAliveSettingsFrame(intervalMs, timeoutMs)))) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_Fail, "Unable to set keepalive on connection.");
    }
    return static_cast<int>(Result_Ok);
  });
}

int Connection::SetConnectionSocketDscp(int dscp) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::SetConnectionSocketDscp", [&]() -> int {
    CheckedLock lock(qosLock_);
    const int s = socket_.load();
    if (s == -1) return Result_Fail;
    return QOSWrapper::SetDSCP(s, qosFlow_, static_cast<uint32_t>(dscp));
  });
}

bool Connection::ReadyForWrite() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::ReadyForWrite", [&] {
    ScopedLock lock(writeLock_.get());
    if (socket_.load() == -1) return true;
    return sock::WaitWritable(fd_, 0) == 1;
  });
}

bool Connection::PurgeIfIdle(uint64_t idleMs) {
  const uint32_t keepAliveTimeout = keepAlive_->timeoutMs.load();
  const bool unfinished = partial_.load() || reader_->ReadState() != MESSAGE_HEADER_READ;
  if (keepAliveTimeout != 0 && keepAliveTimeout <= idleMs && keepAlive_->IsRunning() && !unfinished) return false;
  const uint64_t now = static_cast<uint64_t>(CurrentUtcTimeMs());
  if (now - reader_->LastActivityTime() <= idleMs) return false;
  LOG_INFO("Safety timout reached. Connection thread removed. State = %d", reader_->ReadState());
  CloseAndStop();
  RequestDelete();
  return true;
}

void Connection::CloseAndStop() {
  // Shut down first: the receive thread may be blocked in a read. It ends
  // on its own; joining it here could wait on a receiver that waits on the
  // manager.
  CloseSocket(false, true);
  GetSchedulerThread()->RequestStop();
}

uint64_t Connection::LastActivityTime() const { return reader_->LastActivityTime(); }

void Connection::CloseSocket(bool quiet, bool postEvent) {
  const int old = socket_.exchange(-1);
  if (old == -1) return;
  // Before anything waits: readers and writers blocked on the socket return.
  sock::Shutdown(old);
  {
    CheckedLock lock(qosLock_);
    if (qosFlow_.handle) QOSWrapper::CleanupQos(qosFlow_);
  }
  // Receivers hear of the close only when they heard of the connection; one
  // that is being announced right now hears of it after its Connected.
  int state = announcement_.load();
  while (state == kUnannounced || state == kAnnouncing) {
    const int closed = !quiet && state == kAnnouncing ? kClosedWhileAnnouncing : kClosedUnannounced;
    if (announcement_.compare_exchange_weak(state, closed)) break;
  }
  if (!quiet) {
    keepAlive_->RequestHalt();
    if (state == kAnnounced && notifier_) {
      if (postEvent) {
        notifier_->PostEvent(connectionId_, TransportEvent_Disconnected);
      } else {
        notifier_->OnEvent(connectionId_, TransportEvent_Disconnected);
      }
    }
  }
}

void Connection::MarkUsed() { lastUse_.store(static_cast<uint64_t>(CurrentUtcTimeMs())); }

void Connection::OnMessage(const UUID& messageType, IDataStream* data) {
  MarkUsed();
  if (notifier_) notifier_->OnDataReady(connectionId_, messageType, data);
}

void Connection::OnKeepAliveSettings(std::optional<uint32_t> intervalMs, std::optional<uint32_t> timeoutMs) {
  // A value the frame does not hold keeps the one set before.
  if (intervalMs) keepAlive_->intervalMs.store(*intervalMs);
  if (timeoutMs) keepAlive_->timeoutMs.store(*timeoutMs);
  keepAlive_->StartKeepAlive(this);
}

void Connection::OnKeepAlive() {
  if (!keepAlive_->IsRunning()) keepAlive_->StartKeepAlive(this);
  keepAliveSilenceCount_.store(0);
}

void Connection::HoldBackWhileReceiversBehind() {
  if (!notifier_) return;
  while (!notifier_->WaitPendingAtMost(connectionId_, kMaxQueuedDeliveryBytes, kReadinessWaitMs)) {
    if (GetSchedulerThread()->IsStopRequested() || socket_.load() == -1) return;
  }
}

bool Connection::SilentWait() {
  // A peer's settings cannot keep a silent connection longer than the idle
  // purge would.
  const uint32_t timeout = std::min<uint32_t>(keepAlive_->timeoutMs.load(), kMaxKeepAliveTimeoutMs);
  if (timeout == 0 || !keepAlive_->IsRunning()) return true;
  const uint32_t count = keepAliveSilenceCount_.fetch_add(1) + 1;
  if (count > timeout / 100) {
    LOG_SEVERE("Keep Alive on connection expired - Connection ID %s. Error: %d. Keepalive: %d",
               connectionId_.ToString().c_str(), sock::LastSocketError(), static_cast<int>(timeout));
    Lose();
    return false;
  }
  if (count == kReachedLogCount) {
    LOG_SEVERE(
        "Keep Alive on connection REACHED 15 SEC TIMEOUT, would have disconnected. Connection ID %s. New "
        "keepalive: %d",
        connectionId_.ToString().c_str(), static_cast<int>(timeout));
  }
  return true;
}

int Connection::WaitForReadable() {
  if (socket_.load() == -1) return -1;
  if (ssl_) {
    {
      ScopedLock lock(tlsLock_.get());
      if (SSL_pending(ssl_) > 0) return 1;
    }
    const int rc = sock::WaitReadable(fd_, kReadinessWaitMs);
    if (rc <= 0) return rc;
    // Bytes on the socket may be only part of a record: readable means a
    // whole record (or the end) is there.
    uint8_t probe = 0;
    int error = 0;
    int n;
    {
      ScopedLock lock(tlsLock_.get());
      ERR_clear_error();
      n = SSL_peek(ssl_, &probe, 1);
      if (n <= 0) error = SSL_get_error(ssl_, n);
    }
    if (n <= 0 && (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)) return 0;
    return 1;
  }
  // Bytes the reader could not use yet make the socket no more readable:
  // only more of them do.
  if (Buffered() > 0 && !awaitMore_) return 1;
  if (!timedReads_) {
    const int rc = sock::WaitReadable(fd_, kReadinessWaitMs);
    if (rc != 0) awaitMore_ = false;
    return rc;
  }
  // One read that waits up to the readiness time: bytes or the end are
  // "readable"; an error is kept for the reader, which reports it.
  sock::ClearLastSocketError();
  size_t room = 0;
  uint8_t* space = FillSpace(&room);
  const int64_t n = sock::Receive(fd_, space, room);
  if (n < 0 && sock::IsWouldBlock(sock::LastSocketError())) return 0;
  awaitMore_ = false;
  if (n > 0) {
    inEnd_ += static_cast<size_t>(n);
  } else if (n < 0) {
    stashedError_ = sock::LastSocketError();
  }
  return 1;
}

bool Connection::NothingMoreFromPeer() {
  if (Buffered() > 0) return false;
  size_t room = 0;
  uint8_t* space = FillSpace(&room);
  const int64_t n = sock::ReceiveNow(fd_, space, room);
  if (n > 0) inEnd_ += static_cast<size_t>(n);
  // The end of the stream and errors take the usual way.
  return n < 0 && sock::IsWouldBlock(sock::LastSocketError());
}

bool Connection::FirstPass() {
  firstPass_ = false;
  if (mode_.handshake) {
    const std::string handshake = BuildHandshake(connectionId_, sslContext_ != nullptr);
    bool sent;
    int error = 0;
    {
      ScopedLock lock(writeLock_.get());
      bool cut = false;
      sent = SendBlock(handshake, &cut, &error) == Result_Ok;
    }
    if (!sent) {
      LOG_SEVERE("Socket handshake write failure. Error: %d", error);
      CloseSocket(true);
      RequestDelete();
      return false;
    }
  }
  if (sslContext_) {
    sock::SetNonBlocking(fd_, true);
    int error = 0;
    {
      ScopedLock lock(tlsLock_.get());
      ssl_ = SSL_new(sslContext_);
      if (ssl_) SSL_set_fd(ssl_, fd_);
    }
    if (!ssl_ || !TlsHandshake(false, kDefaultTimeoutMs, &error)) {
      // Logged before the close, so whoever sees the close can find the line.
      LOG_SEVERE("SSL error: %s", FirstSslError().c_str());
      CloseSocket(true);
      RequestDelete();
      return false;
    }
  }
  // A connection closed before this point was never announced, and stays so.
  int state = kUnannounced;
  if (!announcement_.compare_exchange_strong(state, kAnnouncing)) return false;
  if (notifier_) notifier_->OnEvent(connectionId_, TransportEvent_Connected);
  state = kAnnouncing;
  if (announcement_.compare_exchange_strong(state, kAnnounced)) return true;
  if (state == kClosedWhileAnnouncing && notifier_) notifier_->OnEvent(connectionId_, TransportEvent_Disconnected);
  return false;
}

bool Connection::ThreadFunc() {
  const bool more = ReceivePass();
  // A receive thread is never woken again once a pass gives up: ending it
  // now frees its native thread for the next connection instead of holding
  // it until the destructor stops it.
  if (!more) GetSchedulerThread()->RequestStop();
  return more;
}

bool Connection::ReceivePass() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Connection::ThreadFunc", [&] {
    if (TryAddRef() <= 0) return false;
    // Release defers: the last reference never destroys this on its own thread.
    struct Hold {
      Connection* self;
      ~Hold() {
        t_receiving = nullptr;
        self->Release();
      }
    } hold{this};
    t_receiving = this;
    if (socket_.load() == -1) return false;
    if (firstPass_ && !FirstPass()) return false;
    if (sendFinished_.load() && NothingMoreFromPeer()) {
      Lose();
      return false;
    }

    const int ready = WaitForReadable();
    if (ready < 0) {
      // Closed by another thread, which also saw to the removal.
      if (socket_.load() == -1) return false;
      LOG_SEVERE("Socket error, closing socket. Error: %d", sock::LastSocketError());
      Lose();
      return false;
    }
    if (ready == 0) return SilentWait();
    uint8_t first = 0;
    const int peeked = Peek(&first, 1);
    if (peeked >= 1) {
      const uint64_t before = consumed_;
      reader_->ReadPass();
      partial_.store(Buffered() > 0);
      // Lost inside the pass (its keep-alive expired in a read).
      if (socket_.load() == -1) return false;
      // A pass that took nothing left part of a start code queued; once the
      // peer has stopped sending it can never complete, and the queued
      // bytes would keep the socket readable for ever.
      if (consumed_ == before && sock::PeerHasClosed(fd_)) {
        Lose();
        return false;
      }
      HoldBackWhileReceiversBehind();
      return true;
    }
    if (socket_.load() == -1) return false;
    {
      if (peeked == 0) {
        if (lastError_ != 0) {
          LOG_INFO("Socket closed - Connection ID - %s retval = %d, error: %d", connectionId_.ToString().c_str(),
                   peeked, lastError_);
        }
      } else {
        LOG_SEVERE("Socket error - Connection ID - %s retval = %d socket error = %d", connectionId_.ToString().c_str(),
                   peeked, lastError_);
      }
    }
    Lose();
    return false;
  });
}

}  // namespace corvane
