// The protocol-2 registry: the always-on list of displays behind TCP 53202.
//
// Displays connect and publish their record, then keep the connection open;
// clients connect and subscribe, receive every known display at once and
// afterwards every new or changed display and every removal. Displays learned
// over protocol 1 reach it through the bridge (ForwardToSubscribers,
// RemoveForeignDisplay) and are offered to subscribers too; new or changed
// displays of its own publishers go the other way. A publisher whose
// connection has stayed closed for longer than PublisherPurgeTimeout seconds
// (configuration key SOFTWARE\Corvane\DirectoryService, default 60, read
// afresh on every pass) is purged, and every subscriber gets its removal.
//
// Threads: all state lives on the work thread, which also runs the network
// endpoint's callbacks; every public call made elsewhere is posted there.
// Initialize, SetCrossCommunicator and the queries wait for their task;
// ForwardToSubscribers, RemoveForeignDisplay and PurgeInactivepublishers do
// not. A timer thread asks for a purge pass about once a second, never while
// one is still queued. The destructor lets queued work finish, then stops
// both threads and the endpoint.
//
// Locks: none of its own; confinement to the work thread stands in for
// them. A call that waits for its task must not hold a lock the work
// thread's tasks take: the web handler queries holding none of its own; the
// bridge only posts.
//
// Invariants, kept on the work thread after every event: every publisher has
// a connection record; `owners` maps each publisher's display id to that
// publisher and holds nothing else. A live connection whose id another
// connection took over keeps its record (it is no publisher then) and takes
// the id back when it publishes it again.
//
// Work per peer is bounded: the endpoint stops reading a connection while
// what it delivered is not yet processed or while the connection's own send
// queue is long (see NetworkEndpoint.h); every subscribe shares one copy of
// the current list, and one delivery's answers never pass what the endpoint
// would queue for the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <memory_resource>
#include <set>
#include <string>
#include <vector>

#include "DiscoveryServiceConstants.h"
#include "DisplayInfo.h"
#include "ICrossCommunicator.h"
#include "NetworkEndpoint.h"
#include "Protocol2Messages.h"
#include "RefCount.h"
#include "Scheduler.h"
#include "ThreadAnnotations.h"
#include "ThreadContext.h"
#include "Uuid.h"

namespace corvane::talvenor::server {

// One row of GetDisconnectedDisplays: a display purged at least once, by the
// name it last had.
struct DisconnectedDisplay {
  std::string name;
  uint32_t disconnectCount = 0;
};

// How the registry tries to open its port at start.
struct RegistryStartRetries {
  int attempts = kProtocol2StartAttempts;
  uint32_t intervalMs = kProtocol2StartRetryMs;
};

class TalvenorDiscoveryServicePersistent {
 public:
  using ConnectionId = INetworkEndpoint::ConnectionId;
  using DisplayInfo = IDiscoveryService::DisplayInfo;

  // The registry always listens here, whatever port it is constructed with.
  static constexpr uint16_t kPort = kProtocol2Port;
  static constexpr uint32_t kMaxConnections = 20000;

  // One per accepted connection, and one per foreign display (of which only
  // the display and its message are used).
  struct ClientConnection {
    bool connected = true;
    int64_t disconnectTime = 0;  // UTC ms of the close
    uint32_t peerIpv4 = 0;       // host order
    Protocol2Parser parser;      // parser state and receive stream
    DisplayInfo display;
    // The publish message rebuilt from `display`; shared by every write of it.
    bool messageValid = false;
    uint32_t messageLength = 0;
    std::shared_ptr<const std::vector<uint8_t>> message;

    // Stores the record and rebuilds its publish message.
    void BuildPublishMessage(const DisplayInfo& record);
  };

  // What tests and self-checks see of the state, copied on the work thread.
  struct StateSnapshot {
    struct Connection {
      bool connected = false;
      int64_t disconnectTime = 0;
      UUID displayId;
      bool messageValid = false;
      uint32_t unreadBytes = 0;
    };
    std::map<ConnectionId, Connection> connections;
    std::set<ConnectionId> publishers;
    std::set<ConnectionId> subscribers;
    std::map<UUID, ConnectionId> owners;
    std::set<UUID> foreignDisplays;
    bool initialized = false;
  };

  // Makes the endpoint Initialize listens with; CreateNetworkEndpoint unless
  // a test puts a scripted endpoint in its place.
  using EndpointFactory = std::function<int(INetworkEndpoint** out)>;
  using StartRetries = RegistryStartRetries;
  // Initialize's result when the port could not be opened.
  static constexpr int kResultPortUnavailable = static_cast<int32_t>(0x80000040u);

  // The port is not used (see kPort). Starts the work and timer threads.
  explicit TalvenorDiscoveryServicePersistent(uint16_t port);
  TalvenorDiscoveryServicePersistent(uint16_t port, EndpointFactory endpointFactory,
                                     StartRetries retries = StartRetries());
  virtual ~TalvenorDiscoveryServicePersistent();
  TalvenorDiscoveryServicePersistent(const TalvenorDiscoveryServicePersistent&) = delete;
  TalvenorDiscoveryServicePersistent& operator=(const TalvenorDiscoveryServicePersistent&) = delete;

