#include "DiscoveryService.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "CrashLog.h"
#include "DiscoveryServiceStubImpl.h"
#include "Locks.h"
#include "Logger.h"
#include "Network.h"
#include "ProcessStatistics.h"
#include "Result.h"
#include "StringUtils.h"
#include "TransportAdapter.h"

namespace corvane::talvenor::server {

namespace {

#define SERVICE_FUNCTION(name) "corvane::talvenor::server::TalvenorDiscoveryService::" name
// Lines carry the public operation's name, whichever helper writes them.
#define SERVICE_RECORD(var, flags, verbosity, name) \
  ::corvane::LogRecord var((flags), (verbosity), __FILE__, __LINE__, SERVICE_FUNCTION(name))
#define SERVICE_LOG(flags, verbosity, name, ...)                         \
  do {                                                                   \
    SERVICE_RECORD(service_record_, flags, verbosity, name);             \
    if (service_record_.IsEnabled()) service_record_.Print(__VA_ARGS__); \
  } while (0)

int CreateProtocol1Transport(uint16_t port, ITransport** out) { return CreateAdaptedTransport(0, port, out); }

int ClampToInt(int64_t value) { return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX)); }

uint64_t NowMs() { return static_cast<uint64_t>(CurrentUtcTimeMs()); }

}  // namespace

TalvenorDiscoveryService::TalvenorDiscoveryService(uint16_t port, TransportMaker maker)
    : port_(port), maker_(std::move(maker)) {
  if (!maker_) maker_ = CreateProtocol1Transport;
  CRASH_LOG_GUARD(SERVICE_FUNCTION("TalvenorDiscoveryService"), [&] {
    lock_.reset(GetDefaultScheduler()->CreateFastMutex());
    wake_.reset(GetDefaultScheduler()->CreateEvent(false, false));
    SERVICE_LOG(Log_Information, 0, "TalvenorDiscoveryService", "Discovery service created");
  });
}

TalvenorDiscoveryService::~TalvenorDiscoveryService() {
  CRASH_LOG_GUARD_NOTHROW(SERVICE_FUNCTION("~TalvenorDiscoveryService"), [&] { Shutdown(); });
}

void TalvenorDiscoveryService::Shutdown() {
  RefPtr<DiscoveryServiceStubImpl> stub;
  RefPtr<IRpc> rpc, callbackRpc;
  RefPtr<ITransport> transport, callbackTransport;
  RefPtr<RpcCallbackThread> callbackThread;
  std::shared_ptr<ICrossCommunicator> bridge;
  {
    ScopedLock hold(lock_.get());
    if (shutdown_) return;
    shutdown_ = true;
    initialized_.store(false);
    stub = std::move(stub_);
    rpc = std::move(rpc_);
    callbackRpc = std::move(callbackRpc_);
    transport = std::move(transport_);
    callbackTransport = std::move(callbackTransport_);
  }
  // The stub first: a call in progress finishes, later ones find no service.
  if (stub) stub->DetachService();
  if (rpc) rpc->UnregisterStub(DiscoveryServiceStubId);
  for (ITransport* t : {transport.Get(), callbackTransport.Get()}) {
    if (t == nullptr) continue;
    t->RemoveNotify(this);
    t->Finalize();
  }
  if (rpc) rpc->Detach();
  if (callbackRpc) callbackRpc->Detach();
  wake_->Set();
  Stop();
  RefPtr<ThreadContext> lister;
  {
    ScopedLock hold(lock_.get());
    lister = std::move(lister_);
  }
  // A build in hand finishes and finds the service stopped.
  if (lister) lister->Stop();
  lister.Reset();
  {
    ScopedLock hold(lock_.get());
    callbackThread = std::move(callbackThread_);
    bridge = std::move(crossCommunicator_);
    callerToConnection_.clear();
    connectionToCaller_.clear();
    displays_.clear();
    displayBytes_ = 0;
    displayShares_.Clear();
    displayByteShares_.Clear();
    registrationShares_.Clear();
    registrationAddress_.clear();
    callerAddresses_.clear();
    lists_[0] = lists_[1] = CachedList{};
    waitingLists_.clear();
    foreignDisplays_.clear();
  }
  // Joins the callback work threads; their sends fail fast on the finalised
  // transport.
  callbackThread.Reset();
}

