#include "TransportAdapter.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "CrashLog.h"
#include "DeletionThread.h"
#include "FlowControl.h"
#include "FlowControlLayer.h"
#include "FragmentLayer.h"
#include "Locks.h"
#include "Logger.h"
#include "Network.h"
#include "ResendLayer.h"
#include "Result.h"
#include "Scheduler.h"
#include "Timer.h"
#include "TransportFrames.h"
#include "TransportHeldBytes.h"
#include "TransportLayer.h"

namespace corvane {

const UUID& LayeredMessageType() {
  static const UUID type("585e9369-bd10-4a57-ac8d-ac3bc4f4b4a4");
  return type;
}

const UUID& FlowControlledMessageType() {
  static const UUID type("84dbd83a-ef14-4935-a5db-c825a938abce");
  return type;
}

namespace {

using IWriter = ITransportFastWrite::IWriter;

constexpr int kDefaultWriteTimeoutMs = 10000;
constexpr int64_t kWriterBusyWaitMs = 20000;
constexpr int64_t kNetworkReconnectWaitMs = 10000;
constexpr int64_t kReconnectWaitMs = 20000;
constexpr uint32_t kTimerPeriodMs = 200;
constexpr uint32_t kTimerFirstTickMs = 1;
constexpr int64_t kGiveUpMs = 10000;
constexpr int kDialTimeoutMs = 2000;
constexpr int64_t kFirstDelayMs = 200;
constexpr int64_t kMaxDelayMs = 2000;
constexpr int64_t kCounterLineMs = 5000;
// A legitimate peer renames its connection once (its first connect record).
constexpr size_t kMaxFormerIds = 4;
// What a connection's layers may hold before it counts against the
// process's held-bytes budget.
constexpr uint64_t kUncountedHeldBytes = 1 << 20;
// [0][message type]: what every message written through the adapter starts with.
constexpr uint32_t kAdapterHeaderSize = 17;
// What a layered stack adds to a message in its largest frame (a resent,
// unfragmented record): the adapter header and the resend record's.
constexpr uint32_t kLayeredOverhead = kAdapterHeaderSize + kResendDataHeaderSize;

bool IsNil(const UUID& id) { return id == UUID(); }

// A write made while a message is being delivered runs on the inner
// transport's delivery thread, which carries every peer's messages: it waits
// for one peer's writer, window or reconnection only this long.
constexpr int kDeliveryWaitMs = 100;
thread_local int tDeliveryDepth = 0;

bool OnDeliveryThread() { return tDeliveryDepth > 0; }

struct DeliveryScope {
  DeliveryScope() { ++tDeliveryDepth; }
  ~DeliveryScope() { --tDeliveryDepth; }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;
};

// The writer reports a socket that its connection already closed as a plain
// failure; for the adapter that is the same loss as a failed send. (Its only
// other plain failure, an oversized frame, never reaches it: see Write.)
bool IsLoss(int result) {
  return result == Result_ConnectionLost || result == Result_ConnectionNotFound || result == Result_Fail;
}

// Counts events and says when a line is due (at most every 5000 ms).
struct LineCounter {
  int count = 0;
  int64_t since = 0;
  // True when a line is due; *elapsed is the span it covers. Restarts the count.
  bool Tick(int64_t now, int* counted, int* elapsed) {
    if (count++ == 0) since = now;
    if (now - since < kCounterLineMs) return false;
    *counted = count;
    *elapsed = static_cast<int>(now - since);
    count = 0;
    return true;
  }
};

class TransportAdapter final : public ITransport,
                               public ITransport::ITransportNotify,
                               public ITransport::IDataHook,
                               public ITimer::ITimerCallback,
                               public IRefCountImpl {
 public:
  class Connection;

  TransportAdapter(uint32_t bindAddress, uint16_t port, ITransportFastWrite* inner);

  // The adapter may be released last by a thread of the inner transport or
  // by its own timer; destroying it there would join that thread from itself.
  int Release() override {
    const int count = DecrementRef();
    if (count == 0) DeleteOnDeletionThread(this);
    return count;
  }

  int StartTimer();

  // ITransport.
  int SetDataHook(ITransport::IDataHook*) override { return Result_Fail; }
  int Initialize(bool asyncNotify, bool enabled) override;
  int SetEnabled(bool enabled) override { return inner_->SetEnabled(enabled); }
  int ReleaseListenerPort() override { return inner_->ReleaseListenerPort(); }
  int ChangeListenerPort(uint16_t port) override { return inner_->ChangeListenerPort(port); }
  int SetConnectionSocketDscp(const UUID& connectionId, int dscp) override {
    return OnSocket(connectionId, [&](const UUID& socket) { return inner_->SetConnectionSocketDscp(socket, dscp); });
  }
  int Finalize() override;
  int SetEncryptionEnabled(bool enabled) override { return inner_->SetEncryptionEnabled(enabled); }
  int UpdateEncryptionStruct(const EncryptionStruct& settings) override {
    return inner_->UpdateEncryptionStruct(settings);
  }
  int AddNotify(ITransport::ITransportNotify* receiver) override;
  int SetKeepAlive(const UUID& connectionId, int intervalMs, int timeoutMs) override;
  int SetIdleConnectionPurgeEnabled(bool enabled) override { return inner_->SetIdleConnectionPurgeEnabled(enabled); }
  int SetWriteTimeout(int timeoutMs) override;
  int RemoveNotify(ITransport::ITransportNotify* receiver) override;
  int SetConnectionOptions(int32_t first, int32_t second) override {
    return inner_->SetConnectionOptions(first, second);
  }
  int OpenConnection(uint32_t ipv4, uint16_t port, UUID* connectionId, int timeoutMs) override;
  int CloseConnection(const UUID& connectionId) override;
  int CloseAllConnections() override;
  int GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port) override;
  int GetLocalIpv4(const UUID& connectionId, uint32_t* ipv4) override {
    return OnSocket(connectionId, [&](const UUID& socket) { return inner_->GetLocalIpv4(socket, ipv4); });
  }
  int BeginWrite() override { return inner_->BeginWrite(); }
  int EndWrite() override { return inner_->EndWrite(); }
  int ConnectionReadyForWrite(const UUID& connectionId, bool* ready) override {
    return OnSocket(connectionId, [&](const UUID& socket) { return inner_->ConnectionReadyForWrite(socket, ready); });
  }
  int Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) override;
  int WriteText(const UUID& connectionId, IDataStream* text) override {
    return OnSocket(connectionId, [&](const UUID& socket) { return inner_->WriteText(socket, text); });
  }
  int WriteTextSynchronous(const UUID& connectionId, IDataStream* text) override {
    return OnSocket(connectionId, [&](const UUID& socket) { return inner_->WriteTextSynchronous(socket, text); });
  }
  int GetStatistics(int* connectionCount) override { return inner_->GetStatistics(connectionCount); }
  int GetHostByName(const std::string& name, uint32_t* ipv4) override { return inner_->GetHostByName(name, ipv4); }
  int SetFlowControlMode() override { return SetMode(2); }
  int SetResendMode() override { return SetMode(1); }

