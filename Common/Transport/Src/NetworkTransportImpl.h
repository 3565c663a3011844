// The TCP message transport: a listener (when made with a port) that
// accepts connections, a connection manager that owns them, a notification
// thread that hands on what they receive, and the per-connection operations
// of ITransport.
//
// Threads: callers on any thread; the listener; the manager's thread; the
// notification thread; per connection a receive thread and, once keep-alive
// is set up, a keep-alive thread. Operations hold counted references to the
// manager and the notification thread for their whole run, so a racing
// Finalize never frees them underneath.
//
// Locks of the socket transport, outermost first; a thread holding one takes
// only those below it:
//   lock_ (transport; re-entrant)   set-up, Finalize, port and TLS changes
//   listenerLock_                   the listening socket and the accept
//                                   gate; the listener holds it across its
//                                   accept wait (kAcceptWaitMs)
//   contextLock_                    swaps of the TLS context; around nothing
//   Connection::writeLock_          one writer per connection, across a whole
//                                   frame's send (and its waits for room)
//   Connection::tlsLock_            each SSL call alone, never across a wait
//   NotificationThread::receiverLock_  the receivers; held while an
//                                   asynchronous delivery is queued, so the
//                                   pending-bytes monitor and the execution
//                                   queue's locks come after it
//   Connection::managerLock_, qosLock_, Manager::queueLock_,
//   Manager::writeStatusLock_, HeldBytesBudget's mutex   leaves
// None is held while a user's notify or data hook runs. The leaves are
// checked locks with the members they guard annotated; the others are the
// framework's re-entrant locks and carry no compiler-checked annotations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ITransport.h"
#include "NotificationThread.h"
#include "PerformanceTimer.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "Thread.h"
#include "TlsContext.h"

namespace corvane {

class NetworkTransportImpl final : public ITransportFastWrite,
                                   public IListenerSlots,
                                   public Thread,
                                   public IRefCountImpl {
 public:
  class Connection;
  class ConnectionManager;

  // The listener accepts only below this many connections, or after it
  // closed one to make room (IListenerSlots).
  static constexpr int MAX_CONNECTION_COUNT = 100;
  // The idle purge: connections silent for longer than the idle time go,
  // checked at least once per period (the listener wakes the manager for
  // it; a transport without a port purges only when a request wakes it).
  static constexpr uint32_t kDefaultPurgePeriodMs = 30000;
  static constexpr uint32_t kDefaultPurgeIdleMs = 300000;

  // settings may be null (TLS off). Nothing is opened before Initialize.
  NetworkTransportImpl(uint32_t bindAddress, uint16_t port, TransportMode mode, const EncryptionStruct* settings);

  int SetDataHook(IDataHook* hook) override;
  int Initialize(bool asyncNotify, bool enabled) override;
  int SetEnabled(bool enabled) override;
  int ReleaseListenerPort() override;
  int ChangeListenerPort(uint16_t port) override;
  int SetConnectionSocketDscp(const UUID& connectionId, int dscp) override;
  int Finalize() override;
  int SetEncryptionEnabled(bool enabled) override;
  int UpdateEncryptionStruct(const EncryptionStruct& settings) override;
  int AddNotify(ITransportNotify* receiver) override;
  int SetKeepAlive(const UUID& connectionId, int intervalMs, int timeoutMs) override;
  int SetIdleConnectionPurgeEnabled(bool enabled) override;
  int SetWriteTimeout(int timeoutMs) override;
  int RemoveNotify(ITransportNotify* receiver) override;
  int SetConnectionOptions(int32_t first, int32_t second) override;
  int OpenConnection(uint32_t ipv4, uint16_t port, UUID* connectionId, int timeoutMs) override;
  int CloseConnection(const UUID& connectionId) override;
  int CloseAllConnections() override;
  int GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port) override;
  int GetLocalIpv4(const UUID& connectionId, uint32_t* ipv4) override;
  int BeginWrite() override;
  int EndWrite() override;
  int ConnectionReadyForWrite(const UUID& connectionId, bool* ready) override;
  int Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) override;
  int WriteText(const UUID& connectionId, IDataStream* text) override;
  int WriteTextSynchronous(const UUID& connectionId, IDataStream* text) override;
  int GetStatistics(int* connectionCount) override;
  int GetHostByName(const std::string& name, uint32_t* ipv4) override;
  int SetFlowControlMode() override { return Result_Fail; }
  int SetResendMode() override { return Result_Fail; }
  int CreateWriter(const UUID& connectionId, IWriter** writer) override;
  // A new empty stream with one reference for the caller. It hides the free
  // function inside this class and its nested ones: they call
  // corvane::CreateDataStream.
  virtual int CreateDataStream(IDataStream** stream);

  int SetSlotChooser(IChooser* chooser) override;
  // The purge's period and idle time (tests use short ones); takes effect
  // at the next Initialize and for an initialised transport at once.
  void SetIdlePurgeTimes(uint32_t periodMs, uint32_t idleMs);

  // The listener: one accept pass.
  bool ThreadFunc() override;

  // Connection objects alive in the process (a test seam for leak checks).
  static int LiveConnectionCount();

 private:
  ~NetworkTransportImpl() override;

  // Under the transport lock: when initialised, counted references to what
  // an operation needs (the context up-referenced: the caller frees it). A
  // null argument is not filled.
  bool Acquire(RefPtr<ConnectionManager>* manager, RefPtr<NotificationThread>* notifier = nullptr,
               SSL_CTX** context = nullptr);
  int NotInitialized();
  // Undoes whatever a failed Initialize made.
  void RollBack();
  void CloseListener();
  int MakeListener(uint16_t port, int bindAttempts, int* out);
  // Every slot is held and a peer waits: closes the chosen connection.
  // False when none was closed.
  bool FreeSlot(ConnectionManager* manager);

  const uint32_t bindAddress_;
  std::atomic<uint16_t> port_;
  const TransportMode mode_;
  std::unique_ptr<Scheduler::Mutex> lock_;
  std::unique_ptr<Scheduler::FastMutex> listenerLock_;
  // Guards swaps of the TLS context; taken last, and around nothing else.
  std::unique_ptr<Scheduler::FastMutex> contextLock_;

  std::atomic<bool> acceptEnabled_{false};
  std::atomic<bool> initialised_{false};
  std::atomic<bool> tlsForAccepted_{false};
  bool asyncNotify_ = false;
  bool listenerStarted_ = false;
  EncryptionStruct settings_;
  SslContextPtr context_;
  RefPtr<ConnectionManager> manager_;
  RefPtr<NotificationThread> notifier_;
  std::atomic<int> listenSocket_{-1};
  int32_t connectionOptions_[2] = {0, 0};
  std::atomic<IChooser*> slotChooser_{nullptr};
  std::atomic<uint32_t> purgePeriodMs_{kDefaultPurgePeriodMs};
  std::atomic<uint32_t> purgeIdleMs_{kDefaultPurgeIdleMs};
  // Accept-to-started times; one per transport, used by the listener only.
  LogPerformanceTimer connectionTimer_;
};

}  // namespace corvane
