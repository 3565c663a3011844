// The protocol-1 discovery service: the registry that older clients and
// displays reach by RPC over the message transport on `port` (53200), with a
// second transport on `port` + 1 (53201) that carries calls back to clients.
//
// Displays report themselves with UpdateDisplay and are purged once silent
// for more than 300000 ms (checked on every 301st pass of the service's
// 100 ms loop). Clients register a callback connection with AddNotify and
// receive the display list with RequestDisplayEnumeration as one-way
// callbacks of at most 1000 records (layout in DiscoveryServiceStubImpl.h).
// Through the bridge it hands its own displays to the protocol-2 registry and
// keeps the displays published there ("foreign" displays), listed after its
// own.
//
// Until Initialize has succeeded, and again after Shutdown, AddNotify,
// RemoveNotify, RequestDisplayEnumeration and UpdateDisplay return
// Result_NotInitialized and change nothing; the bridge entry points work in
// any state.
//
// Threads: its own loop (purge and a statistics line every 60 s), the
// transports' delivery threads (the stub, OnEvent), the list thread (copies
// and writes the enumeration lists), the bridge's thread
// (StoreForeignDisplay) and the protocol-2 registry's work thread
// (RemoveDisplayByUuid). `lock_` guards the maps and the objects made by
// Initialize; nothing that can wait for another thread is called under it
// (the purge hands its removals to the bridge under it; they only post).
//
// Lock order around the service, outermost first:
//   the stub's serviceLock_ (shared for each RPC call, exclusive to detach)
//   and the bridge's serviceLock_ (across each bridge call into the service)
//   lock_ (re-entrant)
//   the callback sender's mapLock_, then its queue or retired lock
//     (AddNotify, RemoveNotify, the enumeration and statistics call it
//     under lock_)
//   the transports' and RPC endpoints' own locks, each a leaf to the service
// lock_ is a framework lock and stays out of the compiler's lock analysis.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "AddressShares.h"
#include "CpuUsage.h"
#include "DisplayInfo.h"
#include "ICrossCommunicator.h"
#include "IRpc.h"
#include "ITransport.h"
#include "RefCount.h"
#include "RpcCallbackThread.h"
#include "Scheduler.h"
#include "Thread.h"
#include "ThreadContext.h"
#include "Uuid.h"

namespace corvane::talvenor::server {

class DiscoveryServiceStubImpl;

class TalvenorDiscoveryService : public Thread, public ITransport::ITransportNotify, public virtual IRefCountImpl {
 public:
  using DisplayInfo = IDiscoveryService::DisplayInfo;

  // A display that reports itself here, with the UTC ms of its last update
  // and the peer address whose share of the table it counts under.
  class DisplayInfoInternal : public DisplayInfo {
   public:
    uint64_t lastUpdateTime = 0;
    uint32_t sourceIpv4 = 0;
  };

  // Makes a listening message transport on a port (one reference in *out).
  using TransportMaker = std::function<int(uint16_t port, ITransport** out)>;

  static constexpr uint32_t kBatchSize = 1000;
  static constexpr uint64_t kPurgeAgeMs = 300000;
  static constexpr uint32_t kPurgeEveryPasses = 300;
  static constexpr uint64_t kStatisticsIntervalMs = 60000;
  static constexpr uint32_t kPassMs = 100;
  // What the adapter makes of the callback transport's requested 5 ms.
  static constexpr int kCallbackWriteTimeoutMs = 10000;
  // Bounds on what peers may make the service hold. An UpdateDisplay past
  // one is refused (Result_InvalidArgument for a long string, Result_Fail
  // for a new display past the count or the bytes) and changes nothing; an
  // AddNotify past the registrations gets Result_Fail. Each bound holds in
  // total and, at a quarter of it (AddressShares), per peer address of the
  // calling connection, so that one address never takes the table from the
  // others. Displays learned over protocol 2 are bounded there and count
  // against none of these.
  static constexpr size_t kMaxStringBytes = 64 * 1024;
  static constexpr size_t kMaxDisplays = 10000;
  // The strings of every stored display together.
  static constexpr uint64_t kMaxDisplayBytes = 32ull << 20;
  static constexpr size_t kMaxRegistrations = 256;
  // A registration whose callback connection is missing, or holds callbacks
  // none of which went out, for this long is dropped: longer than one write
  // that waits out the whole write time-out and then counts as written.
  static constexpr uint64_t kRegistrationStallMs = kCallbackWriteTimeoutMs + 2000;
  static constexpr uint32_t kRegistrationCheckPasses = 10;
  // Callers whose peer address is remembered; the memory starts afresh past
  // it.
  static constexpr size_t kMaxCallerAddresses = 1024;