  // From the inner transport.
  int OnDataReady(const UUID& socket, const UUID& messageType, IDataStream* data) override;
  int OnEvent(const UUID& socket, int event) override;
  int PreOnDataReady(const UUID& socket, UUID* messageType, IDataStream** data, PostReceiveTask** task) override;
  void TimerCallback() override;

  // For the connections and their network layers; all under the monitor.
  Scheduler::Monitor* monitor() const { return monitor_.get(); }
  ILayerClock* clock() const { return clock_; }
  // Waits on the monitor while pred holds, at most timeoutMs in total; true
  // when pred no longer holds.
  bool WaitWhile(const std::function<bool()>& pred, int64_t timeoutMs);
  int Reconnect(int code, Connection* connection, const UUID& failedSocket, bool wait);
  int HandleConnect(Connection* connection, const UUID& peerId, const UUID& peerInstance, bool isReconnect);
  void CloseSocket(const UUID& socket);
  void CountLine(LineCounter* counter, const char* what, Connection* connection);

 private:
  ~TransportAdapter() override;

  int AddConnection(uint32_t dialIpv4, uint16_t dialPort, const UUID& socket, RefPtr<Connection>* out);
  void RemoveConnection(Connection* connection);
  void FinishReconnecting(Connection* connection);
  void ReapplyKeepAlive(Connection* connection);
  RefPtr<Connection> FindById(const UUID& id);
  RefPtr<Connection> FindBySocket(const UUID& socket);
  bool Listed(Connection* connection);
  int SetMode(int mode);
  // Calls every registered user that is still alive, with the monitor released.
  int NotifyUsers(const std::function<int(ITransport::ITransportNotify*)>& call);
  int RaiseEvent(const UUID& connectionId, int event);
  // Event 1 under every name the removed connection carried, current last.
  int RaiseDisconnected(Connection* connection);
  // Looks the connection up and runs call on its socket with the monitor released.
  int OnSocket(const UUID& connectionId, const std::function<int(const UUID&)>& call);

  // First member: the layers of every connection wait on it until the end.
  std::unique_ptr<Scheduler::Monitor> monitor_;
  RefPtr<ITransportFastWrite> inner_;
  const uint32_t bindAddress_;
  const uint16_t port_;
  std::vector<RefPtr<Connection>> connections_;
  std::vector<ITransport::ITransportNotify*> notify_;
  int writeTimeoutMs_ = kDefaultWriteTimeoutMs;
  int mode_ = 0;
  bool initialized_ = false;
  RefPtr<ITimer> timer_;
  ILayerClock* clock_;
  // Per inner socket, the connection each message was read for, in order:
  // a message acknowledged on the receive thread reaches its users even when
  // the socket was dropped or handed to another connection before the
  // notification thread delivers it.
  std::map<UUID, std::deque<RefPtr<Connection>>> deliveries_;
};

class TransportAdapter::Connection final : public IResendConnection, public IRefCountImpl {
 public:
  // The bottom of each stack: writes records (or, in mode 0, the message
  // itself) on the connection's current socket.
  class NetworkLayer final : public ITransportLayer {
   public:
    NetworkLayer(Connection* connection, int stackMode) : connection_(connection), stackMode_(stackMode) {}
    int Send(IDataStream* message, int timeoutMs) override;
    int Receive(IDataStream**, ITransport::PostReceiveTask**) override { return 0; }
    int OnConnect(const UUID&, const UUID&, bool) override { return 0; }
    int OnDisconnect() override { return 0; }

   private:
    Connection* connection_;
    int stackMode_;
  };

  Connection(TransportAdapter* adapter, uint32_t dialIpv4, uint16_t dialPort, const UUID& socket)
      : adapter_(adapter), dialIpv4_(dialIpv4), dialPort_(dialPort), id_(socket), socket_(socket) {
    instance_.Generate();
  }
  ~Connection() override { HeldBytesBudget::Process().Remove(&held_); }
  // What the layers hold for the peer: unacknowledged records and pieces of
  // an unfinished message. Under the monitor, after each change.
  void CountHeld() {
    uint64_t queued = 0;
    uint64_t unfinished = 0;
    if (resend1_) queued += resend1_->QueuedBytes();
    if (resend2_) {
      queued += resend2_->QueuedBytes();
      unfinished = fragment_->PendingBytes();
    }
    const uint64_t bytes = queued + unfinished;
    // Small holdings are every connection's own.
    if (bytes <= kUncountedHeldBytes && !heldCounted_) return;
    heldCounted_ = bytes > kUncountedHeldBytes;
    // A peer that holds mostly pieces of its own unfinished message is shed
    // before one that is owed answers it has not acknowledged yet.
    const auto kind = unfinished > queued ? HeldBytesBudget::Kind::kUnfinished : HeldBytesBudget::Kind::kHeldForPeer;
    HeldBytesBudget::Process().Set(&held_, heldCounted_ ? bytes : 0, kind);
  }

