#include "NetworkEndpoint.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "EndpointSender.h"
#include "Logger.h"
#include "Result.h"
#include "Scheduler.h"
#include "SocketLayer.h"
#include "ThreadContext.h"
#include "ThreadAnnotations.h"

namespace corvane {

namespace {

using platform::kInvalidSocket;
using platform::kPollError;
using platform::kPollHangUp;
using platform::kPollInvalid;
using platform::kPollReadable;
using platform::kPollWritable;
using platform::SocketHandle;

constexpr uint32_t kContextMaxItems = 100000;
constexpr uint32_t kReceiveBufferSize = 102400;
constexpr int kPollTimeoutMs = 100;
constexpr int64_t kKeepAliveScanIntervalMs = 5000;
constexpr int64_t kPingAfterSendSilenceMs = 5000;
constexpr int64_t kReceiveSilenceLimitMs = 30000;
// A connection that has received nothing yet gets this long from its opening
// before the keep-alive scan may drop it.
constexpr int64_t kFirstReceiveGraceMs = 5000;
// What a delivery costs its consumer beyond its bytes (task, copy header), so
// that a peer sending single bytes is bounded as well.
constexpr int64_t kDeliveryOverhead = 256;
// While accept runs out of descriptors the listener is left out of the event
// set for this long, so a full process does not spin on a readable listener.
constexpr uint32_t kAcceptBackoffMs = 100;
// Pause after a failed poll, which would otherwise return at once again.
constexpr uint32_t kPollFailurePauseMs = 10;
// Descriptors beyond the connections: listener, wake signal, log files and
// whatever else the process holds.
constexpr uint64_t kSpareDescriptors = 64;
// Far more than one thread can poll; refuses sizes whose tables would not fit.
constexpr uint32_t kMaxConnectionLimit = 1u << 20;
// Connect deadlines are compared as signed 32-bit tick differences.
constexpr uint32_t kMaxConnectTimeoutMs = 0x7FFFFFFF;
constexpr uint8_t kPing[] = {'C', 'R', 'V', 'P', 'N', 'G'};

// Ready descriptors taken from the event set per iteration.
constexpr int kMaxReady = 256;
// Keys in the event set: a connection's is its identifier (never 0) with the
// low bits of its serial above, so that a report for a closed connection is
// never taken for the one that reuses its identifier.
constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kListenerKey = 1ull << 32;

uint64_t KeyOf(uint32_t id, uint64_t serial) { return (serial << 32) | id; }

uint32_t DefaultSenderCount() {
  unsigned cores = std::thread::hardware_concurrency();
  return std::clamp<uint32_t>(cores / 2, 1, kEndpointMaxSenderThreads);
}

Scheduler* Sched() { return GetDefaultScheduler(); }

// A callback shared between the endpoint and the tasks it posts: a task reads
// the function current when it runs, and finds none once the endpoint is
// gone, so no task ever reaches into a destroyed endpoint.
template <class Fn>
class CallbackCell {
 public:
  void Store(std::shared_ptr<const Fn> fn) {
    CheckedLock guard(lock_);
    fn_ = std::move(fn);
  }
  std::shared_ptr<const Fn> Load() {
    CheckedLock guard(lock_);
    return fn_;
  }

 private:
  CheckedMutex lock_;  // a leaf: nothing else is taken under it
  std::shared_ptr<const Fn> fn_ GUARDED_BY(lock_);
};

// A registered callback. Context and the "set" flag are touched only on the
// endpoint's thread; the cell is shared with delivery tasks.
template <class Fn>
struct Callback {
  RefPtr<ThreadContext> context;
  bool hasFunction = false;
  std::shared_ptr<CallbackCell<Fn>> cell = std::make_shared<CallbackCell<Fn>>();

  void Set(ThreadContext* newContext, Fn fn) {
    context = newContext;
    hasFunction = static_cast<bool>(fn);
    cell->Store(hasFunction ? std::make_shared<const Fn>(std::move(fn)) : nullptr);
  }
  void Clear() {
    cell->Store(nullptr);
    hasFunction = false;
    context.Reset();
  }
  bool IsSet() const { return hasFunction && context; }
};

// Shared between a connection and the deliveries made for it: how much of
// what it delivered is not yet consumed, and whether what is still queued
// must be dropped.
struct ReceiveGate {
  std::atomic<int64_t> unprocessed{0};
  std::atomic<bool> discard{false};
};

// All connections' delivered, not yet consumed data, closed ones' included:
// peers that send, close and connect again are bounded by this.
constexpr int64_t kMaxTotalUnprocessedBytes = 8 * 1024 * 1024;

struct Connection {
  bool open = false;
  bool adopted = false;
  bool pendingConnect = false;
  // Its sender reported a write sent in part that has not yet gone out.
  bool blocked = false;
  // Its sender holds more than kEndpointReadPauseQueuedBytes for it.
  bool sendBacklog = false;
  bool receivedAny = false;
  // Reading is paused (backpressure) and the id is listed in pausedIds_.
  bool readPaused = false;
  bool pausedListed = false;
  // What the event set is asked to report for it.
  int16_t events = 0;
  SocketHandle socket = kInvalidSocket;
  std::shared_ptr<EndpointSocket> owner;
  // Position in openIds_.
  uint32_t openIndex = 0;
  // Tells a reused slot from the connection a stale deadline or report was
  // made for.
  uint64_t serial = 0;
  // The last write call that queued to this connection, so that an
  // identifier listed twice in one call is written once.
  uint64_t lastWriteCall = 0;
  uint64_t userContext = 0;
  int64_t openedAt = 0;
  int64_t lastReceive = 0;
  std::shared_ptr<ReceiveGate> gate;
};

struct ConnectDeadline {
  uint32_t deadline;
  uint32_t id;
  uint64_t serial;
};

}  // namespace

class NetworkEndpoint final : public INetworkEndpoint {
 public:
  NetworkEndpoint();
  ~NetworkEndpoint() override;