int TalvenorDiscoveryService::Initialize() {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("Initialize"), [&] { return DoInitialize(); });
}

int TalvenorDiscoveryService::DoInitialize() {
  ScopedLock hold(lock_.get());
  SERVICE_RECORD(record, Log_Severe, 0, "Initialize");
  if (initialized_.load()) return record.ReturnResult(Result_AlreadyInitialized, "Already initialized");
  if (shutdown_) return record.ReturnResult(Result_NotInitialized, "Not initialized.");
  SERVICE_LOG(Log_Information, 0, "Initialize", "Initialization started");

  int result = Result_Ok;
  if (!transport_) {
    if (Failed(maker_(port_, transport_.Receive())) || !transport_) {
      transport_.Reset();
      return record.ReturnResult(Result_Fail, "Unable to create transport");
    }
    if (Failed(result = transport_->Initialize(true, true))) {
      transport_.Reset();
      return record.ReturnResult(result, "Unable to initialize transport");
    }
    transport_->SetIdleConnectionPurgeEnabled(true);
  }
  if (!rpc_) {
    if (Failed(CreateRpc(rpc_.Receive())) || !rpc_) return record.ReturnResult(Result_Fail, "Unable to create RPC");
    if (Failed(result = rpc_->SetTransport(transport_.Get(), 0))) {
      rpc_.Reset();
      return record.ReturnResult(result, "Unable to initialize RPC");
    }
    transport_->AddNotify(this);
  }
  if (!callbackTransport_) {
    if (Failed(maker_(static_cast<uint16_t>(port_ + 1), callbackTransport_.Receive())) || !callbackTransport_) {
      callbackTransport_.Reset();
      return record.ReturnResult(Result_Fail, "Unable to create callback transport");
    }
    if (Failed(result = callbackTransport_->Initialize(true, true))) {
      callbackTransport_.Reset();
      return record.ReturnResult(result, "Unable to initialize callback transport");
    }
    callbackTransport_->SetWriteTimeout(kCallbackWriteTimeoutMs);
    callbackTransport_->SetIdleConnectionPurgeEnabled(true);
    callbackTransport_->AddNotify(this);
  }
  if (!callbackRpc_) {
    if (Failed(CreateRpc(callbackRpc_.Receive())) || !callbackRpc_) {
      return record.ReturnResult(Result_Fail, "Unable to create callbacks RPC");
    }
    if (Failed(result = callbackRpc_->SetTransport(callbackTransport_.Get(), 0))) {
      callbackRpc_.Reset();
      return record.ReturnResult(result, "Unable to initialize callbacks RPC");
    }
  }
  if (!callbackThread_) {
    callbackThread_.Attach(new RpcCallbackThread(callbackRpc_.Get()));
    if (Failed(result = callbackThread_->Initialize())) {
      callbackThread_.Reset();
      return record.ReturnResult(result, "Unable to RPC callback thread");
    }
  }
  if (!stub_) {
    stub_.Attach(new DiscoveryServiceStubImpl(this));
    rpc_->RegisterStub(DiscoveryServiceStubId, stub_.Get());
  }
  if (!lister_) lister_.Attach(new ThreadContext(1, 0, "tds-p1-lists"));
  SetName("tds-p1-purge");
  Start(kInfinite);
  initialized_.store(true);
  SERVICE_LOG(Log_Information, 0, "Initialize", "Discovery service initialization completed");
  return record.ReturnResult(Result_Ok);
}

int TalvenorDiscoveryService::AddNotify(const UUID& callerId, const UUID& callbackConnectionId, const UUID&) {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("AddNotify"), [&] { return DoAddNotify(callerId, callbackConnectionId); });
}