  void BuildStacks(const std::shared_ptr<FlowControl::MyFactory>& factory) {
    factory_ = factory;
    network0_ = std::make_unique<NetworkLayer>(this, 0);
    auto resend1 = std::make_unique<ResendLayer>(this, std::make_unique<NetworkLayer>(this, 1));
    resend1_ = resend1.get();
    layers1_ = {resend1.get()};
    top1_ = std::move(resend1);
    auto flow = std::make_unique<FlowControlLayer>(static_cast<ITransport*>(adapter_), this, this, peerIpv4_, peerPort_,
                                                   factory->Create(), std::make_unique<NetworkLayer>(this, 2),
                                                   adapter_->clock());
    ITransportLayer* flowLayer = flow.get();
    flow_ = flow.get();
    auto fragment = std::make_unique<FragmentLayer>(this, std::move(flow));
    ITransportLayer* fragmentLayer = fragment.get();
    fragment_ = fragment.get();
    auto resend2 = std::make_unique<ResendLayer>(this, std::move(fragment));
    resend2_ = resend2.get();
    layers2_ = {resend2.get(), fragmentLayer, flowLayer};
    top2_ = std::move(resend2);
  }

  uint64_t GetSocketGeneration() override { return generation_; }

  void OnPartialSend() override {
    const uint64_t before = generation_;
    if (connected_) adapter_->Reconnect(Result_ConnectionLost, this, socket_, false);
    if (generation_ != before) return;
    // Not reconnectable: drop the pieces on both ends all the same; the
    // socket's disconnect event then removes the connection.
    ++generation_;
    LayersDisconnect();
    CountHeld();
    writer_.Reset();
    if (!IsNil(socket_)) adapter_->CloseSocket(socket_);
  }

  int OnConnect(const UUID& peerId, const UUID& peerInstance, bool isReconnect) override {
    return adapter_->HandleConnect(this, peerId, peerInstance, isReconnect);
  }

  ITransportLayer* Top(int mode) {
    if (mode == 1) return top1_.get();
    if (mode == 2) return top2_.get();
    return network0_.get();
  }
  const std::vector<ITransportLayer*>& Layers() {
    static const std::vector<ITransportLayer*> none;
    return mode_ == 1 ? layers1_ : mode_ == 2 ? layers2_ : none;
  }
  // Every layer of the current stack, top first, up to the first failure.
  int LayersConnect(const UUID& id, const UUID& instance, bool isReconnect) {
    int result = 0;
    for (ITransportLayer* layer : Layers()) {
      result = layer->OnConnect(id, instance, isReconnect);
      if (result < 0) break;
    }
    return result;
  }
  int LayersDisconnect() {
    int result = 0;
    for (ITransportLayer* layer : Layers()) {
      result = layer->OnDisconnect();
      if (result < 0) break;
    }
    return result;
  }
  // Forgets the socket: the generation moves and the layers drop what they
  // held for it, in one monitor hold. Returns the socket to close.
  UUID DetachSocket() {
    UUID old = socket_;
    socket_ = UUID();
    ++generation_;
    writer_.Reset();
    LayersDisconnect();
    CountHeld();
    return old;
  }
  bool Dials() const { return dialIpv4_ != 0 || dialPort_ != 0; }
  // A flow-controlled write timed out and nothing has opened the window since.
  bool WindowStayedShut() const { return mode_ == 2 && flow_ && flow_->flowControl()->StayedShut(); }

  TransportAdapter* adapter_;
  const uint32_t dialIpv4_;
  const uint16_t dialPort_;
  uint32_t peerIpv4_ = 0;
  uint16_t peerPort_ = 0;
  UUID id_;
  UUID socket_;
  UUID instance_;
  std::shared_ptr<FlowControl::MyFactory> factory_;
  std::unique_ptr<ITransportLayer> network0_;
  std::unique_ptr<ITransportLayer> top1_;
  std::unique_ptr<ITransportLayer> top2_;
  std::vector<ITransportLayer*> layers1_;
  std::vector<ITransportLayer*> layers2_;
  bool connected_ = false;
  bool reconnecting_ = false;
  // A delivery-thread write waited out this reconnection once already.
  bool reconnectWaitFailed_ = false;
  // Monotonic ms.
  int64_t reconnectStart_ = 0;
  int64_t reconnectDelay_ = 0;
  int64_t nextAttempt_ = 0;
  RefPtr<IWriter> writer_;
  int mode_ = 0;
  bool writing_ = false;
  int keepAliveInterval_ = 0;
  int keepAliveTimeout_ = 0;
  uint64_t generation_ = 1;
  // The names the connection carried before its current one, oldest first.
  std::vector<UUID> formerIds_;
  ResendLayer* resend1_ = nullptr;
  ResendLayer* resend2_ = nullptr;
  FragmentLayer* fragment_ = nullptr;
  FlowControlLayer* flow_ = nullptr;
  // The connection's share of the process's held-bytes budget. Shedding it
  // only marks it (the budget's caller may hold any monitor); the next timer
  // tick closes it.
  class HeldBytes final : public HeldBytesBudget::Holder {
   public:
    void Shed() override { shed.store(true); }
    std::atomic<bool> shed{false};
  };
  HeldBytes held_;
  bool heldCounted_ = false;
  LineCounter writes_;
  LineCounter reads_;
  LineCounter prereads_;
};