  int SetConnectionEventCallback(ThreadContext* context, ConnectionEventCallback callback) override;
  int SetDataCallback(ThreadContext* context, DataCallback callback) override;
  int SetWriteResultCallback(ThreadContext* context, WriteResultCallback callback) override;
  int Initialize(uint16_t port, uint32_t maxConnections, bool keepAlive) override;
  int Connect(SocketHandle socket, uint32_t address, uint64_t userContext) override;
  int Connect(uint32_t address, uint16_t port, uint64_t userContext, uint32_t timeoutMs) override;
  int Disconnect(ConnectionId connectionId) override;
  int WriteToConnectionsAsync(const std::vector<ConnectionId>& connectionIds, std::unique_ptr<uint8_t[]> data,
                              uint32_t size, uint64_t userContext) override;
  int WriteSharedToConnectionsAsync(const std::vector<ConnectionId>& connectionIds,
                                    std::shared_ptr<const uint8_t[]> data, uint32_t size, uint64_t userContext,
                                    uint32_t copies) override;

 private:
  // Runs fn on the endpoint's thread and waits for its result.
  int RunAndWait(std::function<int()> fn);
  // Queues fn for the endpoint's thread; Result_Fail when refused.
  int PostCall(std::function<void()> fn);
  bool PostToSelf(std::function<void()> fn, Scheduler::Event** done = nullptr);
  // Never refused for the queue's length: the poll loop's next iteration and
  // calls whose posters bound their own amount of work.
  bool PostToSelfAlways(std::function<void()> fn);

  int InitializeOnThread(uint16_t port, uint32_t maxConnections, bool keepAlive);
  int OpenListener(uint16_t port);
  int AdoptOnThread(SocketHandle socket, uint32_t address, uint64_t userContext);
  int ConnectOnThread(uint32_t address, uint16_t port, uint64_t userContext, uint32_t timeoutMs);
  void QueueWrite(const std::vector<ConnectionId>& ids, const std::shared_ptr<const uint8_t[]>& data,
                  uint32_t size, uint64_t userContext, uint32_t copies);
  int NotInitialized();
  bool StartSenders();
  EndpointSender& SenderOf(uint32_t id) { return *senders_[id % senders_.size()]; }
  void OnSendReport(uint32_t id, uint64_t serial, SendReport report, uint64_t userContext);

  // One poll iteration; each posts the next while there is anything to poll.
  void _Listen();
  void PostIteration();
  void RestartLoopIfStopped();
  void KeepAliveScan(int64_t now);
  void AcceptAll(int64_t now);
  void HandleReady(int count, int64_t now);
  void CompleteConnect(uint32_t id, int16_t revents, int64_t now);
  void ReceiveOnce(uint32_t id, int64_t now);
  void ExpireConnects();

  uint32_t TakeId();
  // 0 when the socket cannot be watched (the caller still owns it then).
  uint32_t OpenSlot(SocketHandle socket, bool adopted, bool pendingConnect, int64_t now);
  // Hands an open connection to its sender.
  void StartSending(uint32_t id);
  // discardQueued: data already delivered but not yet consumed is dropped.
  void CloseConnection(uint32_t id, bool discardQueued);
  void CloseWithEvent(uint32_t id, ConnectionEvent event);
  void SetEvents(uint32_t id, int16_t events);
  // Pauses or resumes reading of the connection as its backpressure asks.
  void UpdateReading(uint32_t id);
  void ResumePaused();
  // Applies allPaused_ and each connection's own pause to the event set.
  void UpdateAllReading();

  void RaiseEvent(ConnectionEvent event, const ConnectionInfo& info);
  void DeliverData(uint32_t id, const uint8_t* bytes, uint32_t size);
  void DeliverWriteState(uint32_t id, int state, uint64_t userContext);

  bool initialized_ = false;
  RefPtr<ThreadContext> context_;
  // Guards the tasks posted to context_ against an endpoint that is gone.
  std::shared_ptr<std::atomic<bool>> alive_;
  std::shared_ptr<platform::WakeSignal> wake_;
  SocketHandle listenSocket_ = kInvalidSocket;

  // The wake signal, the listener and every open connection; a wait costs
  // what is ready, not what is open.
  platform::EventSet events_;
  std::vector<platform::EventSet::Ready> ready_ = std::vector<platform::EventSet::Ready>(kMaxReady);
  std::vector<Connection> connections_;  // by identifier; entry 0 unused
  // The open identifiers, densely, for the walks that need every one.
  std::vector<uint32_t> openIds_;
  std::deque<uint32_t> freeIds_;
  std::list<ConnectDeadline> connectDeadlines_;
  std::vector<uint32_t> pausedIds_;
  // By identifier: when its sender last sent anything (UTC ms).
  std::unique_ptr<std::atomic<int64_t>[]> lastSend_;
  std::vector<std::unique_ptr<EndpointSender>> senders_;
  std::shared_ptr<std::atomic<int64_t>> unprocessedTotal_ = std::make_shared<std::atomic<int64_t>>(0);
  // No connection is read while the total passes kMaxTotalUnprocessedBytes.
  bool allPaused_ = false;
  uint32_t slotCount_ = 0;
  size_t openCount_ = 0;
  size_t pendingCount_ = 0;
  uint64_t nextSerial_ = 0;
  uint64_t writeCalls_ = 0;
  bool keepAlive_ = false;
  bool loopRunning_ = false;
  bool acceptBackoff_ = false;
  uint32_t acceptResumeTick_ = 0;
  int64_t lastKeepAliveScan_ = 0;
  std::unique_ptr<uint8_t[]> receiveBuffer_;