  // Nothing listens until Initialize. An empty maker uses the default.
  explicit TalvenorDiscoveryService(uint16_t port, TransportMaker maker = {});
  // Shutdown, then the rest is released.
  ~TalvenorDiscoveryService() override;

  // Transports on port and port + 1, the RPC endpoints, the callback thread,
  // the stub, and the service's thread. A failing step is logged and its
  // code returned; what was made stays until Shutdown.
  int Initialize();
  // Stops everything Initialize started, in the order that keeps every late
  // call out: the stub first (waiting for calls in progress), then both
  // transports, the service's thread, the callback thread and the bridge.
  // Waits; never call it from a delivery thread of these transports.
  // Idempotent.
  void Shutdown();

  // A second call with the same pair changes nothing; a caller or a
  // callback connection already registered with another partner keeps its
  // registration and nothing is added. A caller whose connection is gone
  // (its disconnect may have come before the call was delivered) is not
  // registered: nothing would ever remove it.
  int AddNotify(const UUID& callerId, const UUID& callbackConnectionId, const UUID& objectId);
  // 0 also for an unknown caller.
  int RemoveNotify(const UUID& callerId);
  // knownStamp equal to the current stamp (and not 0): 0, nothing sent.
  // A caller without AddNotify: Result_Fail, nothing sent. The list replaces
  // one of the caller's that is still waiting to start. When the list of the
  // current version is already built it is queued at once (a full callback
  // queue gives Result_Fail); otherwise the request waits for the list
  // thread, which builds each version once for all its requests and queues
  // it (a refusal then is only logged), and the answer is 0.
  int RequestDisplayEnumeration(const UUID& callerId, bool extended, uint64_t knownStamp, uint64_t* currentStamp);
  // callerId: the RPC connection the update came on, whose peer address the
  // display counts under; nil (or a connection already gone) counts a new
  // display under address 0 and leaves a known one where it was.
  int UpdateDisplay(const UUID& id, const std::string& name, const std::string& secondaryName, const uint32_t* ipv4,
                    uint16_t port, uint32_t flags, const std::string& appData, const UUID& callerId = UUID());

  // From the bridge: a display of the protocol-2 registry, stored or gone.
  // Both always change the stamp.
  void StoreForeignDisplay(const DisplayInfo& display);
  void RemoveDisplayByUuid(const UUID& id);
  // The bridge; an empty pointer detaches it.
  void SetCrossCommunicator(std::shared_ptr<ICrossCommunicator> crossCommunicator);

  // One purge pass now (the thread runs one every 301st pass).
  void PurgeStaleDisplays();
  // Drops the registrations whose callback connection has been missing or
  // stalled for kRegistrationStallMs (the thread checks about every second).
  void CheckRegistrations();

  // The callback thread's connection queues and queued callbacks (0 and 0
  // when it is not running).
  void GetCallbackStatistics(int* connections, int* pending);

  // Never decreases, and changes with every change of the display set.
  uint64_t GetChangeStamp() const { return changeStamp_.load(); }

  // Called on the list thread before each list it builds (tests watch where
  // and how often lists are built).
  void SetListBuildHook(std::function<void()> hook);

  int OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) override;
  // A disconnect of a registered caller's RPC or callback connection
  // removes its registration.
  int OnEvent(const UUID& connectionId, int event) override;
  bool ThreadFunc() override;