int TransportAdapter::Connection::NetworkLayer::Send(IDataStream* message, int timeoutMs) {
  if (!message) return Result_InvalidPointer;
  Connection* c = connection_;
  TransportAdapter* adapter = c->adapter_;
  // Flow-control acknowledgements come here from outside the monitor.
  MonitorGuard hold(adapter->monitor());
  uint8_t first = 0;
  if (!PeekLayerRecordType(message, &first)) return Result_InvalidArgument;
  uint32_t size = 0;
  uint32_t position = 0;
  message->GetSize(&size);
  message->GetPosition(&position);
  UUID type;
  if (first != 0) {
    type = stackMode_ == 1 ? LayeredMessageType() : FlowControlledMessageType();
  } else {
    if (RemainingBytes(message) < kAdapterHeaderSize) return Result_InvalidArgument;
    message->ReadUInt8(&first);
    type.Deserialize(message);
    message->GetPosition(&position);
  }
  if (size - position > kMaxMessageBody) return Result_InvalidArgument;
  RefPtr<IDataStream> body;
  int result = CreateSubStream(message, position, size, body.Receive());
  if (result < 0) return result;

  const uint64_t generation = c->generation_;
  const bool brief = OnDeliveryThread();
  if (timeoutMs != 0 && c->reconnecting_) {
    // As with a shut window: the delivery thread waits once per reconnection.
    if (brief && c->reconnectWaitFailed_) return Result_WriteTimeout;
    if (!adapter->WaitWhile([c] { return c->reconnecting_; }, brief ? kDeliveryWaitMs : kNetworkReconnectWaitMs)) {
      LOG_SEVERE("timeout waiting for reconnect: %s", c->id_.ToString().c_str());
      if (brief && c->reconnecting_) c->reconnectWaitFailed_ = true;
      return Result_WriteTimeout;
    }
    // The reconnection already sent this record again, whole.
    if (c->generation_ != generation) return 0;
  }
  if (!c->writer_) return Result_ConnectionLost;
  RefPtr<IWriter> writer = c->writer_;
  const UUID socket = c->socket_;
  {
    // Monitor let go: only the copied writer and socket are used; Reconnect
    // compares that socket with the connection's current one before acting.
    MonitorUnlockGuard open(adapter->monitor());
    writer->Reserved();
    result = writer->Write(type, body.Get());
  }
  if (timeoutMs != 0 && IsLoss(result)) result = adapter->Reconnect(result, c, socket, !brief);
  adapter->CountLine(&c->writes_, "writes to", c);
  return result;
}

TransportAdapter::TransportAdapter(uint32_t bindAddress, uint16_t port, ITransportFastWrite* inner)
    : monitor_(GetDefaultScheduler()->CreateMonitor()),
      inner_(inner, true),
      bindAddress_(bindAddress),
      port_(port),
      clock_(GetSystemLayerClock()) {}

TransportAdapter::~TransportAdapter() {
  // The timer first: no tick runs once the rest goes.
  timer_.Reset();
  if (initialized_) {
    inner_->RemoveNotify(this);
    inner_->SetDataHook(nullptr);
  }
  deliveries_.clear();
  connections_.clear();
  inner_.Reset();
}

int TransportAdapter::StartTimer() {
  int result = CreateTimer(timer_.Receive());
  if (result < 0) return result;
  return timer_->Start(kTimerPeriodMs, this, kTimerFirstTickMs);
}

bool TransportAdapter::WaitWhile(const std::function<bool()>& pred, int64_t timeoutMs) {
  // Monitor waits also end on any notify: count the whole wait.
  const int64_t deadline = clock_->MonotonicMs() + timeoutMs;
  while (pred()) {
    const int64_t left = deadline - clock_->MonotonicMs();
    if (left <= 0) return false;
    monitor_->Wait(static_cast<uint32_t>(std::min<int64_t>(left, 100)));
  }
  return true;
}

void TransportAdapter::CountLine(LineCounter* counter, const char* what, Connection* c) {
  int counted = 0;
  int elapsed = 0;
  if (counter->Tick(clock_->MonotonicMs(), &counted, &elapsed)) {
    LOG_SPEW(1, "%d %s connection %s socket %s in %d ms", counted, what, c->id_.ToString().c_str(),
             c->socket_.ToString().c_str(), elapsed);
  }
}

void TransportAdapter::CloseSocket(const UUID& socket) {
  // Monitor let go: callers have detached the socket or dropped the
  // connection's writer first, and read its state afresh afterwards (Listed,
  // reconnecting_, socket_, generation_).
  MonitorUnlockGuard open(monitor_.get());
  inner_->CloseConnection(socket);
}

int TransportAdapter::Initialize(bool asyncNotify, bool enabled) {
  MonitorGuard hold(monitor_.get());
  if (initialized_) return Result_AlreadyInitialized;
  initialized_ = true;
  // Monitor let go: nothing is read after it; initialized_ already set keeps
  // a second Initialize out meanwhile.
  MonitorUnlockGuard open(monitor_.get());
  int result = inner_->Initialize(asyncNotify, enabled);
  if (result >= 0) result = inner_->AddNotify(this);
  if (result >= 0) result = inner_->SetDataHook(this);
  return result;
}

int TransportAdapter::Finalize() {
  RefPtr<ITimer> timer;
  {
    MonitorGuard hold(monitor_.get());
    timer = std::move(timer_);
    // Writers waiting for a window or a reconnection give up now: nothing
    // will come back, and stopping must not wait out their time-outs.
    for (const auto& c : connections_) {
      c->connected_ = false;
      c->reconnecting_ = false;
      c->DetachSocket();
    }
    monitor_->NotifyAll();
  }
  timer.Reset();
  inner_->RemoveNotify(this);
  inner_->SetDataHook(nullptr);
  return inner_->Finalize();
}