  Callback<ConnectionEventCallback> eventCallback_;
  Callback<DataCallback> dataCallback_;
  Callback<WriteResultCallback> writeCallback_;
};

NetworkEndpoint::NetworkEndpoint()
    : alive_(std::make_shared<std::atomic<bool>>(true)), wake_(std::make_shared<platform::WakeSignal>()) {
  context_.Attach(new ThreadContext(kContextMaxItems, 0, "net-endpoint"));
  // Posts from other threads cut the poll's wait short, so queued calls and
  // writes are served at once rather than after the poll time-out.
  context_->SetWakeHook([wake = wake_] { wake->Signal(); });
  if (events_.Add(wake_->Handle(), kPollReadable, kWakeKey) != 0) {
    LOG_SEVERE("Unable to watch the wake signal. Error %d", platform::LastSocketError());
  }
}

NetworkEndpoint::~NetworkEndpoint() {
  alive_->store(false);
  wake_->Signal();
  context_->Stop();
  // Nothing posts to the senders any more; each stops and lets its sockets
  // go, and the table below lets go of the rest (adopted ones stay open).
  senders_.clear();
  connections_.clear();
  platform::CloseSocket(listenSocket_);
  eventCallback_.Clear();
  dataCallback_.Clear();
  writeCallback_.Clear();
  context_.Reset();
}

// ---- marshalling ----

bool NetworkEndpoint::PostToSelf(std::function<void()> fn, Scheduler::Event** done) {
  return context_->Post(
      [alive = alive_, fn = std::move(fn)] {
        if (alive->load()) fn();
      },
      done);
}

bool NetworkEndpoint::PostToSelfAlways(std::function<void()> fn) {
  return context_->PostAlways([alive = alive_, fn = std::move(fn)] {
    if (alive->load()) fn();
  });
}

int NetworkEndpoint::RunAndWait(std::function<int()> fn) {
  std::unique_ptr<Scheduler::Event> done(Sched()->CreateEvent(false, false));
  if (!done) return Result_Fail;
  Scheduler::Event* event = done.get();
  // The task runs (or is discarded) before the post returns, so the result
  // can live on this stack.
  int result = Result_Fail;
  int* out = &result;
  if (!PostToSelf([fn = std::move(fn), out] { *out = fn(); }, &event)) return Result_Fail;
  return result;
}

int NetworkEndpoint::PostCall(std::function<void()> fn) {
  // A dropped write or close would be lost for good; callers bound their
  // calls (the registry's are bounded by what it reads).
  return PostToSelfAlways(std::move(fn)) ? Result_Ok : Result_Fail;
}

int NetworkEndpoint::NotInitialized() {
  LOG_RECORD(record, Log_Severe, 0);
  return record.ReturnResult(Result_NotInitialized, "Not initialized");
}

// ---- public operations ----

int NetworkEndpoint::SetConnectionEventCallback(ThreadContext* context, ConnectionEventCallback callback) {
  if (!context_->IsOnContextThread()) {
    return RunAndWait([this, context, cb = std::move(callback)]() mutable {
      return SetConnectionEventCallback(context, std::move(cb));
    });
  }
  eventCallback_.Set(context, std::move(callback));
  return Result_Ok;
}

int NetworkEndpoint::SetDataCallback(ThreadContext* context, DataCallback callback) {
  if (!context_->IsOnContextThread()) {
    return RunAndWait(
        [this, context, cb = std::move(callback)]() mutable { return SetDataCallback(context, std::move(cb)); });
  }
  dataCallback_.Set(context, std::move(callback));
  return Result_Ok;
}

int NetworkEndpoint::SetWriteResultCallback(ThreadContext* context, WriteResultCallback callback) {
  if (!context_->IsOnContextThread()) {
    return RunAndWait([this, context, cb = std::move(callback)]() mutable {
      return SetWriteResultCallback(context, std::move(cb));
    });
  }
  writeCallback_.Set(context, std::move(callback));
  return Result_Ok;
}

int NetworkEndpoint::Initialize(uint16_t port, uint32_t maxConnections, bool keepAlive) {
  if (!context_->IsOnContextThread()) {
    return RunAndWait([=, this] { return InitializeOnThread(port, maxConnections, keepAlive); });
  }
  return InitializeOnThread(port, maxConnections, keepAlive);
}

int NetworkEndpoint::Connect(SocketHandle socket, uint32_t address, uint64_t userContext) {
  if (!context_->IsOnContextThread()) {
    return PostCall([=, this] { AdoptOnThread(socket, address, userContext); });
  }
  return AdoptOnThread(socket, address, userContext);
}

int NetworkEndpoint::Connect(uint32_t address, uint16_t port, uint64_t userContext, uint32_t timeoutMs) {
  if (!context_->IsOnContextThread()) {
    return PostCall([=, this] { ConnectOnThread(address, port, userContext, timeoutMs); });
  }
  return ConnectOnThread(address, port, userContext, timeoutMs);
}

int NetworkEndpoint::Disconnect(ConnectionId connectionId) {
  if (!context_->IsOnContextThread()) {
    return PostCall([=, this] { Disconnect(connectionId); });
  }
  if (!initialized_) return NotInitialized();
  if (connectionId > 0 && connectionId < slotCount_) CloseConnection(static_cast<uint32_t>(connectionId), true);
  return Result_Ok;
}

int NetworkEndpoint::WriteToConnectionsAsync(const std::vector<ConnectionId>& connectionIds,
                                              std::unique_ptr<uint8_t[]> data, uint32_t size,
                                              uint64_t userContext) {
  if (!data || size == 0) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_InvalidArgument, "Invalid data parameters. data %s, dataSize=%d",
                               data ? "valid" : "invalid", static_cast<int>(size));
  }
  return WriteSharedToConnectionsAsync(connectionIds, std::shared_ptr<const uint8_t[]>(std::move(data)), size,
                                       userContext, 1);
}