int TalvenorDiscoveryService::DoAddNotify(const UUID& callerId, const UUID& callbackConnectionId) {
  SERVICE_RECORD(record, Log_Severe, 0, "AddNotify");
  if (!initialized_.load()) return record.ReturnResult(Result_NotInitialized);
  uint32_t address = 0;
  if (!CallerAddress(callerId, &address)) return record.ReturnResult(Result_Fail);
  RefPtr<ITransport> transport;
  {
    ScopedLock hold(lock_.get());
    if (!initialized_.load()) return record.ReturnResult(Result_NotInitialized);
    auto caller = callerToConnection_.find(callerId);
    auto connection = connectionToCaller_.find(callbackConnectionId);
    const bool callerFree = caller == callerToConnection_.end();
    const bool connectionFree = connection == connectionToCaller_.end();
    // Only a pair that lands in both maps gets a queue: anything else would
    // leave a queue (and its thread) that no removal ever finds.
    if (!callerFree || !connectionFree) return record.ReturnResult(Result_Ok);
    if (callerToConnection_.size() >= kMaxRegistrations) {
      SERVICE_LOG(Log_Warning, 0, "AddNotify", "Registration of %s refused: %zu registrations held",
                  callerId.ToString().c_str(), callerToConnection_.size());
      return record.ReturnResult(Result_Fail);
    }
    if (!registrationShares_.Fits(address, 1)) {
      SERVICE_LOG(Log_Warning, 0, "AddNotify", "Registration of %s refused: %s holds %llu registrations",
                  callerId.ToString().c_str(), FormatIPv4(address).c_str(),
                  static_cast<unsigned long long>(registrationShares_.Held(address)));
      return record.ReturnResult(Result_Fail);
    }
    callbackThread_->AddConnection(callbackConnectionId);
    callerToConnection_.emplace(callerId, callbackConnectionId);
    connectionToCaller_.emplace(callbackConnectionId, callerId);
    registrationAddress_[callerId] = address;
    registrationShares_.Add(address, 1);
    transport = transport_;
  }
  // The caller's disconnect may have come between the look-up and the
  // registration, and found nothing to remove. The transport forgets a
  // connection before it reports it gone, so asking again settles it.
  uint32_t again = 0;
  if (transport && Failed(transport->GetPeerIpv4(callerId, &again, nullptr))) {
    DoOnEvent(callerId, TransportEvent_Disconnected);
  }
  return record.ReturnResult(Result_Ok);
}

bool TalvenorDiscoveryService::CallerAddress(const UUID& callerId, uint32_t* ipv4) {
  RefPtr<ITransport> transport;
  {
    ScopedLock hold(lock_.get());
    auto it = callerAddresses_.find(callerId);
    if (it != callerAddresses_.end()) {
      *ipv4 = it->second;
      return true;
    }
    transport = transport_;
  }
  uint32_t address = 0;
  if (!transport || callerId == UUID() || Failed(transport->GetPeerIpv4(callerId, &address, nullptr))) return false;
  ScopedLock hold(lock_.get());
  // Entries of callers gone before their first call was delivered are
  // never removed; starting afresh bounds them.
  if (callerAddresses_.size() >= kMaxCallerAddresses) callerAddresses_.clear();
  callerAddresses_[callerId] = address;
  *ipv4 = address;
  return true;
}

int TalvenorDiscoveryService::RemoveNotify(const UUID& callerId) {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("RemoveNotify"), [&] { return DoRemoveNotify(callerId); });
}

bool TalvenorDiscoveryService::UnregisterLocked(const UUID& callerId, UUID* dropped) {
  auto it = callerToConnection_.find(callerId);
  if (it == callerToConnection_.end()) return false;
  *dropped = it->second;
  connectionToCaller_.erase(it->second);
  callerToConnection_.erase(it);
  auto address = registrationAddress_.find(callerId);
  if (address != registrationAddress_.end()) {
    registrationShares_.Remove(address->second, 1);
    registrationAddress_.erase(address);
  }
  return true;
}

