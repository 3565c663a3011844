#include "NetworkTransportImpl.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "CrashLog.h"
#include "Locks.h"
#include "Logger.h"
#include "Network.h"
#include "Result.h"
#include "SocketLayer.h"
#include "SocketWrapper.h"
#include "StringUtils.h"
#include "TransportConnection.h"
#include "TransportConnectionManager.h"
#include "TransportDeferredRelease.h"
#include "TransportListener.h"

namespace corvane {

namespace sock = platform;

namespace {

constexpr uint32_t kIdleSleepMs = 100;
constexpr int kAcceptWaitMs = 100;
constexpr int kChangePortBindAttempts = 6;
constexpr uint32_t kBindRetryPauseMs = 500;
constexpr uint32_t kConnectionTimerPeriod = 1000;
// How long the system holds back a silent peer of a listener whose peers
// speak first; it is accepted after that, and the receiver's own limits
// for silent connections take over.
constexpr int kAcceptWhenReadableSeconds = 1;

// Winsock's start-up count; nothing to start on this platform.
std::atomic<int> g_socketSubsystemUsers{0};

// "%d.%d.%d.%d" with every number inside int (a wider one is no number) and
// 0-255 as an unsigned value; trailing text ignored.
bool ParseDottedQuad(const std::string& name, uint32_t* address) {
  const char* p = name.c_str();
  uint32_t parts[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') return false;
      ++p;
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(p, &end, 10);
    if (end == p || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    if (static_cast<uint32_t>(static_cast<int>(value)) > 255) return false;
    parts[i] = static_cast<uint32_t>(value);
    p = end;
  }
  *address = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  return true;
}

}  // namespace

int OpenListeningSocket(uint32_t bindAddress, uint16_t port, int bindAttempts, bool peersSpeakFirst, int* out) {
  const int s = sock::CreateTcpSocket();
  if (s < 0) {
    LOG_SEVERE("Failed to create valid socket (%d). Socket error %d", -1, sock::LastSocketError());
    return -1;
  }
  // A restart must not fail over connections left in TIME_WAIT.
  sock::SetReuseAddress(s, true);
  int bound = -1;
  for (int attempt = 0; attempt < bindAttempts; ++attempt) {
    bound = sock::Bind(s, bindAddress, port);
    if (bound == 0) break;
    // A move to a busy port pauses after every failed attempt, the last
    // one included; a first opening tries once and does not pause.
    if (bindAttempts > 1) GetDefaultScheduler()->Sleep(kBindRetryPauseMs);
  }
  if (bound != 0) {
    const int error = sock::LastSocketError();
    if (bindAttempts == 1) {
      LOG_SEVERE("Failed to bind socket. Params: %d, %d, %d. Socket error %d", s, 2,
                 static_cast<int>(sock::HostToNetwork16(port)), error);
    } else {
      LOG_SEVERE("Failed to bind socket. Error %d", error);
    }
    sock::CloseSocket(s);
    return -2;
  }
  if (sock::Listen(s) != 0) {
    LOG_SEVERE("Unable to listen on socket. Socket error %d", sock::LastSocketError());
    sock::CloseSocket(s);
    return -3;
  }
  // A peer that resets between the wait and accept must not block the
  // accepting thread.
  sock::SetNonBlocking(s, true);
  // Handed over before its bytes come, a peer that speaks first would only
  // make its server wait again until they do: a second wake-up for every
  // short request, which under load is the larger part of its cost.
  if (peersSpeakFirst) sock::SetAcceptWhenReadable(s, kAcceptWhenReadableSeconds);
  *out = s;
  return 0;
}

int NetworkTransportImpl::LiveConnectionCount() { return Connection::LiveCount(); }

NetworkTransportImpl::NetworkTransportImpl(uint32_t bindAddress, uint16_t port, TransportMode mode,
                                           const EncryptionStruct* settings)
    : bindAddress_(bindAddress),
      port_(port),
      mode_(mode),
      lock_(GetDefaultScheduler()->CreateMutex()),
      listenerLock_(GetDefaultScheduler()->CreateFastMutex()),
      contextLock_(GetDefaultScheduler()->CreateFastMutex()),
      connectionTimer_("Connection TImer", kConnectionTimerPeriod, 0, false, true) {
  if (settings) settings_ = *settings;
}

NetworkTransportImpl::~NetworkTransportImpl() {
  CRASH_LOG_GUARD_NOTHROW("corvane::NetworkTransportImpl::~NetworkTransportImpl", [&] {
    Finalize();
    Stop();
  });
}

bool NetworkTransportImpl::Acquire(RefPtr<ConnectionManager>* manager, RefPtr<NotificationThread>* notifier,
                                   SSL_CTX** context) {
  ScopedLock lock(lock_.get());
  if (!initialised_.load()) return false;
  if (manager) *manager = manager_.Get();
  if (notifier) *notifier = notifier_.Get();
  if (context) {
    ScopedLock contextLock(contextLock_.get());
    *context = context_ && SSL_CTX_up_ref(context_.get()) == 1 ? context_.get() : nullptr;
  }
  return true;
}

int NetworkTransportImpl::NotInitialized() {
  LOG_RECORD(record, Log_Severe, 0);
  return record.ReturnResult(Result_NotInitialized, "Transport object is not initialized.");
}

int NetworkTransportImpl::SetDataHook(IDataHook* hook) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetDataHook", [&]() -> int {
    ScopedLock lock(lock_.get());
    return notifier_ ? notifier_->SetDataHook(hook) : static_cast<int>(Result_Ok);
  });
}