int TransportAdapter::AddNotify(ITransport::ITransportNotify* receiver) {
  if (!receiver) return Result_InvalidPointer;
  MonitorGuard hold(monitor_.get());
  // Registered twice would mean every message delivered twice.
  if (std::find(notify_.begin(), notify_.end(), receiver) == notify_.end()) notify_.push_back(receiver);
  return 0;
}

int TransportAdapter::RemoveNotify(ITransport::ITransportNotify* receiver) {
  MonitorGuard hold(monitor_.get());
  notify_.erase(std::remove(notify_.begin(), notify_.end(), receiver), notify_.end());
  return 0;
}

int TransportAdapter::SetKeepAlive(const UUID& connectionId, int intervalMs, int timeoutMs) {
  {
    MonitorGuard hold(monitor_.get());
    RefPtr<Connection> c = FindById(connectionId);
    if (!c) return Result_InvalidArgument;
    c->keepAliveInterval_ = intervalMs;
    c->keepAliveTimeout_ = timeoutMs;
  }
  return OnSocket(connectionId,
                  [&](const UUID& socket) { return inner_->SetKeepAlive(socket, intervalMs, timeoutMs); });
}

int TransportAdapter::SetWriteTimeout(int timeoutMs) {
  const int value = std::max(timeoutMs, kDefaultWriteTimeoutMs);
  const int result = inner_->SetWriteTimeout(value);
  if (result >= 0) {
    MonitorGuard hold(monitor_.get());
    writeTimeoutMs_ = value;
  }
  return result;
}

int TransportAdapter::OnSocket(const UUID& connectionId, const std::function<int(const UUID&)>& call) {
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> c = FindById(connectionId);
  if (!c) return Result_InvalidArgument;
  const UUID socket = c->socket_;
  // Monitor let go: nothing is read after it; a socket closed meanwhile makes
  // the inner transport's call fail.
  MonitorUnlockGuard open(monitor_.get());
  return call(socket);
}

int TransportAdapter::GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port) {
  // From the connection's own record, which a reconnection (only ever from
  // the same address) keeps: no round trip to the inner transport's
  // connection manager, which a caller on the delivery thread would make
  // every peer wait for. A connection waiting for its peer to come back
  // still answers: it is not gone until its disconnect.
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> c = FindById(connectionId);
  if (!c) return Result_InvalidArgument;
  if (ipv4) *ipv4 = c->peerIpv4_;
  if (port) *port = c->peerPort_;
  return 0;
}

RefPtr<TransportAdapter::Connection> TransportAdapter::FindById(const UUID& id) {
  for (const auto& c : connections_) {
    if (c->id_ == id) return c;
  }
  return {};
}

RefPtr<TransportAdapter::Connection> TransportAdapter::FindBySocket(const UUID& socket) {
  if (IsNil(socket)) return {};
  for (const auto& c : connections_) {
    if (c->socket_ == socket) return c;
  }
  return {};
}

bool TransportAdapter::Listed(Connection* connection) {
  for (const auto& c : connections_) {
    if (c.Get() == connection) return true;
  }
  return false;
}

int TransportAdapter::AddConnection(uint32_t dialIpv4, uint16_t dialPort, const UUID& socket,
                                    RefPtr<Connection>* out) {
  RefPtr<Connection> c(new Connection(this, dialIpv4, dialPort, socket), false);
  uint32_t peerIpv4 = 0;
  uint16_t peerPort = 0;
  RefPtr<IWriter> writer;
  int result = 0;
  {
    // Monitor let go: the new connection is not listed yet, so no one else
    // sees it; the peer's flow-control factory is looked up in connections_
    // afresh after it.
    MonitorUnlockGuard open(monitor_.get());
    result = inner_->GetPeerIpv4(socket, &peerIpv4, &peerPort);
    if (result >= 0) result = inner_->CreateWriter(socket, writer.Receive());
    if (result < 0) inner_->CloseConnection(socket);
  }
  if (result < 0) return result;
  c->peerIpv4_ = peerIpv4;
  c->peerPort_ = peerPort;
  c->writer_ = writer;
  LOG_SPEW(1, "add connection %s socket %s ip %x port %d peer ip %x peer port %d my ip %x my port %d",
           c->id_.ToString().c_str(), socket.ToString().c_str(), dialIpv4, dialPort, peerIpv4, peerPort,
           bindAddress_, port_);
  std::shared_ptr<FlowControl::MyFactory> factory;
  for (const auto& other : connections_) {
    if (other->peerIpv4_ == peerIpv4) {
      factory = other->factory_;
      break;
    }
  }
  if (!factory) factory = std::make_shared<FlowControl::MyFactory>(monitor_.get(), clock_);
  c->BuildStacks(factory);
  c->mode_ = mode_;
  connections_.push_back(c);
  *out = c;
  return 0;
}

void TransportAdapter::RemoveConnection(Connection* connection) {
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [&](const RefPtr<Connection>& c) { return c.Get() == connection; });
  if (it == connections_.end()) return;
  LOG_SPEW(1, "remove connection %s socket %s", connection->id_.ToString().c_str(),
           connection->socket_.ToString().c_str());
  // Writers waiting for its reconnection give up now, not at their deadline.
  connection->reconnecting_ = false;
  RefPtr<Connection> keep = *it;
  connections_.erase(it);
  monitor_->NotifyAll();
}

int TransportAdapter::OpenConnection(uint32_t ipv4, uint16_t port, UUID* connectionId, int timeoutMs) {
  if (!connectionId) return Result_InvalidPointer;
  UUID socket;
  int result = inner_->OpenConnection(ipv4, port, &socket, timeoutMs);
  if (result < 0) return result;
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> c;
  result = AddConnection(ipv4, port, socket, &c);
  if (result < 0) return result;
  result = c->LayersConnect(c->id_, c->instance_, false);
  if (result < 0) {
    // The caller never learns this connection: leave nothing of it behind.
    const UUID old = c->DetachSocket();
    RemoveConnection(c.Get());
    CloseSocket(old);
    return result;
  }
  *connectionId = c->id_;
  return 0;
}