int NetworkEndpoint::WriteSharedToConnectionsAsync(const std::vector<ConnectionId>& connectionIds,
                                                    std::shared_ptr<const uint8_t[]> shared, uint32_t size,
                                                    uint64_t userContext, uint32_t copies) {
  if (!shared || size == 0 || copies == 0) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_InvalidArgument, "Invalid data parameters. data %s, dataSize=%d",
                               shared ? "valid" : "invalid", static_cast<int>(size));
  }
  if (!context_->IsOnContextThread()) {
    // A refused post frees the buffer with the task.
    return PostCall([this, ids = connectionIds, shared, size, userContext, copies] {
      if (!initialized_) {
        NotInitialized();
        return;
      }
      QueueWrite(ids, shared, size, userContext, copies);
      RestartLoopIfStopped();
    });
  }
  if (!initialized_) return NotInitialized();
  QueueWrite(connectionIds, shared, size, userContext, copies);
  return Result_Ok;
}

// ---- set-up ----

int NetworkEndpoint::InitializeOnThread(uint16_t port, uint32_t maxConnections, bool keepAlive) {
  if (initialized_) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_AlreadyInitialized, "Already initialized");
  }
  if (maxConnections > kMaxConnectionLimit) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_InvalidArgument, "Invalid maximum connection count %u", maxConnections);
  }
  LOG_SPEW(1, "Network endpoint initialization started");
  keepAlive_ = keepAlive;
  slotCount_ = maxConnections + 1;
  connections_.clear();
  connections_.resize(slotCount_);
  openIds_.clear();
  freeIds_.clear();
  for (uint32_t id = 1; id <= maxConnections; ++id) freeIds_.push_back(id);
  connectDeadlines_.clear();
  openCount_ = 0;
  pendingCount_ = 0;
  lastKeepAliveScan_ = 0;
  acceptBackoff_ = false;
  if (!receiveBuffer_) receiveBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(kReceiveBufferSize);

  uint64_t wanted = static_cast<uint64_t>(maxConnections) + kSpareDescriptors;
  uint64_t limit = 0;
  // Once per process: the limit does not change between bind retries, and
  // the line would only repeat.
  static std::atomic<bool> limitWarned{false};
  if (!platform::EnsureOpenFileLimit(wanted, &limit) && !limitWarned.exchange(true)) {
    LOG_WARNING("Open file limit is %llu, below the %llu descriptors that %u connections need",
                static_cast<unsigned long long>(limit), static_cast<unsigned long long>(wanted), maxConnections);
  }

  if (port != 0) {
    int result = OpenListener(port);
    if (Failed(result)) return result;
  }
  if (!StartSenders()) {
    LOG_SEVERE("Unable to start the sending threads");
    platform::CloseSocket(std::exchange(listenSocket_, kInvalidSocket));
    return Result_Fail;
  }
  initialized_ = true;
  PostIteration();
  LOG_SPEW(1, "Network endpoint initialization complete");
  return Result_Ok;
}

bool NetworkEndpoint::StartSenders() {
  senders_.clear();
  lastSend_ = std::make_unique<std::atomic<int64_t>[]>(slotCount_);
  const uint32_t count = DefaultSenderCount();
  for (uint32_t i = 0; i < count; ++i) {
    auto sender = std::make_unique<EndpointSender>(
        count, slotCount_, lastSend_.get(),
        [this](uint32_t id, uint64_t serial, SendReport report, uint64_t userContext) {
          // Never refused for length: each report stands for bytes already
          // queued, which bound their number.
          PostToSelfAlways([this, id, serial, report, userContext] { OnSendReport(id, serial, report, userContext); });
        });
    if (!sender->IsValid()) return false;
    senders_.push_back(std::move(sender));
  }
  return true;
}

int NetworkEndpoint::OpenListener(uint16_t port) {
  LOG_SPEW(1, "Network endpoint listener initialization started");
  SocketHandle s = platform::CreateTcpSocket();
  if (s == kInvalidSocket) {
    LOG_SEVERE("Unable to create listener socket - error %d", platform::LastSocketError());
    return Result_Fail;
  }
  platform::SetNonBlocking(s, true);
  // A restarted service must not fail over connections of its predecessor
  // still in TIME_WAIT.
  if (platform::SetReuseAddress(s, true) != 0) {
    LOG_WARNING("Unable to set socket option while initializing. Error: %d", platform::LastSocketError());
  }
  if (platform::Bind(s, 0, port) != 0) {
    LOG_SEVERE("Failed to bind socket. Params: %d, %d, %d. Socket error %d", s, 2,
               static_cast<int>(platform::HostToNetwork16(port)), platform::LastSocketError());
    platform::CloseSocket(s);
    return Result_Fail;
  }
  platform::ClearLastSocketError();
  if (platform::Listen(s) != 0) {
    LOG_SEVERE("Unable to listen on socket. Socket error %d", platform::LastSocketError());
    platform::CloseSocket(s);
    return Result_Fail;
  }
  if (events_.Add(s, kPollReadable, kListenerKey) != 0) {
    LOG_SEVERE("Unable to listen on socket. Socket error %d", platform::LastSocketError());
    platform::CloseSocket(s);
    return Result_Fail;
  }
  listenSocket_ = s;
  LOG_SPEW(1, "Network endpoint listener initialization completed");
  return Result_Ok;
}

int NetworkEndpoint::AdoptOnThread(SocketHandle socket, uint32_t address, uint64_t userContext) {
  if (!initialized_) return NotInitialized();
  platform::SetNonBlocking(socket, true);
  if (platform::SetNoDelay(socket, true) != 0) {
    LOG_WARNING("Unable to set socket option while initializing. Error: %d", platform::LastSocketError());
  }
  if (freeIds_.empty()) {
    LOG_SEVERE("Unable to open connection due to maximum connection limit reached.");
    ConnectionInfo info;
    info.userContext = userContext;
    RaiseEvent(ConnectFailed, info);
    return Result_Ok;
  }
  int64_t now = Sched()->GetUtcTimeMs();
  uint32_t id = OpenSlot(socket, true, false, now);
  if (id == 0) {
    ConnectionInfo info;
    info.userContext = userContext;
    info.socketError = platform::LastSocketError();
    RaiseEvent(ConnectFailed, info);
    return Result_Ok;
  }
  StartSending(id);
  RaiseEvent(Connected, ConnectionInfo{id, 0, address, userContext, 0});
  RestartLoopIfStopped();
  return Result_Ok;
}