int NetworkTransportImpl::MakeListener(uint16_t port, int bindAttempts, int* out) {
  // Without a handshake of ours the peer speaks first.
  return OpenListeningSocket(bindAddress_, port, bindAttempts, !mode_.handshake, out);
}

void NetworkTransportImpl::CloseListener() {
  ScopedLock lock(listenerLock_.get());
  sock::CloseSocket(listenSocket_.exchange(-1));
}

void NetworkTransportImpl::RollBack() {
  CloseListener();
  if (manager_) {
    manager_->Shutdown();
    manager_.Reset();
  }
  if (notifier_) ReleaseDeferred(notifier_.Detach());
  ScopedLock contextLock(contextLock_.get());
  context_.reset();
  g_socketSubsystemUsers.fetch_sub(1);
}

int NetworkTransportImpl::Initialize(bool asyncNotify, bool enabled) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Initialize", [&]() -> int {
    ScopedLock lock(lock_.get());
    if (initialised_.load()) return Result_AlreadyInitialized;
    acceptEnabled_.store(enabled);
    const uint16_t port = port_.load();
    if (port != 0 && settings_.enabled && (settings_.certificate.empty() || settings_.privateKey.empty())) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_Fail, "We must have valid certificate and private key parameters");
    }
    asyncNotify_ = asyncNotify;
    TlsContext::InitializeLibrary();
    {
      ScopedLock contextLock(contextLock_.get());
      context_ = TlsContext::CreateContext();
    }
    if (!context_) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_Fail, "Unable to create SSL context");
    }
    // A certificate that will not load is logged and leaves TLS accepts to
    // fail later; it does not stop the transport.
    if (port != 0 && settings_.enabled) TlsContext::InitializeSSL(context_.get(), settings_);
    g_socketSubsystemUsers.fetch_add(1);
    sock::IgnoreBrokenPipeSignal();
    if (port != 0) {
      int s = -1;
      if (MakeListener(port, 1, &s) != 0) {
        RollBack();
        return Result_Fail;
      }
      listenSocket_.store(s);
    }
    manager_.Attach(new ConnectionManager());
    manager_->SetIdlePurgeTimes(purgePeriodMs_.load(), purgeIdleMs_.load());
    int result = manager_->Initialize();
    if (Failed(result)) {
      RollBack();
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(result, "Failed to initialize connection manager");
    }
    notifier_.Attach(new NotificationThread(asyncNotify));
    result = notifier_->Initialize();
    if (Failed(result)) {
      RollBack();
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(result, "Failed to initialize notification thread");
    }
    if (port != 0) {
      SetName("xport-listen");
      Start(kInfinite);
      listenerStarted_ = true;
    }
    initialised_.store(true);
    return static_cast<int>(Result_Ok);
  });
}

