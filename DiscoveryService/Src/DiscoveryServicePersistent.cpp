#include "DiscoveryServicePersistent.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "CrashLog.h"
#include "Logger.h"
#include "ProcessStatistics.h"
#include "RegistryKey.h"
#include "Result.h"
#include "StringUtils.h"

namespace corvane::talvenor::server {
namespace {

constexpr uint32_t kWorkQueueItems = 100000;
constexpr uint32_t kTimerQueueItems = 2;
constexpr uint32_t kPurgeIntervalMs = 1000;
// Fan-out bytes gathered in one task are handed over before they pass this.
constexpr size_t kMaxBatchBytes = 256 * 1024;
// Subscribes answered by one write at most (any run of them is far shorter
// than one delivery's worth: 102400 / 11).
constexpr uint32_t kMaxSubscribeRun = 1u << 16;
// Displays remembered as warned about; past it the memory starts afresh.
constexpr size_t kMaxUncarriableRemembered = 20000;

#define REGISTRY_FUNCTION(name) "corvane::talvenor::server::TalvenorDiscoveryServicePersistent::" name

std::unique_ptr<uint8_t[]> CopyBytes(const std::vector<uint8_t>& bytes) {
  auto copy = std::make_unique_for_overwrite<uint8_t[]>(bytes.size());
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

// Runs a function when the scope ends, however it ends.
template <class F>
class AtScopeEnd {
 public:
  explicit AtScopeEnd(F f) : f_(std::move(f)) {}
  ~AtScopeEnd() { f_(); }
  AtScopeEnd(const AtScopeEnd&) = delete;
  AtScopeEnd& operator=(const AtScopeEnd&) = delete;

 private:
  F f_;
};

bool HoldsPublishMessage(const TalvenorDiscoveryServicePersistent::ClientConnection& connection) {
  return connection.messageValid && connection.message && connection.messageLength >= kDiscoveryStartCodeLength &&
         connection.message->size() >= connection.messageLength &&
         std::memcmp(connection.message->data(), kDiscoveryStartCode.data(), kDiscoveryStartCodeLength) == 0;
}

}  // namespace

void TalvenorDiscoveryServicePersistent::ClientConnection::BuildPublishMessage(const DisplayInfo& record) {
  display = record;
  auto bytes = std::make_shared<const std::vector<uint8_t>>(BuildPublishBytes(display));
  messageLength = static_cast<uint32_t>(bytes->size());
  messageValid = messageLength != 0;
  message = std::move(bytes);
}

TalvenorDiscoveryServicePersistent::TalvenorDiscoveryServicePersistent(uint16_t port)
    : TalvenorDiscoveryServicePersistent(port, EndpointFactory()) {}

TalvenorDiscoveryServicePersistent::TalvenorDiscoveryServicePersistent([[maybe_unused]] uint16_t port,
                                                                       EndpointFactory endpointFactory,
                                                                       StartRetries retries)
    : endpointFactory_(std::move(endpointFactory)), startRetries_(retries) {
  if (!endpointFactory_) endpointFactory_ = [](INetworkEndpoint** out) { return CreateNetworkEndpoint(out); };
  CRASH_LOG_GUARD(REGISTRY_FUNCTION("TalvenorDiscoveryServicePersistent"), [&] {
    LOG_INFO("Discovery service created");
    timerStop_.reset(GetDefaultScheduler()->CreateEvent(true, false));
    startCancel_.reset(GetDefaultScheduler()->CreateEvent(true, false));
    workContext = RefPtr<ThreadContext>(new ThreadContext(kWorkQueueItems, 0, "tds-p2-work"), false);
    timerContext = RefPtr<ThreadContext>(new ThreadContext(kTimerQueueItems, 0, "tds-p2-timer"), false);
    timerContext->Post([this] { TimerLoop(); });
  });
}

TalvenorDiscoveryServicePersistent::~TalvenorDiscoveryServicePersistent() {
  CRASH_LOG_GUARD_NOTHROW(REGISTRY_FUNCTION("~TalvenorDiscoveryServicePersistent"), [&] {
    if (timerStop_) timerStop_->Set();
    if (timerContext) timerContext->Stop();
    // Queued work still runs (and may still write through the endpoint);
    // whatever the endpoint posts after this is discarded.
    if (workContext) workContext->Stop();
    crossCommunicator.reset();
    connections.clear();
    publishers.clear();
    subscribers.clear();
    owners.clear();
    foreignDisplays.clear();
    endpoint.reset();
    timerContext.Reset();
    workContext.Reset();
  });
}

bool TalvenorDiscoveryServicePersistent::RunOnWorkThread(std::function<void()> task) {
  if (workContext->IsOnContextThread()) {
    task();
    return true;
  }
  std::unique_ptr<Scheduler::Event> done(GetDefaultScheduler()->CreateEvent(false, false));
  if (!done) return false;
  Scheduler::Event* event = done.get();
  return workContext->Post(std::move(task), &event);
}

bool TalvenorDiscoveryServicePersistent::PostToWorkThread(std::function<void()> task) {
  if (workContext->IsOnContextThread()) {
    task();
    return true;
  }
  return workContext->Post(std::move(task));
}

int TalvenorDiscoveryServicePersistent::Initialize() {
  int result = Result_Fail;
  RunOnWorkThread([&] { result = CRASH_LOG_GUARD(REGISTRY_FUNCTION("Initialize"), [&] { return DoInitialize(); }); });
  return result;
}

void TalvenorDiscoveryServicePersistent::CancelStart() {
  if (startCancel_) startCancel_->Set();
}

int TalvenorDiscoveryServicePersistent::DoInitialize() {
  if (initialized) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_AlreadyInitialized, "Already initialized");
  }
  LOG_INFO("Initialization started");
  INetworkEndpoint* created = nullptr;
  if (endpointFactory_(&created) < 0 || !created) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Fail, "Unable to create the network endpoint");
  }
  endpoint.reset(created);
  endpoint->SetConnectionEventCallback(
      workContext.Get(), [this](INetworkEndpoint::ConnectionEvent event, INetworkEndpoint::ConnectionInfo info) {
        OnConnectionEvent(event, info);
      });
  endpoint->SetDataCallback(workContext.Get(),
                            [this](ConnectionId id, std::unique_ptr<uint8_t[]> data, uint32_t size) {
                              ProcessNetworkStream(id, std::move(data), size);
                            });
  bool listening = false;
  bool cancelled = false;
  for (int attempt = 0; attempt < startRetries_.attempts && !listening && !cancelled; ++attempt) {
    listening = endpoint->Initialize(kPort, kMaxConnections, true) >= 0;
    if (!listening) cancelled = startCancel_->Wait(startRetries_.intervalMs);
  }
  if (cancelled) return kResultPortUnavailable;
  if (!listening) {
    // Nothing can serve without the port; the process's owner ends it.
    LOG_SEVERE("Unable to initialize TDS, exiting");
    return kResultPortUnavailable;
  }
  initialized = true;
  LOG_INFO("Discovery service initialization completed");
  return Result_Ok;
}