int NetworkEndpoint::ConnectOnThread(uint32_t address, uint16_t port, uint64_t userContext, uint32_t timeoutMs) {
  if (!initialized_) return NotInitialized();
  platform::ClearLastSocketError();
  SocketHandle s = platform::CreateTcpSocket();
  if (s == kInvalidSocket) {
    LOG_SEVERE("Unable to create socket. Error: %d", platform::LastSocketError());
    return Result_Fail;
  }
  platform::SetNonBlocking(s, true);
  if (platform::SetNoDelay(s, true) != 0) {
    LOG_WARNING("Unable to set socket option while initializing. Error: %d", platform::LastSocketError());
  }
  if (platform::Connect(s, address, port) != 0) {
    int error = platform::LastSocketError();
    if (!platform::IsConnectInProgress(error)) {
      LOG_SPEW(1, "Unable to connect. Error: %d", error);
      RaiseEvent(ConnectFailed, ConnectionInfo{0, 0, 0, userContext, error});
      platform::CloseSocket(s);
      return Result_Fail;
    }
  }
  if (freeIds_.empty()) {
    LOG_SEVERE(
        "Unable to open connection due to maximum connection limit reached. Used Count = %zu, Pending Count = "
        "%zu",
        openCount_, pendingCount_);
    RaiseEvent(ConnectFailed, ConnectionInfo{0, 0, 0, userContext, 0});
    platform::CloseSocket(s);
    return Result_Ok;
  }
  int64_t now = Sched()->GetUtcTimeMs();
  // Completion shows as writability.
  uint32_t id = OpenSlot(s, false, true, now);
  if (id == 0) {
    int error = platform::LastSocketError();
    RaiseEvent(ConnectFailed, ConnectionInfo{0, 0, 0, userContext, error});
    platform::CloseSocket(s);
    return Result_Fail;
  }
  Connection& c = connections_[id];
  c.userContext = userContext;
  uint32_t deadline = Sched()->GetTickCount() + std::min(timeoutMs, kMaxConnectTimeoutMs);
  connectDeadlines_.push_back(ConnectDeadline{deadline, id, c.serial});
  RestartLoopIfStopped();
  return Result_Ok;
}

// ---- connection table ----

uint32_t NetworkEndpoint::TakeId() {
  uint32_t id = freeIds_.front();
  freeIds_.pop_front();
  return id;
}

uint32_t NetworkEndpoint::OpenSlot(SocketHandle socket, bool adopted, bool pendingConnect, int64_t now) {
  uint32_t id = freeIds_.front();
  Connection& c = connections_[id];
  const uint64_t serial = nextSerial_ + 1;
  int16_t events = pendingConnect ? static_cast<int16_t>(kPollReadable | kPollWritable)
                                  : (allPaused_ ? int16_t{0} : kPollReadable);
  if (events_.Add(socket, events, KeyOf(id, serial)) != 0) {
    LOG_SEVERE("Unable to watch socket. Error %d", platform::LastSocketError());
    return 0;
  }
  TakeId();
  nextSerial_ = serial;
  c = Connection{};
  c.open = true;
  c.adopted = adopted;
  c.pendingConnect = pendingConnect;
  c.events = events;
  c.socket = socket;
  c.owner = std::make_shared<EndpointSocket>(socket, adopted);
  c.serial = serial;
  c.openedAt = now;
  c.gate = std::make_shared<ReceiveGate>();
  c.openIndex = static_cast<uint32_t>(openIds_.size());
  openIds_.push_back(id);
  lastSend_[id].store(0, std::memory_order_relaxed);
  ++openCount_;
  if (pendingConnect) ++pendingCount_;
  return id;
}

void NetworkEndpoint::StartSending(uint32_t id) {
  Connection& c = connections_[id];
  SenderOf(id).Open(id, c.serial, c.owner);
}

void NetworkEndpoint::CloseConnection(uint32_t id, bool discardQueued) {
  Connection& c = connections_[id];
  if (!c.open) return;
  if (discardQueued) c.gate->discard.store(true, std::memory_order_release);
  events_.Remove(c.socket);
  // The sender lets the socket go once it is done with it; a connection
  // still connecting was never handed to it.
  if (!c.pendingConnect) SenderOf(id).Close(id);
  uint32_t index = c.openIndex;
  uint32_t last = openIds_.back();
  openIds_[index] = last;
  connections_[last].openIndex = index;
  openIds_.pop_back();
  if (c.pendingConnect) --pendingCount_;
  --openCount_;
  c = Connection{};
  freeIds_.push_back(id);
}

void NetworkEndpoint::CloseWithEvent(uint32_t id, ConnectionEvent event) {
  CloseConnection(id, event == ClosedOnError);
  RaiseEvent(event, ConnectionInfo{id, 0, 0, 0, 0});
}

void NetworkEndpoint::SetEvents(uint32_t id, int16_t events) {
  Connection& c = connections_[id];
  if (events == c.events) return;
  if (events_.Modify(c.socket, events, KeyOf(id, c.serial)) != 0) {
    LOG_SEVERE("Unable to watch socket. Error %d", platform::LastSocketError());
    CloseWithEvent(id, ClosedOnError);
    return;
  }
  c.events = events;
}