int NetworkTransportImpl::Finalize() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Finalize", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    RefPtr<NotificationThread> notifier;
    SslContextPtr context;
    {
      ScopedLock lock(lock_.get());
      if (!initialised_.exchange(false)) {
        LOG_SPEW(3, "Transport object is not initialized.");
        return Result_NotInitialized;
      }
      if (listenerStarted_) {
        Stop();
        listenerStarted_ = false;
      }
      CloseListener();
      manager = std::move(manager_);
      notifier = std::move(notifier_);
      ScopedLock contextLock(contextLock_.get());
      context = std::move(context_);
      g_socketSubsystemUsers.fetch_sub(1);
    }
    // Outside the lock: receivers hear the Disconnected events here and may
    // call back into the transport.
    manager->Shutdown();
    manager.Reset();
    notifier->RemoveAllNotify();
    notifier->Discard();
    ReleaseDeferred(notifier.Detach());
    return static_cast<int>(Result_Ok);
  });
}

int NetworkTransportImpl::SetEnabled(bool enabled) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetEnabled", [&]() -> int {
    ScopedLock lock(lock_.get());
    if (!initialised_.load()) return Result_NotInitialized;
    // Under the listener's lock, which a pass holds from its own look at the
    // gate to its accept: once this returns no pass accepts on the old state.
    ScopedLock listenerLock(listenerLock_.get());
    acceptEnabled_.store(enabled);
    return Result_Ok;
  });
}

int NetworkTransportImpl::SetEncryptionEnabled(bool enabled) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetEncryptionEnabled", [&]() -> int {
    ScopedLock lock(lock_.get());
    if (!initialised_.load()) return Result_NotInitialized;
    if (!settings_.enabled) return Result_Fail;
    tlsForAccepted_.store(enabled);
    return Result_Ok;
  });
}

int NetworkTransportImpl::UpdateEncryptionStruct(const EncryptionStruct& settings) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::UpdateEncryptionStruct", [&]() -> int {
    if (!initialised_.load()) return NotInitialized();
    // A fresh context: connections may be making sessions from the live one.
    SslContextPtr fresh = TlsContext::CreateContext();
    const int result = TlsContext::InitializeSSL(fresh.get(), settings);
    if (Failed(result)) return result;
    ScopedLock lock(lock_.get());
    settings_ = settings;
    ScopedLock contextLock(contextLock_.get());
    if (context_) context_ = std::move(fresh);
    return result;
  });
}

int NetworkTransportImpl::ReleaseListenerPort() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ReleaseListenerPort", [&]() -> int {
    ScopedLock lock(lock_.get());
    if (!initialised_.load()) return Result_NotInitialized;
    CloseListener();
    return Result_Ok;
  });
}

int NetworkTransportImpl::ChangeListenerPort(uint16_t port) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ChangeListenerPort", [&]() -> int {
    ScopedLock lock(lock_.get());
    if (!initialised_.load()) return Result_NotInitialized;
    if (port == 0) return Result_Ok;
    int s = -1;
    if (MakeListener(port, kChangePortBindAttempts, &s) != 0) return Result_Fail;
    ScopedLock listenerLock(listenerLock_.get());
    port_.store(port);
    sock::CloseSocket(listenSocket_.exchange(s));
    return Result_Ok;
  });
}

int NetworkTransportImpl::AddNotify(ITransportNotify* receiver) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::AddNotify", [&]() -> int {
    RefPtr<NotificationThread> notifier;
    if (!Acquire(nullptr, &notifier)) return NotInitialized();
    return notifier->AddNotify(receiver);
  });
}

int NetworkTransportImpl::RemoveNotify(ITransportNotify* receiver) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::RemoveNotify", [&]() -> int {
    RefPtr<NotificationThread> notifier;
    {
      ScopedLock lock(lock_.get());
      notifier = notifier_.Get();
    }
    if (notifier) notifier->RemoveNotify(receiver);
    return Result_Ok;
  });
}