void TalvenorDiscoveryServicePersistent::SetCrossCommunicator(std::shared_ptr<ICrossCommunicator> bridge) {
  RunOnWorkThread([&] { crossCommunicator = std::move(bridge); });
}

void TalvenorDiscoveryServicePersistent::GetDiscovered(std::vector<DisplayInfo>* out) {
  uint64_t version = 0;
  GetDiscovered(out, &version);
}

bool TalvenorDiscoveryServicePersistent::GetDiscovered(std::vector<DisplayInfo>* out, uint64_t* version) {
  if (!out) return false;
  out->clear();
  // A task queued and then dropped by a stop counts as not run.
  bool ran = false;
  RunOnWorkThread([&] {
    out->reserve(publishers.size() + foreignDisplays.size());
    for (ConnectionId id : publishers) {
      auto it = connections.find(id);
      if (it == connections.end()) {
        LOG_SEVERE("Unexpected - Unable to find connection ID in map");
        continue;
      }
      out->push_back(it->second.display);
    }
    for (const auto& [id, foreign] : foreignDisplays) out->push_back(foreign.display);
    if (version) *version = listVersion_.load(std::memory_order_relaxed);
    ran = true;
  });
  return ran;
}

void TalvenorDiscoveryServicePersistent::GetConnectionCounts(uint32_t* publisherCount, uint32_t* subscriberCount,
                                                             uint32_t* publisherDisconnectCountOut,
                                                             uint32_t* subscriberDisconnectCountOut) {
  RunOnWorkThread([&] {
    if (publisherCount) *publisherCount = static_cast<uint32_t>(publishers.size());
    if (subscriberCount) *subscriberCount = static_cast<uint32_t>(subscribers.size());
    if (publisherDisconnectCountOut) *publisherDisconnectCountOut = publisherDisconnectCount;
    if (subscriberDisconnectCountOut) *subscriberDisconnectCountOut = subscriberDisconnectCount;
  });
}