void NetworkEndpoint::QueueWrite(const std::vector<ConnectionId>& ids, const std::shared_ptr<const uint8_t[]>& data,
                                 uint32_t size, uint64_t userContext, uint32_t copies) {
  uint64_t call = ++writeCalls_;
  const size_t senderCount = senders_.size();
  std::vector<std::vector<uint32_t>> shares(senderCount);
  for (ConnectionId id64 : ids) {
    if (id64 == 0 || id64 >= slotCount_) continue;
    uint32_t id = static_cast<uint32_t>(id64);
    Connection& c = connections_[id];
    // Writes to a connection still connecting are not sent.
    if (!c.open || c.pendingConnect || c.lastWriteCall == call) continue;
    c.lastWriteCall = call;
    std::vector<uint32_t>& share = shares[id % senderCount];
    if (share.empty()) share.reserve(ids.size() / senderCount + 1);
    share.push_back(id);
  }
  for (size_t i = 0; i < senderCount; ++i) {
    if (!shares[i].empty()) senders_[i]->Write(std::move(shares[i]), data, size, userContext, copies);
  }
}

void NetworkEndpoint::OnSendReport(uint32_t id, uint64_t serial, SendReport report, uint64_t userContext) {
  Connection& c = connections_[id];
  // Made for a connection that has closed since.
  if (!c.open || c.serial != serial) return;
  switch (report) {
    case SendReport::Blocked:
      c.blocked = true;
      DeliverWriteState(id, 0, userContext);
      break;
    case SendReport::Unblocked:
      c.blocked = false;
      DeliverWriteState(id, 1, 0);
      break;
    case SendReport::Backlogged:
    case SendReport::Drained:
      c.sendBacklog = report == SendReport::Backlogged;
      UpdateReading(id);
      break;
    case SendReport::Failed:
    case SendReport::Overflow:
      CloseWithEvent(id, ClosedOnError);
      break;
  }
}

void NetworkEndpoint::UpdateReading(uint32_t id) {
  Connection& c = connections_[id];
  if (!c.open || c.pendingConnect) return;
  bool pause = c.gate->unprocessed.load(std::memory_order_acquire) > kEndpointMaxUnprocessedBytes ||
               c.sendBacklog;
  if (pause == c.readPaused) return;
  c.readPaused = pause;
  SetEvents(id, pause || allPaused_ ? int16_t{0} : kPollReadable);
  if (!c.open) return;
  if (pause) {
    if (!c.pausedListed) {
      c.pausedListed = true;
      pausedIds_.push_back(id);
    }
  } else {
    // Time spent paused is not the peer's silence.
    c.lastReceive = Sched()->GetUtcTimeMs();
  }
}

void NetworkEndpoint::UpdateAllReading() {
  // Only when every connection's reading pauses or resumes at once, which a
  // bounded amount of unconsumed data makes rare. Walks a copy: a failure
  // closes a connection and reorders the list.
  std::vector<uint32_t> ids = openIds_;
  for (uint32_t id : ids) {
    const Connection& c = connections_[id];
    if (!c.open || c.pendingConnect) continue;
    SetEvents(id, !allPaused_ && !c.readPaused ? kPollReadable : int16_t{0});
  }
}

void NetworkEndpoint::ResumePaused() {
  bool overTotal = unprocessedTotal_->load(std::memory_order_acquire) > kMaxTotalUnprocessedBytes;
  if (overTotal != allPaused_) {
    allPaused_ = overTotal;
    UpdateAllReading();
  }
  if (pausedIds_.empty()) return;
  size_t kept = 0;
  for (uint32_t id : pausedIds_) {
    Connection& c = connections_[id];
    if (!c.open || !c.pausedListed) continue;
    UpdateReading(id);
    if (c.readPaused) {
      pausedIds_[kept++] = id;
    } else {
      c.pausedListed = false;
    }
  }
  pausedIds_.resize(kept);
}

// ---- the poll loop ----

void NetworkEndpoint::PostIteration() {
  // A refused iteration would stop the loop until some later call restarts it.
  loopRunning_ = PostToSelfAlways([this] { _Listen(); });
}

void NetworkEndpoint::RestartLoopIfStopped() {
  if (initialized_ && !loopRunning_ && (listenSocket_ != kInvalidSocket || openCount_ > 0)) PostIteration();
}

void NetworkEndpoint::_Listen() {
  ResumePaused();
  int64_t now = Sched()->GetUtcTimeMs();
  if (keepAlive_ && openCount_ > 0 && now - lastKeepAliveScan_ > kKeepAliveScanIntervalMs) KeepAliveScan(now);
  if (listenSocket_ == kInvalidSocket && openCount_ == 0) {
    loopRunning_ = false;
    return;
  }

  // Work already queued behind this iteration (posted from this thread, so
  // no wake) must not wait for the poll time-out.
  int timeoutMs = context_->QueuedCount() > 1 ? 0 : kPollTimeoutMs;
  if (acceptBackoff_) {
    int32_t left = static_cast<int32_t>(acceptResumeTick_ - Sched()->GetTickCount());
    if (left <= 0) {
      acceptBackoff_ = false;
      events_.Modify(listenSocket_, kPollReadable, kListenerKey);
    } else {
      timeoutMs = std::min(timeoutMs, static_cast<int>(left));
    }
  }

  int count = events_.Wait(ready_.data(), kMaxReady, timeoutMs);
  if (count < 0) {
    LOG_SPEW(1, "Socket error during poll - error %d", platform::LastSocketError());
    Sched()->Sleep(kPollFailurePauseMs);
  } else if (count > 0) {
    HandleReady(count, Sched()->GetUtcTimeMs());
  }
  ExpireConnects();
  PostIteration();
}