int TalvenorDiscoveryService::DoRemoveNotify(const UUID& callerId) {
  SERVICE_RECORD(record, Log_Severe, 0, "RemoveNotify");
  UUID dropped;
  RefPtr<RpcCallbackThread> callbackThread;
  {
    ScopedLock hold(lock_.get());
    if (!initialized_.load()) return record.ReturnResult(Result_NotInitialized);
    if (!UnregisterLocked(callerId, &dropped)) return record.ReturnResult(Result_Ok);
    callbackThread = callbackThread_;
  }
  if (callbackThread) callbackThread->RemoveConnection(dropped);
  return record.ReturnResult(Result_Ok);
}

int TalvenorDiscoveryService::RequestDisplayEnumeration(const UUID& callerId, bool extended, uint64_t knownStamp,
                                                        uint64_t* currentStamp) {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("RequestDisplayEnumeration"),
                         [&] { return DoRequestDisplayEnumeration(callerId, extended, knownStamp, currentStamp); });
}

int TalvenorDiscoveryService::DoRequestDisplayEnumeration(const UUID& callerId, bool extended, uint64_t knownStamp,
                                                          uint64_t* currentStamp) {
  SERVICE_RECORD(record, Log_Severe, 0, "RequestDisplayEnumeration");
  if (!initialized_.load()) return record.ReturnResult(Result_NotInitialized);
  if (currentStamp == nullptr) return record.ReturnResult(Result_InvalidPointer);
  const uint64_t stamp = changeStamp_.load();
  if (knownStamp != 0 && knownStamp == stamp) {
    *currentStamp = knownStamp;
    return record.ReturnResult(Result_Ok);
  }
  *currentStamp = stamp;
  std::vector<RefPtr<IDataStream>> batches;
  UUID connectionId;
  RefPtr<RpcCallbackThread> callbackThread;
  {
    ScopedLock hold(lock_.get());
    auto it = callerToConnection_.find(callerId);
    if (it == callerToConnection_.end() || !callbackThread_) return record.ReturnResult(Result_Fail);
    enumerationCount_.fetch_add(1);
    // Every change of the list moves the stamp under this lock.
    const uint64_t listStamp = changeStamp_.load();
    const CachedList& cached = lists_[extended ? 1 : 0];
    if (cached.batches.empty() || cached.stamp != listStamp) {
      // Copying and writing a list costs in proportion to the whole table:
      // the list thread does it, once per version for every request that
      // waits for it, and the thread that delivers calls goes on.
      waitingLists_[callerId] = WaitingList{extended, listStamp};
      if (!building_ && lister_) building_ = lister_->PostAlways([this] { BuildLists(); });
      return record.ReturnResult(Result_Ok);
    }
    waitingLists_.erase(callerId);
    batches = cached.batches;
    connectionId = it->second;
    callbackThread = callbackThread_;
  }
  // One list per registration waits at most: a newer request replaces it.
  return record.ReturnResult(callbackThread->CallBackGroup(connectionId, DiscoveryServiceStubId,
                                                           DiscoveryServiceMethod_DisplayEnumeration, batches));
}

void TalvenorDiscoveryService::SetListBuildHook(std::function<void()> hook) {
  ScopedLock hold(lock_.get());
  buildHook_ = std::move(hook);
}