int NetworkTransportImpl::SetConnectionOptions(int32_t first, int32_t second) {
  ScopedLock lock(lock_.get());
  connectionOptions_[0] = first;
  connectionOptions_[1] = second;
  return Result_Ok;
}

int NetworkTransportImpl::SetSlotChooser(IChooser* chooser) {
  slotChooser_.store(chooser);
  return Result_Ok;
}

void NetworkTransportImpl::SetIdlePurgeTimes(uint32_t periodMs, uint32_t idleMs) {
  purgePeriodMs_.store(periodMs);
  purgeIdleMs_.store(idleMs);
  RefPtr<ConnectionManager> manager;
  if (Acquire(&manager)) manager->SetIdlePurgeTimes(periodMs, idleMs);
}

bool NetworkTransportImpl::FreeSlot(ConnectionManager* manager) {
  UUID victim;
  IChooser* chooser = slotChooser_.load();
  const bool chosen = chooser ? chooser->ChooseConnectionToClose(&victim) : manager->ConnectionToFreeSlot(&victim);
  return chosen && manager->CloseToFreeSlot(victim);
}

bool NetworkTransportImpl::ThreadFunc() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ThreadFunc", [&] {
    // Finalize stops this thread before it lets go of the manager and the
    // notification thread, so both stay valid for the whole pass.
    ConnectionManager* manager = manager_.Get();
    if (manager) manager->WakeIfDue();
    if (!acceptEnabled_.load() || port_.load() == 0 || listenSocket_.load() == -1 || !manager) {
      GetDefaultScheduler()->Sleep(kIdleSleepMs);
      return true;
    }
    const bool full = manager->ListenerCount() >= MAX_CONNECTION_COUNT;
    ScopedLock lock(listenerLock_.get());
    const int listener = listenSocket_.load();
    if (listener == -1 || !acceptEnabled_.load()) return true;
    // While clients keep coming one is usually queued already: it is taken
    // without a wait first. Accepted sockets stay blocking.
    int s = full ? -1 : sock::Accept(listener, nullptr, false);
    if (s < 0) {
      const int ready = sock::WaitReadable(listener, kAcceptWaitMs);
      if (ready < 0) {
        LOG_SEVERE("Failure on listener socket: %d", sock::LastSocketError());
        return true;
      }
      if (ready == 0) return true;
      // The gate may have closed during the wait: the peer stays queued.
      if (!acceptEnabled_.load()) return true;
      // A peer waits and every slot is held: one connection makes room, or
      // the peer stays queued.
      if (full && !FreeSlot(manager)) {
        GetDefaultScheduler()->Sleep(kIdleSleepMs);
        return true;
      }
      s = sock::Accept(listener, nullptr, false);
    }
    connectionTimer_.Start();
    if (s < 0) {
      const int error = sock::LastSocketError();
      // The peer went between the wait and accept: no event.
      if (!sock::IsWouldBlock(error) && error != ECONNABORTED) {
        LOG_SEVERE("Invalid socket returned on accept call. Error: %d", error);
      }
      return true;
    }
    LOG_SPEW(1, "Socket accepted on port %d", static_cast<int>(port_.load()));
    sock::SetNoDelay(s, true);
    RefPtr<Connection> connection;
    connection.Attach(new Connection(manager, notifier_.Get(), mode_));
    // Read after the accept, so a switch made while this pass waited holds.
    const bool tls = tlsForAccepted_.load();
    SslContextPtr context;
    if (tls) {
      ScopedLock contextLock(contextLock_.get());
      if (context_ && SSL_CTX_up_ref(context_.get()) == 1) context.reset(context_.get());
    }
    const int result = connection->Initialize(s, context.get(), tls);
    if (Succeeded(result)) {
      LOG_SPEW(1, "Connection Created - Connection ID - %s", connection->Id().ToString().c_str());
      connection->StartReceiving(false);
    }
    connectionTimer_.End();
    return true;
  });
}