int TalvenorDiscoveryServicePersistent::GetDisconnectedDisplays(std::vector<DisconnectedDisplay>* out) {
  return GetDisconnectedDisplays(out, nullptr);
}

int TalvenorDiscoveryServicePersistent::GetDisconnectedDisplays(std::vector<DisconnectedDisplay>* out,
                                                                uint64_t* version) {
  if (!out) return Result_InvalidPointer;
  RunOnWorkThread([&] {
    out->clear();
    out->reserve(disconnectedDisplays.size());
    for (const auto& [id, entry] : disconnectedDisplays) {
      out->push_back(DisconnectedDisplay{std::string(entry.name), entry.disconnectCount});
    }
    if (version) *version = disconnectedVersion_.load(std::memory_order_relaxed);
  });
  return Result_Ok;
}

void TalvenorDiscoveryServicePersistent::SetDisconnectedDisplayLimit(size_t limit) {
  RunOnWorkThread([&] { disconnectedLimit_ = limit; });
}

void TalvenorDiscoveryServicePersistent::SetFreeMemoryRelease(std::function<void()> release) {
  CheckedLock hold(releaseLock_);
  releaseFreeMemory_ = std::move(release);
}

void TalvenorDiscoveryServicePersistent::RecordDisconnected(const DisplayInfo& display) {
  DisconnectedRow& entry = disconnectedDisplays[display.id];
  if (entry.sequence != 0) disconnectedByAge_.erase(entry.sequence);
  entry.sequence = ++disconnectSequence_;
  disconnectedByAge_.emplace(entry.sequence, display.id);
  disconnectedNameBytes_ += display.name.size() - entry.name.size();
  entry.name.assign(display.name);
  ++entry.disconnectCount;
  while ((disconnectedDisplays.size() > disconnectedLimit_ || disconnectedNameBytes_ > kMaxDisconnectedNameBytes) &&
         !disconnectedByAge_.empty()) {
    auto oldest = disconnectedDisplays.find(disconnectedByAge_.begin()->second);
    disconnectedNameBytes_ -= oldest->second.name.size();
    disconnectedDisplays.erase(oldest);
    disconnectedByAge_.erase(disconnectedByAge_.begin());
  }
  disconnectedVersion_.fetch_add(1, std::memory_order_acq_rel);
}

void TalvenorDiscoveryServicePersistent::GetStateSnapshot(StateSnapshot* out) {
  if (!out) return;
  RunOnWorkThread([&] {
    *out = StateSnapshot();
    for (const auto& [id, connection] : connections) {
      StateSnapshot::Connection& row = out->connections[id];
      row.connected = connection.connected;
      row.disconnectTime = connection.disconnectTime;
      row.displayId = connection.display.id;
      row.messageValid = connection.messageValid;
      row.unreadBytes = connection.parser.UnreadBytes();
    }
    out->publishers = publishers;
    out->subscribers = subscribers;
    out->owners = owners;
    for (const auto& [id, foreign] : foreignDisplays) out->foreignDisplays.insert(id);
    out->initialized = initialized;
  });
}

int TalvenorDiscoveryServicePersistent::ForwardToSubscribers(const DisplayInfo& display) {
  PostToWorkThread([this, display] { DoForwardToSubscribers(display); });
  return Result_Ok;
}

int TalvenorDiscoveryServicePersistent::RemoveForeignDisplay(const UUID& id) {
  PostToWorkThread([this, id] { DoRemoveForeignDisplay(id); });
  return Result_Ok;
}