int TransportAdapter::CloseConnection(const UUID& connectionId) {
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> c = FindById(connectionId);
  if (!c) return Result_InvalidArgument;
  // A nil connect record tells the peer not to wait for a reconnection.
  c->LayersConnect(UUID(), c->instance_, false);
  c->connected_ = false;
  c->writer_.Reset();
  if (IsNil(c->socket_)) {
    RemoveConnection(c.Get());
    return 0;
  }
  const UUID socket = c->socket_;
  // Monitor let go: nothing is read after it; the connection is already
  // marked closed, so a loss reported meanwhile does not reconnect it.
  MonitorUnlockGuard open(monitor_.get());
  return inner_->CloseConnection(socket);
}

int TransportAdapter::CloseAllConnections() {
  std::vector<UUID> ids;
  {
    MonitorGuard hold(monitor_.get());
    for (const auto& c : connections_) ids.push_back(c->id_);
  }
  for (const UUID& id : ids) {
    const int result = CloseConnection(id);
    if (result < 0) return result;
  }
  return 0;
}

int TransportAdapter::Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) {
  if (!body) return Result_InvalidPointer;
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> c = FindById(connectionId);
  if (!c) return Result_InvalidArgument;
  // A message no frame can carry is refused before a layer queues it: once
  // queued it would be resent, and refused, on every reconnection.
  uint32_t bodySize = 0;
  body->GetSize(&bodySize);
  const uint32_t limit = c->mode_ == 0 ? kMaxMessageBody : kMaxMessageBody - kLayeredOverhead;
  if (bodySize > limit) {
    LOG_SEVERE("message of %u bytes for connection %s exceeds %u", bodySize, c->id_.ToString().c_str(), limit);
    return Result_InvalidArgument;
  }
  const bool brief = OnDeliveryThread();
  // Waiting again for a window that already kept a write out would hold the
  // delivery thread, and every other peer's messages behind it, once more
  // for each message to this peer: until the window opens, they fail at once.
  if (brief && c->WindowStayedShut()) {
    LOG_SEVERE("write failed for connection %s %x", c->id_.ToString().c_str(),
               static_cast<unsigned>(Result_WriteTimeout));
    return Result_WriteTimeout;
  }
  if (!WaitWhile([&] { return c->writing_; }, brief ? kDeliveryWaitMs : kWriterBusyWaitMs)) {
    LOG_SEVERE("write timeout for connection %s", c->id_.ToString().c_str());
    return Result_WriteTimeout;
  }
  c->writing_ = true;
  RefPtr<IDataStream> header;
  RefPtr<IDataStream> message;
  int result = CreateDataStream(header.Receive());
  if (result >= 0) {
    header->WriteUInt8(0);
    messageType.Serialize(header.Get());
    result = ConcatenateDataStreams(header.Get(), body, message.Receive());
  }
  const UUID socket = c->socket_;
  if (result >= 0) result = c->Top(c->mode_)->Send(message.Get(), brief ? kDeliveryWaitMs : writeTimeoutMs_);
  if (result == Result_ConnectionLost || result == Result_ConnectionNotFound) {
    result = Reconnect(result, c.Get(), socket, !brief);
  }
  if (result < 0) {
    LOG_SEVERE("write failed for connection %s %x", c->id_.ToString().c_str(), static_cast<unsigned>(result));
  }
  c->CountHeld();
  c->writing_ = false;
  monitor_->NotifyAll();
  return result;
}

int TransportAdapter::Reconnect(int code, Connection* c, const UUID& failedSocket, bool wait) {
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> keep(c, true);
  if (!c->connected_) {
    LOG_SPEW(1, "will not reconnect connection %s ip %x port %d socket %s", c->id_.ToString().c_str(), c->dialIpv4_,
             c->dialPort_, failedSocket.ToString().c_str());
    return code;
  }
  if (!c->reconnecting_) {
    if (c->socket_ != failedSocket) return IsNil(c->socket_) ? code : 0;
    LOG_SEVERE("reconnect connection %s ip %x port %d socket %s", c->id_.ToString().c_str(), c->dialIpv4_,
               c->dialPort_, failedSocket.ToString().c_str());
    c->reconnecting_ = true;
    c->reconnectWaitFailed_ = false;
    const UUID old = c->DetachSocket();
    c->reconnectStart_ = clock_->MonotonicMs();
    c->reconnectDelay_ = kFirstDelayMs;
    c->nextAttempt_ = 0;
    CloseSocket(old);
  }
  if (!wait) return 0;
  WaitWhile([c] { return c->reconnecting_; }, kReconnectWaitMs);
  return IsNil(c->socket_) ? code : 0;
}

void TransportAdapter::FinishReconnecting(Connection* c) {
  if (!c->reconnecting_) return;
  c->reconnecting_ = false;
  c->reconnectStart_ = c->reconnectDelay_ = c->nextAttempt_ = 0;
  monitor_->NotifyAll();
  if (IsNil(c->socket_)) {
    LOG_SEVERE("reconnect failed for connection %s", c->id_.ToString().c_str());
    c->connected_ = false;
    return;
  }
  LOG_SEVERE("reconnect succeeded for connection %s ip %x port %d socket %s", c->id_.ToString().c_str(),
             c->dialIpv4_, c->dialPort_, c->socket_.ToString().c_str());
  ReapplyKeepAlive(c);
}

void TransportAdapter::ReapplyKeepAlive(Connection* c) {
  if (c->keepAliveInterval_ == 0 || IsNil(c->socket_)) return;
  const UUID socket = c->socket_;
  const int interval = c->keepAliveInterval_;
  const int timeout = c->keepAliveTimeout_;
  // Monitor let go: only the copied values are used; callers read the
  // connection afresh after it.
  MonitorUnlockGuard open(monitor_.get());
  inner_->SetKeepAlive(socket, interval, timeout);
}