void TalvenorDiscoveryService::BuildLists() {
  CRASH_LOG_GUARD_NOTHROW(SERVICE_FUNCTION("RequestDisplayEnumeration"), [&] {
    for (;;) {
      uint64_t stamp = 0;
      bool need[2] = {false, false};
      std::vector<DisplayInfo> list;
      std::function<void()> hook;
      {
        ScopedLock hold(lock_.get());
        if (waitingLists_.empty() || !initialized_.load()) {
          waitingLists_.clear();
          building_ = false;
          return;
        }
        stamp = changeStamp_.load();
        for (const auto& [caller, waiting] : waitingLists_) {
          const CachedList& cached = lists_[waiting.extended ? 1 : 0];
          if (cached.batches.empty() || cached.stamp != stamp) need[waiting.extended ? 1 : 0] = true;
        }
        if (need[0] || need[1]) {
          list.reserve(displays_.size() + foreignDisplays_.size());
          // An id published over protocol 2 as well is listed once, as the
          // protocol-2 registry holds it: its publisher owns the id.
          for (const auto& [id, display] : displays_) {
            if (foreignDisplays_.count(id) == 0) list.push_back(static_cast<const DisplayInfo&>(display));
          }
          for (const auto& [id, display] : foreignDisplays_) list.push_back(display);
          hook = buildHook_;
        }
      }
      if (hook) hook();
      // Built outside the lock; the streams are never written again, so
      // every request of this version shares them.
      std::vector<RefPtr<IDataStream>> built[2];
      for (int mode = 0; mode < 2; ++mode) {
        if (need[mode]) built[mode] = ListBatches(mode == 1, list);
      }
      list = {};
      std::vector<std::pair<UUID, std::vector<RefPtr<IDataStream>>>> ready;
      RefPtr<RpcCallbackThread> callbackThread;
      {
        ScopedLock hold(lock_.get());
        for (int mode = 0; mode < 2; ++mode) {
          if (need[mode] && !built[mode].empty()) lists_[mode] = CachedList{stamp, built[mode]};
        }
        callbackThread = callbackThread_;
        // Requests made since the copy may want a newer version: they wait
        // for the next round.
        for (auto it = waitingLists_.begin(); it != waitingLists_.end();) {
          const int mode = it->second.extended ? 1 : 0;
          const CachedList& cached = lists_[mode];
          const bool served = cached.stamp == stamp && !cached.batches.empty();
          if (it->second.stamp > stamp || (!served && !need[mode])) {
            ++it;
            continue;
          }
          // A list that could not be made is dropped with its requests.
          auto registration = callerToConnection_.find(it->first);
          if (served && registration != callerToConnection_.end()) {
            ready.emplace_back(registration->second, cached.batches);
          }
          it = waitingLists_.erase(it);
        }
      }
      for (const auto& [connectionId, batches] : ready) {
        if (callbackThread) {
          callbackThread->CallBackGroup(connectionId, DiscoveryServiceStubId, DiscoveryServiceMethod_DisplayEnumeration,
                                        batches);
        }
      }
    }
  });
}

std::vector<RefPtr<IDataStream>> TalvenorDiscoveryService::ListBatches(bool extended,
                                                                       const std::vector<DisplayInfo>& list) {
  std::vector<RefPtr<IDataStream>> batches;
  size_t sent = 0;
  do {
    const size_t count = std::min<size_t>(kBatchSize, list.size() - sent);
    RefPtr<IDataStream> params;
    if (Failed(CreateDataStream(params.Receive()))) return {};
    WriteDisplayEnumerationBatch(params.Get(), extended, list, sent, count, sent + count == list.size());
    sent += count;
    batches.push_back(std::move(params));
  } while (sent < list.size());
  return batches;
}

int TalvenorDiscoveryService::UpdateDisplay(const UUID& id, const std::string& name, const std::string& secondaryName,
                                            const uint32_t* ipv4, uint16_t port, uint32_t flags,
                                            const std::string& appData, const UUID& callerId) {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("UpdateDisplay"), [&]() -> int {
    if (ipv4 == nullptr) return Result_InvalidPointer;
    DisplayInfoInternal record;
    record.id = id;
    record.name = name;
    record.secondaryName = secondaryName;
    record.ipv4 = *ipv4;
    record.port = port;
    record.flags = flags;
    record.appData = appData;
    record.lastUpdateTime = NowMs();
    const bool addressKnown = initialized_.load() && CallerAddress(callerId, &record.sourceIpv4);
    return DoUpdateDisplay(record, addressKnown);
  });
}