void TalvenorDiscoveryServicePersistent::PurgeInactivepublishers() {
  CRASH_LOG_GUARD(REGISTRY_FUNCTION("PurgeInactivepublishers"), [&] {
    if (workContext->IsOnContextThread()) {
      PurgePass();
    } else {
      RequestPurgePass();
    }
  });
}

uint64_t TalvenorDiscoveryServicePersistent::ReadPublisherPurgeTimeout() {
  uint32_t seconds = kDefaultPurgeTimeoutSeconds;
  platform::ReadRegistryDword(kConfigurationKey, kPurgeTimeoutValue, &seconds);
  return static_cast<uint64_t>(seconds) * 1000;
}

// ---------------------------------------------------------------------------
// Work thread

void TalvenorDiscoveryServicePersistent::OnConnectionEvent(INetworkEndpoint::ConnectionEvent event,
                                                           const INetworkEndpoint::ConnectionInfo& info) {
  AtScopeEnd flush([this] { FlushWrites(); });
  switch (event) {
    case INetworkEndpoint::Accepted:
      OnAccepted(info);
      break;
    case INetworkEndpoint::ClosedGracefully:
    case INetworkEndpoint::ClosedOnError:
      OnClosed(info.connectionId);
      break;
    default:
      break;
  }
}

void TalvenorDiscoveryServicePersistent::OnAccepted(const INetworkEndpoint::ConnectionInfo& info) {
  ConnectionId id = info.connectionId;
  auto it = connections.find(id);
  if (it != connections.end()) {
    // The endpoint hands out the slot of a closed publisher that has not been
    // purged yet: purge it now, so that subscribers learn of it and the new
    // peer does not inherit its display.
    if (publishers.count(id) != 0) {
      PurgePublisher(id);
    } else {
      InvalidateList();
      auto owner = owners.find(it->second.display.id);
      if (owner != owners.end() && owner->second == id) owners.erase(owner);
      connections.erase(it);
    }
  }
  RemoveSubscriber(id);
  ClientConnection connection;
  connection.peerIpv4 = info.remoteAddress;
  connections.insert_or_assign(id, std::move(connection));
}

void TalvenorDiscoveryServicePersistent::OnClosed(ConnectionId id) {
  auto it = connections.find(id);
  if (RemoveSubscriber(id)) {
    LOG_SPEW(1, "Subscriber at %s disconnected",
             FormatIPv4(it != connections.end() ? it->second.peerIpv4 : 0).c_str());
    ++subscriberDisconnectCount;
  }
  if (it == connections.end() || !it->second.connected) return;
  if (publishers.count(id) != 0) {
    // Kept, and still listed, until the purge: a display that reconnects
    // within the time-out never disappears for its subscribers.
    it->second.connected = false;
    it->second.disconnectTime = GetDefaultScheduler()->GetUtcTimeMs();
    it->second.parser = Protocol2Parser();
    return;
  }
  auto owner = owners.find(it->second.display.id);
  if (owner != owners.end() && owner->second == id) owners.erase(owner);
  connections.erase(it);
}