int TransportAdapter::HandleConnect(Connection* c, const UUID& peerId, const UUID& peerInstance, bool isReconnect) {
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> keep(c, true);
  LOG_SPEW(1, "connection %s ip %x port %d got onconnect %s isReconnect? %d", c->id_.ToString().c_str(),
           c->peerIpv4_, c->peerPort_, peerId.ToString().c_str(), isReconnect ? 1 : 0);
  if (IsNil(peerId)) {
    c->connected_ = false;  // the peer is closing
    return 0;
  }
  if (peerInstance == c->instance_) {
    c->connected_ = true;  // the peer echoed ours
    return 0;
  }
  RefPtr<Connection> found = FindById(peerId);
  // The connection UUID travels in clear: knowing it must not be enough to
  // take a connection (and its callbacks) over from another address. Such a
  // record is refused below like any claim on a connection already held.
  const bool sameAddress = found && found->peerIpv4_ == c->peerIpv4_;
  if (isReconnect && found && found.Get() != c && sameAddress) {
    // The socket this record came on replaces the found connection's. Its
    // layers first drop whatever they held for the old socket, even when
    // it has not noticed the loss yet.
    found->LayersDisconnect();
    std::swap(c->socket_, found->socket_);
    std::swap(c->writer_, found->writer_);
    ++found->generation_;
    ++c->generation_;
    monitor_->NotifyAll();
    found->connected_ = true;
    found->instance_ = peerInstance;
    const int result = found->LayersConnect(found->id_, found->instance_, true);
    if (found->reconnecting_) {
      FinishReconnecting(found.Get());
    } else {
      ReapplyKeepAlive(found.Get());
    }
    // The temporary connection goes without an event; a socket it now holds
    // is the found connection's old one.
    c->connected_ = false;
    const UUID old = c->socket_;
    c->socket_ = UUID();
    c->writer_.Reset();
    RemoveConnection(c);
    if (!IsNil(old)) CloseSocket(old);
    return result;
  }
  if (isReconnect && !found) {
    LOG_SEVERE("reconnect for unknown connection %s refused", peerId.ToString().c_str());
    c->connected_ = false;
    CloseConnection(c->id_);
    return Result_Fail;
  }
  // Two connections under one UUID would send each other's messages to the
  // wrong peer. Users may have registered under every name the connection
  // carried, so its disconnect must reach them all; a peer renaming without
  // end is refused the same way.
  const bool renamed = c->id_ != peerId;
  if ((found && found.Get() != c) || (renamed && c->formerIds_.size() >= kMaxFormerIds)) {
    LOG_SEVERE("connection %s already held; new socket %s closed", peerId.ToString().c_str(),
               c->socket_.ToString().c_str());
    c->connected_ = false;
    c->writer_.Reset();
    if (!IsNil(c->socket_)) CloseSocket(c->socket_);
    return Result_Fail;
  }
  if (renamed) c->formerIds_.push_back(c->id_);
  c->id_ = peerId;
  c->instance_ = peerInstance;
  c->connected_ = true;
  return c->LayersConnect(c->id_, c->instance_, false);
}

int TransportAdapter::SetMode(int mode) {
  MonitorGuard hold(monitor_.get());
  mode_ = mode;
  std::vector<RefPtr<Connection>> copy = connections_;
  for (const auto& c : copy) {
    if (c->mode_ == mode) continue;
    c->mode_ = mode;
    c->LayersConnect(c->id_, c->instance_, false);
  }
  return 0;
}

int TransportAdapter::NotifyUsers(const std::function<int(ITransport::ITransportNotify*)>& call) {
  std::vector<RefPtr<ITransport::ITransportNotify>> users;
  for (ITransport::ITransportNotify* user : notify_) {
    if (user->TryAddRef() > 0) users.emplace_back(user, false);
  }
  int result = 0;
  // Monitor let go: users are held by the references taken above, so one
  // removed meanwhile is still called once; callers read connection state
  // afresh after it.
  MonitorUnlockGuard open(monitor_.get());
  for (const auto& user : users) result |= call(user.Get());
  return result;
}

int TransportAdapter::RaiseEvent(const UUID& connectionId, int event) {
  const UUID id = connectionId;
  return NotifyUsers([&](ITransport::ITransportNotify* user) { return user->OnEvent(id, event); });
}

int TransportAdapter::RaiseDisconnected(Connection* c) {
  RefPtr<Connection> keep(c, true);
  std::vector<UUID> names = c->formerIds_;
  names.push_back(c->id_);
  int result = 0;
  for (const UUID& name : names) result |= RaiseEvent(name, TransportEvent_Disconnected);
  return result;
}

int TransportAdapter::OnEvent(const UUID& socket, int event) {
  MonitorGuard hold(monitor_.get());
  if (event == TransportEvent_Connected) {
    RefPtr<Connection> c;
    const int result = AddConnection(0, 0, socket, &c);
    if (result < 0) return result;
    return RaiseEvent(c->id_, TransportEvent_Connected);
  }
  if (event != TransportEvent_Disconnected) return Result_InvalidArgument;
  RefPtr<Connection> c = FindBySocket(socket);
  if (!c) return Result_InvalidArgument;
  if (Reconnect(Result_Fail, c.Get(), socket, false) >= 0) return 0;
  RemoveConnection(c.Get());
  return RaiseDisconnected(c.Get());
}