int TalvenorDiscoveryService::DoUpdateDisplay(DisplayInfoInternal record, bool addressKnown) {
  SERVICE_RECORD(result, Log_Severe, 0, "UpdateDisplay");
  if (!initialized_.load()) return result.ReturnResult(Result_NotInitialized);
  const size_t longest = std::max({record.name.size(), record.secondaryName.size(), record.appData.size()});
  if (longest > kMaxStringBytes) {
    SERVICE_LOG(Log_Warning, 0, "UpdateDisplay", "Display %s refused: a string of %zu bytes passes %zu",
                record.id.ToString().c_str(), longest, kMaxStringBytes);
    return result.ReturnResult(Result_InvalidArgument);
  }
  const uint64_t bytes = record.name.size() + record.secondaryName.size() + record.appData.size();
  SERVICE_LOG(Log_Spew, 2, "UpdateDisplay", "Display Updated - %s %s %x %d", record.id.ToString().c_str(),
              ForLog(record.name).c_str(), record.ipv4, static_cast<int>(record.port));
  std::shared_ptr<ICrossCommunicator> bridge;
  {
    ScopedLock hold(lock_.get());
    auto known = displays_.find(record.id);
    const uint64_t held = known == displays_.end() ? 0
                                                   : known->second.name.size() + known->second.secondaryName.size() +
                                                         known->second.appData.size();
    if ((known == displays_.end() && displays_.size() >= kMaxDisplays) ||
        displayBytes_ - held + bytes > kMaxDisplayBytes) {
      SERVICE_LOG(Log_Warning, 0, "UpdateDisplay", "Display %s refused: %zu displays of %llu bytes held",
                  record.id.ToString().c_str(), displays_.size(), static_cast<unsigned long long>(displayBytes_));
      return result.ReturnResult(Result_Fail);
    }
    if (!addressKnown && known != displays_.end()) record.sourceIpv4 = known->second.sourceIpv4;
    const uint32_t address = record.sourceIpv4;
    // What the address holds without this display's current record.
    const bool same = known != displays_.end() && known->second.sourceIpv4 == address;
    const uint64_t addressCount = displayShares_.Held(address) - (same ? 1 : 0);
    const uint64_t addressBytes = displayByteShares_.Held(address) - (same ? held : 0);
    if (addressCount + 1 > displayShares_.Share() || addressBytes + bytes > displayByteShares_.Share()) {
      SERVICE_LOG(Log_Warning, 0, "UpdateDisplay", "Display %s refused: %s holds %llu displays of %llu bytes",
                  record.id.ToString().c_str(), FormatIPv4(address).c_str(),
                  static_cast<unsigned long long>(displayShares_.Held(address)),
                  static_cast<unsigned long long>(displayByteShares_.Held(address)));
      return result.ReturnResult(Result_Fail);
    }
    if (known != displays_.end()) ReleaseDisplayShare(known->second);
    displayShares_.Add(address, 1);
    displayByteShares_.Add(address, bytes);
    displayBytes_ = displayBytes_ - held + bytes;
    auto [it, inserted] = displays_.try_emplace(record.id, record);
    if (inserted || static_cast<const DisplayInfo&>(it->second) != record) BumpChangeStamp();
    it->second = record;
    bridge = crossCommunicator_;
    updateCount_.fetch_add(1);
  }
  // Outside the lock: the bridge may wait for room in its queue while its
  // own thread waits for this lock.
  if (bridge) bridge->UpdateDisplay(record, CrossDirection_FromProtocol1);
  return result.ReturnResult(Result_Ok);
}

void TalvenorDiscoveryService::ReleaseDisplayShare(const DisplayInfoInternal& display) {
  displayShares_.Remove(display.sourceIpv4, 1);
  displayByteShares_.Remove(display.sourceIpv4,
                            display.name.size() + display.secondaryName.size() + display.appData.size());
}