int NetworkTransportImpl::OpenConnection(uint32_t ipv4, uint16_t port, UUID* connectionId, int timeoutMs) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::OpenConnection", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    RefPtr<NotificationThread> notifier;
    SSL_CTX* context = nullptr;
    if (!Acquire(&manager, &notifier, &context)) return NotInitialized();
    // Held for the set-up: UpdateEncryptionStruct may swap the context.
    SslContextPtr heldContext(context);
    if (!connectionId) return Result_InvalidPointer;
    RefPtr<Connection> connection;
    connection.Attach(new Connection(manager.Get(), notifier.Get(), kBinaryTransportMode));
    int result = connection->Initialize(ipv4, port, static_cast<uint32_t>(timeoutMs), context);
    heldContext.reset();
    if (Failed(result)) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(result, "Unable to initialize new connection. ip: %s port: %d, timeout: %d",
                                 FormatIPv4(ipv4).c_str(), static_cast<int>(port), timeoutMs);
    }
    // Registered before its thread runs, so a connection that dies at once
    // is removed after it was added, never before.
    result = manager->AddConnection(connection.Get());
    if (Failed(result)) {
      connection->CloseSocket(true);
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(result, "Unable to add connection to connection manager.");
    }
    result = connection->StartReceiving(true);
    if (Failed(result)) return result;
    *connectionId = connection->Id();
    return static_cast<int>(Result_Ok);
  });
}

int NetworkTransportImpl::CloseConnection(const UUID& connectionId) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::CloseConnection", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    return manager->DeleteConnection(connectionId);
  });
}

int NetworkTransportImpl::CloseAllConnections() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::CloseAllConnections", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    return manager->DeleteAllConnections();
  });
}

int NetworkTransportImpl::GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::GetPeerIpv4", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!ipv4) return Result_InvalidPointer;
    uint32_t address = 0;
    uint16_t peerPort = 0;
    const int result = manager->GetPeerIpv4(connectionId, &address, &peerPort);
    *ipv4 = address;
    if (Succeeded(result) && port) *port = peerPort;
    return result;
  });
}

int NetworkTransportImpl::GetLocalIpv4(const UUID& connectionId, uint32_t* ipv4) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::GetLocalIpv4", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!ipv4) return Result_InvalidPointer;
    const int result = manager->GetLocalIpv4(connectionId, ipv4);
    if (Failed(result)) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(result, "Unable to get local ipv4.");
    }
    return result;
  });
}

int NetworkTransportImpl::ConnectionReadyForWrite(const UUID& connectionId, bool* ready) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionReadyForWrite", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!ready) return Result_InvalidPointer;
    *ready = manager->ConnectionReadyForWrite(connectionId);
    return Result_Ok;
  });
}

int NetworkTransportImpl::Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::Write", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!body) return Result_InvalidPointer;
    return manager->Write(connectionId, messageType, body);
  });
}

int NetworkTransportImpl::WriteText(const UUID& connectionId, IDataStream* text) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::WriteText", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!text) return Result_InvalidPointer;
    return manager->WriteText(connectionId, text);
  });
}

int NetworkTransportImpl::WriteTextSynchronous(const UUID& connectionId, IDataStream* text) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::WriteTextSynchronous", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!text) return Result_InvalidPointer;
    return manager->WriteTextSynchronous(connectionId, text);
  });
}

int NetworkTransportImpl::SetKeepAlive(const UUID& connectionId, int intervalMs, int timeoutMs) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetKeepAlive", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    const int result =
        manager->SetKeepAlive(connectionId, static_cast<uint32_t>(intervalMs), static_cast<uint32_t>(timeoutMs));
    if (Failed(result)) {
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(result, "Unable to set keep alive on connection.");
    }
    return result;
  });
}

int NetworkTransportImpl::SetConnectionSocketDscp(const UUID& connectionId, int dscp) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetConnectionSocketDscp", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    return manager->SetConnectionSocketDscp(connectionId, static_cast<uint32_t>(dscp));
  });
}