void TalvenorDiscoveryServicePersistent::ProcessNetworkStream(ConnectionId id, std::unique_ptr<uint8_t[]> data,
                                                              uint32_t size) {
  // Everything the delivery's messages fan out leaves in one write.
  AtScopeEnd flush([this] { FlushWrites(); });
  auto it = connections.find(id);
  if (it == connections.end()) {
    LOG_SEVERE("Unexpected could not find id in map");
    return;
  }
  // Bytes that were on their way when the registry dropped the connection.
  if (!it->second.connected) return;
  ClientConnection& connection = it->second;
  connection.parser.Append(data.get(), size);
  data.reset();
  // Subscribes in a row are answered together (the list cannot change
  // between them): one write of that many copies of the list. Past what the
  // endpoint would queue for the connection, the peer cannot be reading them.
  uint32_t subscribes = 0;
  auto answer = [&]() -> bool {
    if (subscribes == 0) return true;
    uint64_t answered = HandleSubscribe(id, connection, subscribes);
    subscribes = 0;
    if (answered <= kEndpointMaxQueuedBytes) return true;
    if (endpoint) endpoint->Disconnect(id);
    LOG_SEVERE("Send queue of connection %u passed %llu bytes; closing it", static_cast<unsigned>(id),
               static_cast<unsigned long long>(kEndpointMaxQueuedBytes));
    OnClosed(id);
    return false;
  };
  while (true) {
    DisplayInfo record;
    Protocol2Parser::Outcome outcome = connection.parser.Next(&record);
    if (outcome == Protocol2Parser::Outcome::Subscribe) {
      // A run longer than the endpoint could ever queue is cut short.
      if (++subscribes < kMaxSubscribeRun) continue;
    }
    if (!answer()) return;
    switch (outcome) {
      case Protocol2Parser::Outcome::Wait:
        return;
      case Protocol2Parser::Outcome::Publish:
        HandlePublish(id, connection, std::move(record));
        break;
      case Protocol2Parser::Outcome::Subscribe:
        break;
      case Protocol2Parser::Outcome::InvalidStartCode:
        if (endpoint) endpoint->Disconnect(id);
        LOG_SEVERE("Invalid start code found");
        // The endpoint raises no event for a close it was asked for.
        OnClosed(id);
        return;
      case Protocol2Parser::Outcome::SizeTooLarge:
        LOG_SEVERE("TDS message size is too large. Looking for next message");
        break;
      case Protocol2Parser::Outcome::InstructionReadFailed:
        LOG_SEVERE("Unexpected - Failed to read instruction");
        break;
      case Protocol2Parser::Outcome::InvalidInstruction:
        LOG_SEVERE("Invalid instruction read from network stream.");
        break;
      case Protocol2Parser::Outcome::RecordReadFailed:
        // The connection keeps the display and message it had; a record
        // missing its end is neither stored, forwarded nor bridged.
        LOG_SEVERE("Unexpected - Unable to parse DisplayInfo");
        break;
    }
  }
}

void TalvenorDiscoveryServicePersistent::ReleaseDisplay(ConnectionId id, const UUID& displayId) {
  auto owner = owners.find(displayId);
  if (owner == owners.end() || owner->second != id) return;
  owners.erase(owner);
  SendRemoval(displayId);
  if (crossCommunicator) crossCommunicator->RemoveDisplay(displayId, CrossDirection_FromProtocol2);
}

bool TalvenorDiscoveryServicePersistent::Carriable(const DisplayInfo& display) {
  if (FitsPublishMessage(display)) {
    uncarriable_.erase(display.id);
    return true;
  }
  if (uncarriable_.size() >= kMaxUncarriableRemembered) uncarriable_.clear();
  if (uncarriable_.insert(display.id).second) {
    LOG_WARNING("Display %s not carried: its publish would need a size of %llu (at most %u)",
                display.id.ToString().c_str(), static_cast<unsigned long long>(PublishMessageSize(display)),
                kMaxDiscoveryMessageSize - 1);
  }
  return false;
}

void TalvenorDiscoveryServicePersistent::HandlePublish(ConnectionId id, ClientConnection& connection,
                                                       DisplayInfo record) {
  // Strings that overran the size field: stored, this record's publish
  // would make every reader lose its place in the stream.
  if (record.ipv4 == 0) record.ipv4 = connection.peerIpv4;
  if (!Carriable(record)) return;
  // A connection that moves to another id gives up the one it had.
  if (publishers.count(id) != 0 && connection.display.id != record.id) ReleaseDisplay(id, connection.display.id);

  auto owner = owners.find(record.id);
  bool wasOwned = owner != owners.end();
  if (wasOwned && owner->second != id) {
    // Another connection publishes the display now, without a removal since
    // the display itself is still here. A closed previous owner's record
    // goes; a live one keeps its record (only its ownership goes), so that
    // its later publishes are still read and can take the id back.
    ConnectionId previous = owner->second;
    auto old = connections.find(previous);
    if (old == connections.end() || !old->second.connected) connections.erase(previous);
    publishers.erase(previous);
    InvalidateList();
  }
  owners[record.id] = id;
  if (foreignDisplays.erase(record.id) != 0) InvalidateList();

  bool changed = record != connection.display;
  connection.BuildPublishMessage(record);
  if (publishers.insert(id).second || changed) InvalidateList();
  LOG_SPEW(1, "Display published - %s %0x", ForLog(connection.display.name).c_str(), connection.display.ipv4);

  if (wasOwned && !changed) return;
  if (connection.messageValid) WriteToSubscribers(*connection.message);
  if (crossCommunicator) crossCommunicator->UpdateDisplay(connection.display, CrossDirection_FromProtocol2);
}