  // Starts listening on kPort, trying retries.attempts times with a pause of
  // retries.intervalMs after each failure. When the last try fails it logs
  // "Unable to initialize TDS, exiting" and returns kResultPortUnavailable:
  // the caller owns the process and decides to end it. CancelStart (from
  // any thread) ends the retries at once with the same result.
  // Result_AlreadyInitialized on a second call.
  int Initialize();
  void CancelStart();

  // The bridge; an empty pointer detaches it.
  void SetCrossCommunicator(std::shared_ptr<ICrossCommunicator> crossCommunicator);

  // Every publisher's display in connection order (closed ones not yet
  // purged included), then every foreign display in id order.
  void GetDiscovered(std::vector<DisplayInfo>* out);
  // A counter that moves whenever what GetDiscovered returns may have
  // changed (a publish, a changed record, a removal, a purge, a foreign
  // display forwarded or removed). Read from any thread without waiting for
  // the work thread, so callers can keep what they built from the list
  // while it stays the same.
  uint64_t GetListVersion() const { return listVersion_.load(std::memory_order_acquire); }
  // GetDiscovered with the version the list belongs to, both taken at the
  // same point on the work thread. False (and *out empty) when the query
  // could not run, for example while the registry stops.
  bool GetDiscovered(std::vector<DisplayInfo>* out, uint64_t* version);
  void GetConnectionCounts(uint32_t* publisherCount, uint32_t* subscriberCount, uint32_t* publisherDisconnectCount,
                           uint32_t* subscriberDisconnectCount);
  // One row per display purged, in id order: the kMaxDisconnectedDisplays
  // most recently purged ones, as long as their names together stay within
  // kMaxDisconnectedNameBytes (the counts of older ones are dropped), so the
  // record and every answer built from it stay bounded. A whole site's
  // outage (every protocol-2 connection and every protocol-1 display) fits
  // with names of up to 128 bytes; only ids churned with long names reach
  // the second bound first. Returns 0.
  int GetDisconnectedDisplays(std::vector<DisconnectedDisplay>* out);
  // The same with the version of the rows, both taken on the work thread.
  int GetDisconnectedDisplays(std::vector<DisconnectedDisplay>* out, uint64_t* version);
  // Moves whenever the disconnected rows change; read without waiting.
  uint64_t GetDisconnectedVersion() const { return disconnectedVersion_.load(std::memory_order_acquire); }
  static constexpr size_t kMaxDisconnectedDisplays = 65536;
  static constexpr size_t kMaxDisconnectedNameBytes = 8u << 20;
  // Tests use a small bound; waits for the work thread.
  void SetDisconnectedDisplayLimit(size_t limit);

  // Once churn ends, what its purged records freed goes back to the system:
  // after the first purge pass that finds nothing to purge after at least
  // kPurgesBeforeRelease purges, the timer thread calls this on its next
  // tick, so the work thread never waits for it (platform::ReleaseFreeMemory
  // unless a test counts the calls). Without it the freed records stay
  // resident in the work thread's heap.
  static constexpr uint64_t kPurgesBeforeRelease = 1000;
  void SetFreeMemoryRelease(std::function<void()> release);

  // A display learned over protocol 1: sent to every subscriber unless one of
  // this registry's publishers owns its id. Returns 0 at once.
  int ForwardToSubscribers(const DisplayInfo& display);
  // A protocol-1 display was purged: subscribers get its removal if it was
  // still a foreign display here. Returns 0 at once.
  int RemoveForeignDisplay(const UUID& id);
  // One purge pass; off the work thread it is queued unless a pass already
  // is.
  void PurgeInactivepublishers();

  void GetStateSnapshot(StateSnapshot* out);

  // PublisherPurgeTimeout in milliseconds, 64-bit so that no configured value
  // can wrap into an early purge.
  static uint64_t ReadPublisherPurgeTimeout();

 private:
  // Runs task on the work thread and waits for it; false when the task was
  // discarded (queue full or stopping).
  bool RunOnWorkThread(std::function<void()> task);
  // Queues task on the work thread (runs it at once when already there).
  bool PostToWorkThread(std::function<void()> task);