void NetworkEndpoint::KeepAliveScan(int64_t now) {
  lastKeepAliveScan_ = now;
  std::vector<ConnectionId> pings;
  // Walks a copy: closing a connection reorders the list.
  std::vector<uint32_t> ids = openIds_;
  for (uint32_t id : ids) {
    Connection& c = connections_[id];
    if (!c.open || c.pendingConnect) continue;
    if (c.readPaused || allPaused_) {
      c.lastReceive = now;
      continue;
    }
    bool silent = c.receivedAny ? now - c.lastReceive > kReceiveSilenceLimitMs
                                : now - c.openedAt >= kFirstReceiveGraceMs;
    if (silent) {
      LOG_SPEW(1, "Connection closed due to keep alive failure");
      CloseWithEvent(id, ClosedOnError);
    } else if (now - lastSend_[id].load(std::memory_order_relaxed) > kPingAfterSendSilenceMs) {
      pings.push_back(id);
      lastSend_[id].store(now, std::memory_order_relaxed);
    }
  }
  if (!pings.empty()) {
    auto ping = std::make_unique_for_overwrite<uint8_t[]>(sizeof(kPing));
    std::memcpy(ping.get(), kPing, sizeof(kPing));
    WriteToConnectionsAsync(pings, std::move(ping), sizeof(kPing), 0);
  }
}

void NetworkEndpoint::AcceptAll(int64_t now) {
  for (;;) {
    uint32_t acceptAddress = 0;
    SocketHandle s = platform::Accept(listenSocket_, &acceptAddress);
    if (s == kInvalidSocket) {
      int error = platform::LastSocketError();
      if (platform::IsDescriptorExhaustion(error)) {
        // The pending connection stays queued and the listener readable;
        // leave it out of the poll set for a while instead of spinning.
        LOG_SEVERE("Unable to accept connection - error %d", error);
        acceptBackoff_ = true;
        acceptResumeTick_ = Sched()->GetTickCount() + kAcceptBackoffMs;
        events_.Modify(listenSocket_, 0, kListenerKey);
      }
      return;
    }
    uint32_t peerAddress = 0;
    platform::GetPeerAddress(s, &peerAddress, nullptr);
    if (freeIds_.empty()) {
      LOG_SEVERE("Connection rejected due to maximum connections reached");
      platform::CloseSocket(s);
      continue;
    }
    uint32_t id = OpenSlot(s, false, false, now);
    if (id == 0) {
      platform::CloseSocket(s);
      continue;
    }
    StartSending(id);
    RaiseEvent(Accepted, ConnectionInfo{id, peerAddress, acceptAddress, 0, 0});
    if (platform::SetNoDelay(s, true) != 0) {
      LOG_WARNING("Unable to set socket option while initializing. Error: %d", platform::LastSocketError());
    }
  }
}

void NetworkEndpoint::HandleReady(int count, int64_t now) {
  bool acceptReady = false;
  for (int i = 0; i < count; ++i) {
    const platform::EventSet::Ready& ready = ready_[static_cast<size_t>(i)];
    if (ready.key == kWakeKey) {
      wake_->Drain();
      continue;
    }
    if (ready.key == kListenerKey) {
      acceptReady = (ready.events & kPollReadable) != 0;
      continue;
    }
    uint32_t id = static_cast<uint32_t>(ready.key);
    if (id >= slotCount_) continue;
    Connection& c = connections_[id];
    // Closed earlier in this pass, perhaps with its identifier reused.
    if (!c.open || KeyOf(id, c.serial) != ready.key) continue;
    int16_t revents = ready.events;
    if (c.pendingConnect) {
      if (revents & (kPollWritable | kPollError | kPollHangUp | kPollInvalid)) CompleteConnect(id, revents, now);
      if (!c.open) continue;
    }
    if (revents & kPollReadable) {
      ReceiveOnce(id, now);
    } else if (revents & (kPollError | kPollInvalid)) {
      LOG_SEVERE("File descriptor POLLERR");
      CloseWithEvent(id, ClosedOnError);
    } else if (revents & kPollHangUp) {
      // With a write still waiting to go out, the send fails first.
      if (c.blocked) {
        CloseWithEvent(id, ClosedOnError);
      } else {
        LOG_SPEW(1, "Socket closed gracefully - POLLHUP");
        CloseWithEvent(id, ClosedGracefully);
      }
    }
  }
  if (acceptReady) AcceptAll(now);
}

void NetworkEndpoint::CompleteConnect(uint32_t id, int16_t revents, int64_t now) {
  Connection& c = connections_[id];
  uint64_t userContext = c.userContext;
  int error = 0;
  if (platform::GetPendingError(c.socket, &error) != 0) error = platform::LastSocketError();
  // Hang-up or error without writability is a failed connect even when the
  // socket has no pending error left to report.
  if (error == 0 && !(revents & kPollWritable)) error = -1;
  if (error != 0) {
    LOG_SPEW(1, "Error on OpenConnection %d", error);
    CloseConnection(id, true);
    RaiseEvent(ConnectFailed, ConnectionInfo{id, 0, 0, userContext, 0});
    return;
  }
  c.pendingConnect = false;
  --pendingCount_;
  uint32_t localAddress = 0;
  platform::GetLocalAddress(c.socket, &localAddress, nullptr);
  c.openedAt = now;
  const int16_t events = allPaused_ ? int16_t{0} : kPollReadable;
  if (events_.Modify(c.socket, events, KeyOf(id, c.serial)) != 0) {
    LOG_SEVERE("Unable to watch socket. Error %d", platform::LastSocketError());
    CloseConnection(id, true);
    RaiseEvent(ConnectFailed, ConnectionInfo{id, 0, 0, userContext, 0});
    return;
  }
  c.events = events;
  StartSending(id);
  RaiseEvent(Connected, ConnectionInfo{id, 0, localAddress, userContext, 0});
}