uint64_t TalvenorDiscoveryServicePersistent::HandleSubscribe(ConnectionId id, ClientConnection& connection,
                                                             uint32_t count) {
  // Fan-out gathered before this subscribe goes out before its list.
  FlushWrites();
  AddSubscriber(id);
  LOG_SPEW(1, "Subscriber connected from %s", FormatIPv4(connection.peerIpv4).c_str());
  if (listStale_) {
    std::vector<uint8_t> list = BuildList();
    listSize_ = static_cast<uint32_t>(list.size());
    list_ = listSize_ != 0 ? std::shared_ptr<const uint8_t[]>(CopyBytes(list)) : nullptr;
    listStale_ = false;
  }
  // One write for the whole list: the peer reads a byte stream, and one
  // write per display would cost a send per display.
  if (listSize_ == 0 || !endpoint) return 0;
  endpoint->WriteSharedToConnectionsAsync({id}, list_, listSize_, 0, count);
  return static_cast<uint64_t>(listSize_) * count;
}

std::vector<uint8_t> TalvenorDiscoveryServicePersistent::BuildList() {
  std::vector<uint8_t> list;
  for (ConnectionId publisher : publishers) {
    auto it = connections.find(publisher);
    if (it == connections.end()) {
      LOG_SEVERE("Unexpected failure to find connection ID in map");
      continue;
    }
    if (!HoldsPublishMessage(it->second)) {
      LOG_SEVERE("Expected start code");
      continue;
    }
    list.insert(list.end(), it->second.message->begin(), it->second.message->begin() + it->second.messageLength);
  }
  for (const auto& [displayId, foreign] : foreignDisplays) {
    if (foreign.messageValid && foreign.message && foreign.messageLength != 0) {
      list.insert(list.end(), foreign.message->begin(), foreign.message->begin() + foreign.messageLength);
    }
  }
  return list;
}

void TalvenorDiscoveryServicePersistent::DoForwardToSubscribers(const DisplayInfo& display) {
  AtScopeEnd flush([this] { FlushWrites(); });
  if (owners.count(display.id) != 0) return;
  if (!Carriable(display)) {
    // What subscribers hold of it is no longer what protocol 1 says.
    DoRemoveForeignDisplay(display.id);
    return;
  }
  ClientConnection& foreign = foreignDisplays[display.id];
  foreign.BuildPublishMessage(display);
  InvalidateList();
  if (foreign.messageValid) WriteToSubscribers(*foreign.message);
}

void TalvenorDiscoveryServicePersistent::DoRemoveForeignDisplay(const UUID& id) {
  AtScopeEnd flush([this] { FlushWrites(); });
  if (foreignDisplays.erase(id) == 0) return;
  InvalidateList();
  SendRemoval(id);
}

void TalvenorDiscoveryServicePersistent::TimerLoop() {
  CRASH_LOG_GUARD(REGISTRY_FUNCTION("TimerLoop"), [&] {
    // One long task rather than a chain of posts: a post lost to a full queue
    // would otherwise end the purging for good.
    while (!timerStop_->Wait(kPurgeIntervalMs)) {
      RequestPurgePass();
      if (!releaseDue_.exchange(false)) continue;
      std::function<void()> release;
      {
        CheckedLock hold(releaseLock_);
        release = releaseFreeMemory_;
      }
      if (release) {
        release();
      } else {
        platform::ReleaseFreeMemory();
      }
    }
  });
}

void TalvenorDiscoveryServicePersistent::RequestPurgePass() {
  if (purgePending_.exchange(true)) return;
  bool queued = workContext->Post([this] {
    purgePending_ = false;
    PurgeInactivepublishers();
  });
  if (!queued) purgePending_ = false;
}