  int DoInitialize();
  void OnConnectionEvent(INetworkEndpoint::ConnectionEvent event, const INetworkEndpoint::ConnectionInfo& info);
  void OnAccepted(const INetworkEndpoint::ConnectionInfo& info);
  void OnClosed(ConnectionId id);
  void ProcessNetworkStream(ConnectionId id, std::unique_ptr<uint8_t[]> data, uint32_t size);
  void HandlePublish(ConnectionId id, ClientConnection& connection, DisplayInfo record);
  // Answers `count` subscribes in a row; returns the bytes written.
  uint64_t HandleSubscribe(ConnectionId id, ClientConnection& connection, uint32_t count);
  // After every change of the published list: the list every subscribe is
  // answered with is rebuilt, and the list version moves.
  void InvalidateList() {
    listStale_ = true;
    listVersion_.fetch_add(1, std::memory_order_acq_rel);
  }
  std::vector<uint8_t> BuildList();
  void DoForwardToSubscribers(const DisplayInfo& display);
  // False for a record no protocol-2 reader would take, with one Warning
  // per display.
  bool Carriable(const DisplayInfo& display);
  void DoRemoveForeignDisplay(const UUID& id);
  void PurgePass();
  // Steps of a purge: counts, removal to subscribers, bridge, erase.
  void PurgePublisher(ConnectionId id);
  // Counts a purge of the display under its last name.
  void RecordDisconnected(const DisplayInfo& display);
  // Gives up ownership of a display this connection published before.
  void ReleaseDisplay(ConnectionId id, const UUID& displayId);

  void TimerLoop();
  void RequestPurgePass();

  // Changes of `subscribers`; both hand over the writes gathered for the set
  // as it was. False when nothing changed.
  bool AddSubscriber(ConnectionId id);
  bool RemoveSubscriber(ConnectionId id);
  const std::vector<ConnectionId>& SubscriberList();
  // Fan-out: gathered while a task runs and handed to the endpoint as one
  // write to every subscriber when the task ends (or the set changes), so a
  // delivery of many publishes costs one send per subscriber, not one per
  // message. Subscribers read a byte stream; they see the same bytes.
  void WriteToSubscribers(const std::vector<uint8_t>& message);
  void FlushWrites();
  void SendRemoval(const UUID& id);

  // Work-thread state.
  std::map<ConnectionId, ClientConnection> connections;
  std::set<ConnectionId> publishers;
  std::set<ConnectionId> subscribers;
  std::map<UUID, ConnectionId> owners;
  bool initialized = false;
  RefPtr<ThreadContext> workContext;
  RefPtr<ThreadContext> timerContext;
  std::unique_ptr<INetworkEndpoint> endpoint;
  std::map<UUID, ClientConnection> foreignDisplays;
  uint32_t publisherDisconnectCount = 0;
  uint32_t subscriberDisconnectCount = 0;
  // The rows with the purge sequence of their last purge, and the ids by
  // that sequence, oldest first, for dropping the oldest past the bound.
  // They live in a pool of their own: made one by one among the records of
  // churning connections, they would otherwise hold on to most pages those
  // records leave behind once purged. The pool keeps at most what the
  // bounds allow.
  struct DisconnectedRow {
    using allocator_type = std::pmr::polymorphic_allocator<char>;
    explicit DisconnectedRow(const allocator_type& allocator) : name(allocator) {}
    DisconnectedRow(const DisconnectedRow& other, const allocator_type& allocator)
        : name(other.name, allocator), disconnectCount(other.disconnectCount), sequence(other.sequence) {}
    std::pmr::string name;
    uint32_t disconnectCount = 0;
    uint64_t sequence = 0;
  };
  std::pmr::unsynchronized_pool_resource disconnectedPool_;
  std::pmr::map<UUID, DisconnectedRow> disconnectedDisplays{&disconnectedPool_};
  std::pmr::map<uint64_t, UUID> disconnectedByAge_{&disconnectedPool_};
  uint64_t disconnectSequence_ = 0;
  size_t disconnectedLimit_ = kMaxDisconnectedDisplays;
  size_t disconnectedNameBytes_ = 0;
  uint64_t purgesSinceRelease_ = 0;
  // Set by a purge pass, taken by the timer thread.
  std::atomic<bool> releaseDue_{false};
  CheckedMutex releaseLock_;
  std::function<void()> releaseFreeMemory_ GUARDED_BY(releaseLock_);
  std::atomic<uint64_t> disconnectedVersion_{0};
  // Displays warned about as not carriable (forgotten wholesale past a bound).
  std::set<UUID> uncarriable_;
  std::shared_ptr<ICrossCommunicator> crossCommunicator;

  // `subscribers` as the endpoint takes it, rebuilt after a change.
  std::vector<ConnectionId> subscriberList_;
  bool subscriberListStale_ = true;
  std::vector<uint8_t> pendingWrites_;
  std::shared_ptr<const uint8_t[]> list_;
  uint32_t listSize_ = 0;
  bool listStale_ = true;
  std::atomic<uint64_t> listVersion_{0};

  EndpointFactory endpointFactory_;
  StartRetries startRetries_;
  // Set by the destructor to end the timer loop.
  std::unique_ptr<Scheduler::Event> timerStop_;
  // Set by CancelStart to end the start-up retries.
  std::unique_ptr<Scheduler::Event> startCancel_;
  // True from the queueing of a purge pass until it starts.
  std::atomic<bool> purgePending_{false};
};

}  // namespace corvane::talvenor::server