 private:
  int DoInitialize();
  int DoAddNotify(const UUID& callerId, const UUID& callbackConnectionId);
  // The peer address of a connection of the RPC transport, remembered per
  // caller; false when the connection is gone. Never under lock_.
  bool CallerAddress(const UUID& callerId, uint32_t* ipv4);
  int DoRemoveNotify(const UUID& callerId);
  int DoRequestDisplayEnumeration(const UUID& callerId, bool extended, uint64_t knownStamp, uint64_t* currentStamp);
  int DoUpdateDisplay(DisplayInfoInternal record, bool addressKnown);
  void DoOnEvent(const UUID& connectionId, int event);
  void LogStatistics();
  // max(now, previous + 1), so a client never holds a stamp that a later
  // change repeats.
  void BumpChangeStamp();
  // Takes the caller's registration out of both maps; the callback
  // connection to drop, if any, goes to *dropped. lock_ held.
  bool UnregisterLocked(const UUID& callerId, UUID* dropped);
  // The share of the display table a record holds. lock_ held.
  void ReleaseDisplayShare(const DisplayInfoInternal& display);
  // The enumeration batches of list; empty when a stream cannot be made.
  static std::vector<RefPtr<IDataStream>> ListBatches(bool extended, const std::vector<DisplayInfo>& list);
  // The list thread's task: builds the lists the waiting requests need, one
  // version at a time, and queues them, until no request waits.
  void BuildLists();

  const uint16_t port_;
  TransportMaker maker_;
  std::atomic<bool> initialized_{false};
  bool shutdown_ = false;
  std::atomic<uint64_t> changeStamp_{0};

  std::unique_ptr<Scheduler::FastMutex> lock_;
  RefPtr<IRpc> rpc_;
  RefPtr<ITransport> transport_;
  RefPtr<IRpc> callbackRpc_;
  RefPtr<RpcCallbackThread> callbackThread_;
  RefPtr<ITransport> callbackTransport_;
  RefPtr<DiscoveryServiceStubImpl> stub_;
  std::map<UUID, UUID> callerToConnection_;
  std::map<UUID, UUID> connectionToCaller_;
  std::map<UUID, DisplayInfoInternal> displays_;
  std::map<UUID, DisplayInfo> foreignDisplays_;
  // String bytes of displays_.
  uint64_t displayBytes_ = 0;
  // What each peer address holds of displays_ (count, bytes) and of the
  // registrations, with the address each registration counts under.
  AddressShares displayShares_{kMaxDisplays};
  AddressShares displayByteShares_{kMaxDisplayBytes};
  AddressShares registrationShares_{kMaxRegistrations};
  std::map<UUID, uint32_t> registrationAddress_;
  std::map<UUID, uint32_t> callerAddresses_;
  // The batches of the list as of a stamp, plain and extended.
  struct CachedList {
    uint64_t stamp = 0;
    std::vector<RefPtr<IDataStream>> batches;
  };
  CachedList lists_[2];
  // A request waiting for the list of its version (or a newer one), one per
  // caller: a later request of the caller replaces it.
  struct WaitingList {
    bool extended = false;
    uint64_t stamp = 0;
  };
  std::map<UUID, WaitingList> waitingLists_;
  // BuildLists is posted or running; it alone clears this.
  bool building_ = false;
  // Builds the lists, off the threads that deliver calls.
  RefPtr<ThreadContext> lister_;
  std::function<void()> buildHook_;
  // Callback connections found missing, since when (UTC ms); the service
  // thread's own.
  std::map<UUID, uint64_t> missingSince_;
  std::shared_ptr<ICrossCommunicator> crossCommunicator_;

  std::atomic<uint32_t> enumerationCount_{0};
  std::atomic<uint32_t> updateCount_{0};
  std::atomic<uint32_t> purgeCount_{0};
  CpuUsage cpuUsage_;
  // The service thread's own.
  uint32_t passes_ = 0;
  uint32_t checkPasses_ = 0;
  int64_t lastStatisticsTime_ = 0;
  // Cuts the pause between passes short when stopping.
  std::unique_ptr<Scheduler::Event> wake_;
};

}  // namespace corvane::talvenor::server