void NetworkEndpoint::ReceiveOnce(uint32_t id, int64_t now) {
  Connection& c = connections_[id];
  int64_t n = platform::Receive(c.socket, receiveBuffer_.get(), kReceiveBufferSize);
  if (n < 0) {
    int error = platform::LastSocketError();
    if (platform::IsWouldBlock(error)) {
      LOG_WARNING("Unable to read from socket. Socket would block");
      return;
    }
    if (platform::IsConnectionReset(error) && !c.blocked) {
      // A peer that resets rather than closes has still just gone away;
      // with a write still waiting to go out, the send fails first.
      LOG_SPEW(1, "Socket closed by the peer - reset");
      CloseWithEvent(id, ClosedGracefully);
      return;
    }
    LOG_SEVERE("Socket error on read. Error %d", error);
    CloseWithEvent(id, ClosedOnError);
    return;
  }
  if (n == 0) {
    // A reset whose error the sending thread's send took first reads as an
    // end of stream here; with a write still waiting to go out, the send
    // failed first (and has logged it).
    if (c.blocked && platform::WasReset(c.socket)) {
      CloseWithEvent(id, ClosedOnError);
      return;
    }
    LOG_SPEW(1, "Socket closed gracefully");
    CloseWithEvent(id, ClosedGracefully);
    return;
  }
  c.lastReceive = now;
  c.receivedAny = true;
  DeliverData(id, receiveBuffer_.get(), static_cast<uint32_t>(n));
  if (c.gate->unprocessed.load(std::memory_order_acquire) > kEndpointMaxUnprocessedBytes) UpdateReading(id);
  if (!allPaused_ && unprocessedTotal_->load(std::memory_order_acquire) > kMaxTotalUnprocessedBytes) {
    allPaused_ = true;
    UpdateAllReading();
  }
}

void NetworkEndpoint::ExpireConnects() {
  if (connectDeadlines_.empty()) return;
  uint32_t now32 = Sched()->GetTickCount();
  while (!connectDeadlines_.empty()) {
    ConnectDeadline entry = connectDeadlines_.front();
    Connection& c = connections_[entry.id];
    if (!c.open || !c.pendingConnect || c.serial != entry.serial) {
      connectDeadlines_.pop_front();
      continue;
    }
    if (static_cast<int32_t>(entry.deadline - now32) > 0) return;
    connectDeadlines_.pop_front();
    int error = 0;
    platform::GetPendingError(c.socket, &error);
    if (error != 0) LOG_SPEW(1, "Connection timed out due to low level socket error %d", error);
    LOG_SPEW(1, "Socket closed due to timeout");
    uint64_t userContext = c.userContext;
    CloseConnection(entry.id, true);
    RaiseEvent(ConnectFailed, ConnectionInfo{0, 0, 0, userContext, error});
  }
}

// ---- deliveries ----

void NetworkEndpoint::RaiseEvent(ConnectionEvent event, const ConnectionInfo& info) {
  if (!eventCallback_.IsSet()) return;
  eventCallback_.context->PostAlways([cell = eventCallback_.cell, event, info] {
    if (auto fn = cell->Load()) (*fn)(event, info);
  });
}

void NetworkEndpoint::DeliverData(uint32_t id, const uint8_t* bytes, uint32_t size) {
  if (!dataCallback_.IsSet()) return;
  auto copy = std::make_unique_for_overwrite<uint8_t[]>(size);
  std::memcpy(copy.get(), bytes, size);
  // std::function needs a copyable task, so the owned buffer rides in a
  // shared holder; a discarded task frees it.
  auto holder = std::make_shared<std::unique_ptr<uint8_t[]>>(std::move(copy));
  const int64_t cost = static_cast<int64_t>(size) + kDeliveryOverhead;
  std::shared_ptr<ReceiveGate> gate = connections_[id].gate;
  gate->unprocessed.fetch_add(cost, std::memory_order_acq_rel);
  unprocessedTotal_->fetch_add(cost, std::memory_order_acq_rel);
  // Bounded by the gate rather than by the queue: the data is never dropped
  // for a queue's length, and the connection is not read while it waits.
  dataCallback_.context->PostAlways([cell = dataCallback_.cell, id, holder, size, gate, cost, wake = wake_,
                                     total = unprocessedTotal_] {
    if (!gate->discard.load(std::memory_order_acquire)) {
      if (auto fn = cell->Load()) (*fn)(id, std::move(*holder), size);
    }
    holder->reset();
    int64_t before = gate->unprocessed.fetch_sub(cost, std::memory_order_acq_rel);
    // The endpoint looks at its paused connections on every iteration; wake
    // it when this one may read again.
    int64_t totalBefore = total->fetch_sub(cost, std::memory_order_acq_rel);
    if ((before > kEndpointMaxUnprocessedBytes && before - cost <= kEndpointMaxUnprocessedBytes) ||
        (totalBefore > kMaxTotalUnprocessedBytes && totalBefore - cost <= kMaxTotalUnprocessedBytes)) {
      wake->Signal();
    }
  });
}

void NetworkEndpoint::DeliverWriteState(uint32_t id, int state, uint64_t userContext) {
  if (!writeCallback_.IsSet()) return;
  writeCallback_.context->PostAlways([cell = writeCallback_.cell, id, state, userContext] {
    if (auto fn = cell->Load()) (*fn)(id, state, userContext);
  });
}

// ---- factory ----

int INetworkEndpoint::WriteSharedToConnectionsAsync(const std::vector<ConnectionId>& connectionIds,
                                                     std::shared_ptr<const uint8_t[]> data, uint32_t size,
                                                     uint64_t userContext, uint32_t copies) {
  int result = Result_Ok;
  for (uint32_t i = 0; i < copies && result >= 0; ++i) {
    std::unique_ptr<uint8_t[]> copy;
    if (data && size != 0) {
      copy = std::make_unique_for_overwrite<uint8_t[]>(size);
      std::memcpy(copy.get(), data.get(), size);
    }
    result = WriteToConnectionsAsync(connectionIds, std::move(copy), size, userContext);
  }
  return result;
}

int CreateNetworkEndpoint(INetworkEndpoint** out) {
  if (!out) return Result_Fail;
  std::unique_ptr<INetworkEndpoint> created;
  try {
    created = std::make_unique<NetworkEndpoint>();
  } catch (const std::exception&) {
    return Result_Fail;
  }
  delete std::exchange(*out, created.release());
  return Result_Ok;
}

}  // namespace corvane