void TalvenorDiscoveryService::StoreForeignDisplay(const DisplayInfo& display) {
  ScopedLock hold(lock_.get());
  foreignDisplays_[display.id] = display;
  BumpChangeStamp();
}

void TalvenorDiscoveryService::RemoveDisplayByUuid(const UUID& id) {
  ScopedLock hold(lock_.get());
  foreignDisplays_.erase(id);
  BumpChangeStamp();
}

void TalvenorDiscoveryService::SetCrossCommunicator(std::shared_ptr<ICrossCommunicator> crossCommunicator) {
  std::shared_ptr<ICrossCommunicator> previous;
  ScopedLock hold(lock_.get());
  if (shutdown_) return;
  previous = std::exchange(crossCommunicator_, std::move(crossCommunicator));
}

void TalvenorDiscoveryService::BumpChangeStamp() {
  const uint64_t now = NowMs();
  uint64_t previous = changeStamp_.load();
  while (!changeStamp_.compare_exchange_weak(previous, std::max(now, previous + 1))) {
  }
}

int TalvenorDiscoveryService::OnDataReady(const UUID&, const UUID&, IDataStream*) { return Result_Ok; }

int TalvenorDiscoveryService::OnEvent(const UUID& connectionId, int event) {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("OnEvent"), [&] {
    DoOnEvent(connectionId, event);
    return static_cast<int>(Result_Ok);
  });
}

void TalvenorDiscoveryService::DoOnEvent(const UUID& connectionId, int event) {
  if (event != TransportEvent_Disconnected) return;
  UUID dropped;
  RefPtr<RpcCallbackThread> callbackThread;
  {
    ScopedLock hold(lock_.get());
    if (!initialized_.load()) return;
    callerAddresses_.erase(connectionId);
    bool removed = UnregisterLocked(connectionId, &dropped);
    if (!removed) {
      auto it = connectionToCaller_.find(connectionId);
      if (it != connectionToCaller_.end()) {
        const UUID caller = it->second;
        removed = UnregisterLocked(caller, &dropped);
      }
    }
    if (!removed) return;
    callbackThread = callbackThread_;
  }
  if (callbackThread) callbackThread->RemoveConnection(dropped);
}

void TalvenorDiscoveryService::PurgeStaleDisplays() {
  ScopedLock hold(lock_.get());
  const uint64_t now = NowMs();
  for (auto it = displays_.begin(); it != displays_.end();) {
    const DisplayInfoInternal& d = it->second;
    // Unsigned on purpose: a time ahead of now (the clock stepped back)
    // also counts as old.
    if (now - d.lastUpdateTime <= kPurgeAgeMs) {
      ++it;
      continue;
    }
    SERVICE_LOG(Log_Information, 0, "ThreadFunc", "Purged - %s %s %x %d (curTime = %llu  lastUpdateTime = %llu)",
                d.id.ToString().c_str(), ForLog(d.name).c_str(), d.ipv4, static_cast<int>(d.port),
                static_cast<unsigned long long>(now), static_cast<unsigned long long>(d.lastUpdateTime));
    // Handed over before the lock goes: an update of the same display,
    // which takes the lock first, then reaches protocol 2 after the
    // removal, never before it. A removal only posts; it never waits.
    if (crossCommunicator_) crossCommunicator_->RemoveDisplay(it->first, CrossDirection_FromProtocol1);
    displayBytes_ -= d.name.size() + d.secondaryName.size() + d.appData.size();
    ReleaseDisplayShare(d);
    it = displays_.erase(it);
    BumpChangeStamp();
    purgeCount_.fetch_add(1);
  }
}