int NetworkTransportImpl::CreateWriter(const UUID& connectionId, IWriter** writer) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::CreateWriter", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!writer) return Result_InvalidPointer;
    return manager->CreateWriter(connectionId, writer);
  });
}

int NetworkTransportImpl::CreateDataStream(IDataStream** stream) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::CreateDataStream", [&]() -> int {
    if (!initialised_.load()) return NotInitialized();
    if (!stream) return Result_InvalidPointer;
    return corvane::CreateDataStream(stream);
  });
}

// Nothing to bracket; only the transport's state is reported. Read without
// the transport lock: the RPC layer brackets every write with these.
int NetworkTransportImpl::BeginWrite() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::BeginWrite", [&]() -> int {
    return initialised_.load() ? static_cast<int>(Result_Ok) : NotInitialized();
  });
}

int NetworkTransportImpl::EndWrite() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::EndWrite", [&]() -> int {
    return initialised_.load() ? static_cast<int>(Result_Ok) : NotInitialized();
  });
}

int NetworkTransportImpl::SetIdleConnectionPurgeEnabled(bool enabled) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetIdleConnectionPurgeEnabled", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    manager->SetIdlePurgeEnabled(enabled);
    return Result_Ok;
  });
}

int NetworkTransportImpl::GetStatistics(int* connectionCount) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::GetStatistics", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager)) return NotInitialized();
    if (!connectionCount) return Result_InvalidPointer;
    *connectionCount = manager->ConnectionCount();
    return Result_Ok;
  });
}

int NetworkTransportImpl::SetWriteTimeout(int timeoutMs) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::SetWriteTimeout", [&]() -> int {
    RefPtr<ConnectionManager> manager;
    if (timeoutMs == 0 || !Acquire(&manager)) return Result_InvalidArgument;
    manager->WriteTimeout()->store(static_cast<uint32_t>(timeoutMs));
    return Result_Ok;
  });
}

int NetworkTransportImpl::GetHostByName(const std::string& name, uint32_t* ipv4) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::GetHostByName", [&]() -> int {
    if (!ipv4) return Result_InvalidPointer;
    *ipv4 = 0;
    if (ParseDottedQuad(name, ipv4)) return Result_Ok;
    RefPtr<ISocket> socket;
    CreateSocket(socket.Receive(), SocketFamily_IPv4, SocketType_Datagram, SocketProtocol_Udp);
    const int result = socket ? socket->GetHostIpv4(name, ipv4) : static_cast<int>(Result_Fail);
    LOG_SPEW(1, "Trying to get host ip from host name (\"%s\") via native socket and got \"%s\"", name.c_str(),
             FormatIPv4(*ipv4).c_str());
    return result;
  });
}

namespace platform {

namespace {

int Create(uint32_t bindAddress, uint16_t port, TransportMode mode, const EncryptionStruct* settings,
           ITransport** out) {
  if (!out) return Result_InvalidPointer;
  *out = new NetworkTransportImpl(bindAddress, port, mode, settings);
  return Result_Ok;
}

}  // namespace

int CreateInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out) {
  return CRASH_LOG_GUARD("corvane::platform::CreateInstance",
                         [&] { return Create(bindAddress, port, kBinaryTransportMode, settings, out); });
}

int CreateInstance(uint32_t bindAddress, uint16_t port, ITransport** out) {
  return CRASH_LOG_GUARD("corvane::platform::CreateInstance",
                         [&] { return Create(bindAddress, port, kBinaryTransportMode, nullptr, out); });
}

int CreateTextInstance(uint32_t bindAddress, uint16_t port, ITransport** out) {
  return CRASH_LOG_GUARD("corvane::platform::CreateTextInstance",
                         [&] { return Create(bindAddress, port, kTextTransportMode, nullptr, out); });
}

int CreateRawInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out) {
  return CRASH_LOG_GUARD("corvane::platform::CreateRawInstance",
                         [&] { return Create(bindAddress, port, kRawTransportMode, settings, out); });
}

}  // namespace platform

}  // namespace corvane