void TalvenorDiscoveryServicePersistent::PurgePass() {
  AtScopeEnd flush([this] { FlushWrites(); });
  int64_t now = GetDefaultScheduler()->GetUtcTimeMs();
  bool timeoutRead = false;
  uint64_t timeoutMs = 0;
  uint64_t purged = 0;
  for (auto next = publishers.begin(); next != publishers.end();) {
    ConnectionId id = *next++;
    auto it = connections.find(id);
    if (it == connections.end()) {
      LOG_SEVERE("Unexpected - Unable to find connection ID in map");
      publishers.erase(id);
      continue;
    }
    if (it->second.connected) continue;
    if (!timeoutRead) {
      timeoutMs = ReadPublisherPurgeTimeout();
      timeoutRead = true;
    }
    int64_t closedFor = now - it->second.disconnectTime;
    if (closedFor >= 0 && static_cast<uint64_t>(closedFor) > timeoutMs) {
      PurgePublisher(id);
      ++purged;
    }
  }
  // While ids churn, freed records make room for new ones; once a pass has
  // nothing left to do, the churn is over.
  purgesSinceRelease_ += purged;
  if (purged == 0 && purgesSinceRelease_ >= kPurgesBeforeRelease) {
    purgesSinceRelease_ = 0;
    releaseDue_.store(true);
  }
}

void TalvenorDiscoveryServicePersistent::PurgePublisher(ConnectionId id) {
  auto it = connections.find(id);
  if (it == connections.end()) {
    publishers.erase(id);
    return;
  }
  const DisplayInfo& display = it->second.display;
  RecordDisconnected(display);
  ++publisherDisconnectCount;
  LOG_SPEW(1, "Publisher %s disconnected", ForLog(display.name).c_str());
  SendRemoval(display.id);
  if (crossCommunicator) crossCommunicator->RemoveDisplay(display.id, CrossDirection_FromProtocol2);
  auto owner = owners.find(display.id);
  if (owner != owners.end() && owner->second == id) owners.erase(owner);
  connections.erase(it);
  publishers.erase(id);
  InvalidateList();
}

// ---------------------------------------------------------------------------
// Writes

const std::vector<TalvenorDiscoveryServicePersistent::ConnectionId>&
TalvenorDiscoveryServicePersistent::SubscriberList() {
  if (subscriberListStale_) {
    subscriberList_.assign(subscribers.begin(), subscribers.end());
    subscriberListStale_ = false;
  }
  return subscriberList_;
}

bool TalvenorDiscoveryServicePersistent::AddSubscriber(ConnectionId id) {
  if (subscribers.count(id) != 0) return false;
  // What was gathered so far was meant for the subscribers before this one.
  FlushWrites();
  subscribers.insert(id);
  subscriberListStale_ = true;
  return true;
}

bool TalvenorDiscoveryServicePersistent::RemoveSubscriber(ConnectionId id) {
  if (subscribers.count(id) == 0) return false;
  FlushWrites();
  subscribers.erase(id);
  subscriberListStale_ = true;
  return true;
}

void TalvenorDiscoveryServicePersistent::WriteToSubscribers(const std::vector<uint8_t>& message) {
  if (subscribers.empty() || !endpoint || message.empty()) return;
  pendingWrites_.insert(pendingWrites_.end(), message.begin(), message.end());
  if (pendingWrites_.size() >= kMaxBatchBytes) FlushWrites();
}

void TalvenorDiscoveryServicePersistent::FlushWrites() {
  if (pendingWrites_.empty()) return;
  if (!subscribers.empty() && endpoint) {
    // One copy for all of them: the endpoint shares it between the send
    // queues of every subscriber.
    uint32_t length = static_cast<uint32_t>(pendingWrites_.size());
    endpoint->WriteToConnectionsAsync(SubscriberList(), CopyBytes(pendingWrites_), length, 0);
  }
  pendingWrites_.clear();
}

void TalvenorDiscoveryServicePersistent::SendRemoval(const UUID& id) {
  if (subscribers.empty()) return;
  WriteToSubscribers(BuildRemoveBytes(id));
}

}  // namespace corvane::talvenor::server