void TalvenorDiscoveryService::CheckRegistrations() {
  std::vector<UUID> callbackConnections;
  RefPtr<ITransport> callbackTransport;
  RefPtr<RpcCallbackThread> callbackThread;
  {
    ScopedLock hold(lock_.get());
    if (!initialized_.load() || !callbackTransport_ || !callbackThread_) return;
    callbackTransport = callbackTransport_;
    callbackThread = callbackThread_;
    for (const auto& [connection, caller] : connectionToCaller_) callbackConnections.push_back(connection);
  }
  const uint64_t now = NowMs();
  std::map<UUID, uint64_t> missing;
  std::vector<std::pair<UUID, uint64_t>> stale;
  for (const UUID& connection : callbackConnections) {
    // Asked outside the lock: the transport answers on its own thread.
    bool ready = false;
    if (Failed(callbackTransport->ConnectionReadyForWrite(connection, &ready))) {
      auto since = missingSince_.find(connection);
      const uint64_t start = since == missingSince_.end() ? now : since->second;
      missing[connection] = start;
      if (now - start >= kRegistrationStallMs) stale.push_back({connection, now - start});
      continue;
    }
    size_t queued = 0;
    uint64_t stalledMs = 0;
    if (callbackThread->GetQueueState(connection, &queued, &stalledMs) && stalledMs >= kRegistrationStallMs) {
      stale.push_back({connection, stalledMs});
    }
  }
  missingSince_ = std::move(missing);
  for (const auto& [connection, ms] : stale) {
    UUID dropped;
    {
      ScopedLock hold(lock_.get());
      auto it = connectionToCaller_.find(connection);
      if (it == connectionToCaller_.end()) continue;
      SERVICE_LOG(Log_Warning, 0, "ThreadFunc",
                  "Registration of %s dropped: callback connection %s missing or unwritable for %llu ms",
                  it->second.ToString().c_str(), connection.ToString().c_str(), static_cast<unsigned long long>(ms));
      if (!UnregisterLocked(it->second, &dropped)) continue;
    }
    missingSince_.erase(connection);
    callbackThread->RemoveConnection(dropped);
  }
}

void TalvenorDiscoveryService::GetCallbackStatistics(int* connections, int* pending) {
  *connections = 0;
  *pending = 0;
  ScopedLock hold(lock_.get());
  if (callbackThread_) callbackThread_->GetStatistics(connections, pending);
}

void TalvenorDiscoveryService::LogStatistics() {
  const int64_t now = CurrentUtcTimeMs();
  if (lastStatisticsTime_ == 0) lastStatisticsTime_ = now;
  if (now - lastStatisticsTime_ <= static_cast<int64_t>(kStatisticsIntervalMs)) return;
  lastStatisticsTime_ = now;
  int connections = 0, pending = 0;
  size_t displayCount = 0;
  {
    ScopedLock hold(lock_.get());
    if (callbackThread_) callbackThread_->GetStatistics(&connections, &pending);
    displayCount = displays_.size();
  }
  SERVICE_LOG(Log_Information, 0, "ThreadFunc", "TDS_STATS, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d,",
              ClampToInt(static_cast<int64_t>(displayCount)), ClampToInt(enumerationCount_.exchange(0)),
              ClampToInt(updateCount_.exchange(0)), ClampToInt(purgeCount_.exchange(0)), connections, pending,
              static_cast<int>(cpuUsage_.GetUsage()), platform::GetProcessThreadCount(),
              platform::GetProcessHandleCount(), ClampToInt(platform::GetProcessWorkingSetBytes()));
}

bool TalvenorDiscoveryService::ThreadFunc() {
  return CRASH_LOG_GUARD(SERVICE_FUNCTION("ThreadFunc"), [&] {
    if (++passes_ > kPurgeEveryPasses) {
      passes_ = 0;
      PurgeStaleDisplays();
    }
    if (++checkPasses_ >= kRegistrationCheckPasses) {
      checkPasses_ = 0;
      CheckRegistrations();
    }
    LogStatistics();
    // Woken early only to stop.
    wake_->Wait(kPassMs);
    return true;
  });
}

}  // namespace corvane::talvenor::server