int TransportAdapter::PreOnDataReady(const UUID& socket, UUID* messageType, IDataStream** data,
                                     PostReceiveTask** task) {
  if (!messageType || !data || !*data || !task) return Result_InvalidPointer;
  MonitorGuard hold(monitor_.get());
  // Held throughout: a connect record may remove this connection inside its
  // own stack's Receive.
  RefPtr<Connection> c = FindBySocket(socket);
  if (!c) return Result_InvalidArgument;
  const int mode = *messageType == LayeredMessageType() ? 1 : *messageType == FlowControlledMessageType() ? 2 : 0;
  if (mode != 0) {
    CountLine(&c->prereads_, "prereads from", c.Get());
    c->mode_ = mode;
    PostReceiveTask* made = nullptr;
    const int result = c->Top(mode)->Receive(data, &made);
    c->CountHeld();
    *task = made;
    if (result < 0 || !*data) return result;
    uint8_t zero = 1;
    if (RemainingBytes(*data) < kAdapterHeaderSize || (*data)->ReadUInt8(&zero) < 0 || zero != 0) {
      return Result_Fail;
    }
    messageType->Deserialize(*data);
  }
  deliveries_[socket].push_back(c);
  return 0;
}

int TransportAdapter::OnDataReady(const UUID& socket, const UUID& messageType, IDataStream* data) {
  if (!data) return Result_InvalidPointer;
  MonitorGuard hold(monitor_.get());
  RefPtr<Connection> c;
  auto it = deliveries_.find(socket);
  if (it != deliveries_.end()) {
    c = std::move(it->second.front());
    it->second.pop_front();
    if (it->second.empty()) deliveries_.erase(it);
  }
  if (!c) c = FindBySocket(socket);
  if (!c) return Result_InvalidArgument;
  CountLine(&c->reads_, "reads from", c.Get());
  const UUID id = c->id_;
  uint32_t position = 0;
  uint32_t size = 0;
  data->GetPosition(&position);
  data->GetSize(&size);
  DeliveryScope delivering;
  return NotifyUsers([&](ITransport::ITransportNotify* user) {
    RefPtr<IDataStream> view;
    const int result = CreateSubStream(data, position, size, view.Receive());
    if (result < 0) return result;
    return user->OnDataReady(id, messageType, view.Get());
  });
}

void TransportAdapter::TimerCallback() {
  if (TryAddRef() <= 0) return;  // being destroyed
  {
    MonitorGuard hold(monitor_.get());
    const int64_t tickStart = clock_->MonotonicMs();
    std::vector<RefPtr<Connection>> copy = connections_;
    for (const auto& c : copy) {
      if (c->held_.shed.exchange(false) && Listed(c.Get())) {
        // Over the process's budget: the connection goes, with what its
        // layers hold; the socket's disconnect event removes it.
        LOG_SEVERE("connection %s closed: it held the most of the process's unfinished messages",
                   c->id_.ToString().c_str());
        c->connected_ = false;
        c->reconnecting_ = false;
        CloseSocket(c->DetachSocket());
        continue;
      }
      if (!c->reconnecting_ || !Listed(c.Get())) continue;
      if (clock_->MonotonicMs() - c->reconnectStart_ > kGiveUpMs && IsNil(c->socket_)) {
        FinishReconnecting(c.Get());
        RemoveConnection(c.Get());
        RaiseDisconnected(c.Get());
        continue;
      }
      // Accepted connections wait for their peer to come back.
      if (!c->Dials() || tickStart < c->nextAttempt_) continue;
      LOG_SEVERE("try reconnect connection %s ip %x port %d", c->id_.ToString().c_str(), c->dialIpv4_, c->dialPort_);
      UUID socket;
      RefPtr<IWriter> writer;
      int result = 0;
      {
        // Monitor let go for the dial: afterwards the connection must still
        // be reconnecting, socketless and listed before the new socket is
        // taken, or the socket is closed.
        MonitorUnlockGuard open(monitor_.get());
        result = inner_->OpenConnection(c->dialIpv4_, c->dialPort_, &socket, kDialTimeoutMs);
        if (result >= 0) {
          result = inner_->CreateWriter(socket, writer.Receive());
          // A dial without a writer is useless; leave no connection behind.
          if (result < 0) inner_->CloseConnection(socket);
        }
      }
      if (result >= 0) {
        if (c->reconnecting_ && IsNil(c->socket_) && Listed(c.Get())) {
          // Both ends hold the new socket before the connect record goes out.
          c->socket_ = socket;
          c->writer_ = writer;
          ++c->generation_;
          if (c->LayersConnect(c->id_, c->instance_, true) < 0) {
            // Stays reconnecting: the next tick dials again.
            CloseSocket(c->DetachSocket());
          } else {
            FinishReconnecting(c.Get());
          }
        } else {
          CloseSocket(socket);  // closed or brought back while dialling
        }
      }
      c->reconnectDelay_ = std::min(2 * c->reconnectDelay_, kMaxDelayMs);
      c->nextAttempt_ = tickStart + c->reconnectDelay_;
    }
  }
  Release();
}

}  // namespace

int CreateTransportAdapter(uint32_t bindAddress, uint16_t port, ITransport* inner, ITransport** out) {
  if (!out) return Result_InvalidPointer;
  auto* fast = dynamic_cast<ITransportFastWrite*>(inner);
  if (!fast) return Result_InvalidArgument;
  RefPtr<TransportAdapter> adapter(new TransportAdapter(bindAddress, port, fast), false);
  const int result = adapter->StartTimer();
  if (result < 0) return result;
  *out = adapter.Detach();
  return 0;
}

int CreateAdaptedTransport(uint32_t bindAddress, uint16_t port, ITransport** out) {
  return CRASH_LOG_GUARD("corvane::CreateAdaptedTransport", [&]() -> int {
    if (!out) return Result_InvalidPointer;
    RefPtr<ITransport> inner;
    int result = GetDefaultNetwork()->CreateInstance(bindAddress, port, inner.Receive());
    if (result < 0) return result;
    return CreateTransportAdapter(bindAddress, port, inner.Get(), out);
  });
}

}  // namespace corvane
