// The registry under churn, driven through a scripted endpoint so that the
// test chooses connection identifiers (slot reuse needs that) and sees every
// write: reconnects, ids that move between connections, publish and subscribe
// on one connection, drops by the registry itself. After every step the state
// is checked against the invariants, and every live subscriber's view (the
// publishes and removals it received, applied in order) against the list the
// registry reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "Protocol2TestSupport.h"
#include "Result.h"

namespace corvane::talvenor::server::testing {
namespace {

using ConnectionId = INetworkEndpoint::ConnectionId;

// Stands in for the network endpoint. Events and data are posted to the
// contexts the registry registered, as the real endpoint does; writes and
// drops are recorded per open connection.
class ScriptedEndpoint : public INetworkEndpoint {
 public:
  int SetConnectionEventCallback(ThreadContext* context, ConnectionEventCallback callback) override {
    std::lock_guard<std::mutex> guard(lock_);
    eventContext_ = context;
    eventCallback_ = std::move(callback);
    return 0;
  }
  int SetDataCallback(ThreadContext* context, DataCallback callback) override {
    std::lock_guard<std::mutex> guard(lock_);
    dataContext_ = context;
    dataCallback_ = std::make_shared<DataCallback>(std::move(callback));
    return 0;
  }
  int SetWriteResultCallback(ThreadContext*, WriteResultCallback) override { return 0; }
  int Initialize(uint16_t port, uint32_t maxConnections, bool keepAlive) override {
    std::lock_guard<std::mutex> guard(lock_);
    initializedWith_ = {port, maxConnections, keepAlive};
    return 0;
  }
  int Connect(platform::SocketHandle, uint32_t, uint64_t) override { return Result_NotImplemented; }
  int Connect(uint32_t, uint16_t, uint64_t, uint32_t) override { return Result_NotImplemented; }
  int Disconnect(ConnectionId id) override {
    std::lock_guard<std::mutex> guard(lock_);
    dropped_.push_back(id);
    open_.erase(id);
    return 0;
  }
  int WriteToConnectionsAsync(const std::vector<ConnectionId>& ids, std::unique_ptr<uint8_t[]> data, uint32_t size,
                              uint64_t) override {
    if (!data || size == 0) return Result_InvalidArgument;
    std::lock_guard<std::mutex> guard(lock_);
    ++writeCalls_;
    for (ConnectionId id : ids) {
      if (open_.count(id) != 0) received_[id].insert(received_[id].end(), data.get(), data.get() + size);
    }
    return 0;
  }

  // Test side.
  void Accept(ConnectionId id, uint32_t address = 0x7F000001) {
    std::lock_guard<std::mutex> guard(lock_);
    open_.insert(id);
    received_[id].clear();
    ConnectionInfo info;
    info.connectionId = id;
    info.remoteAddress = address;
    info.address = address;
    PostEvent(Accepted, info);
  }
  void Close(ConnectionId id) {
    std::lock_guard<std::mutex> guard(lock_);
    open_.erase(id);
    ConnectionInfo info;
    info.connectionId = id;
    PostEvent(ClosedGracefully, info);
  }
  void Deliver(ConnectionId id, const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    auto copy = std::make_shared<Bytes>(bytes);
    dataContext_->Post([callback = dataCallback_, id, copy] {
      auto data = std::make_unique<uint8_t[]>(copy->size());
      std::copy(copy->begin(), copy->end(), data.get());
      (*callback)(id, std::move(data), static_cast<uint32_t>(copy->size()));
    });
  }
  bool IsOpen(ConnectionId id) {
    std::lock_guard<std::mutex> guard(lock_);
    return open_.count(id) != 0;
  }
  std::set<ConnectionId> Open() {
    std::lock_guard<std::mutex> guard(lock_);
    return open_;
  }
  Bytes Received(ConnectionId id) {
    std::lock_guard<std::mutex> guard(lock_);
    return received_[id];
  }
  std::vector<ConnectionId> Dropped() {
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
  }
  struct InitializeArguments {
    uint16_t port = 0;
    uint32_t maxConnections = 0;
    bool keepAlive = false;
  };
  InitializeArguments InitializedWith() {
    std::lock_guard<std::mutex> guard(lock_);
    return initializedWith_;
  }

 private:
  void PostEvent(ConnectionEvent event, ConnectionInfo info) {
    eventContext_->Post([callback = eventCallback_, event, info] { callback(event, info); });
  }

  std::mutex lock_;
  RefPtr<ThreadContext> eventContext_;
  ConnectionEventCallback eventCallback_;
  RefPtr<ThreadContext> dataContext_;
  std::shared_ptr<DataCallback> dataCallback_;
  std::set<ConnectionId> open_;
  std::map<ConnectionId, Bytes> received_;
  std::vector<ConnectionId> dropped_;
  uint64_t writeCalls_ = 0;
  InitializeArguments initializedWith_;
};

// Splits what a connection received into whole messages.
std::vector<Bytes> Messages(const Bytes& stream) {
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 10 <= stream.size()) {
    uint32_t size = stream[at + 6] | (stream[at + 7] << 8) | (stream[at + 8] << 16) |
                    (static_cast<uint32_t>(stream[at + 9]) << 24);
    if (at + 10 + size > stream.size()) break;
    out.emplace_back(stream.begin() + at, stream.begin() + at + 10 + size);
    at += 10 + size;
  }
  EXPECT_EQ(at, stream.size()) << "a partial message";
  return out;
}

UUID IdOf(const Bytes& message) {
  UUID id;
  id.Data1 = message[11] | (message[12] << 8) | (message[13] << 16) | (static_cast<uint32_t>(message[14]) << 24);
  id.Data2 = static_cast<uint16_t>(message[15] | (message[16] << 8));
  id.Data3 = static_cast<uint16_t>(message[17] | (message[18] << 8));
  for (int i = 0; i < 8; ++i) id.Data4[i] = message[19 + i];
  return id;
}

class RegistryChurnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigRoot::SetPurgeTimeout("5");
    registry_ = std::make_shared<Registry>(0, [this](INetworkEndpoint** out) {
      endpoint_ = new ScriptedEndpoint;
      *out = endpoint_;
      return 0;
    });
    ASSERT_EQ(registry_->Initialize(), 0);
    bridge_ = std::make_shared<RecordingBridge>();
    registry_->SetCrossCommunicator(bridge_);
  }
  void TearDown() override { registry_.reset(); }

  Registry::StateSnapshot Sync() { return Snapshot(*registry_); }

  void Publish(ConnectionId id, const DisplayInfo& display) { endpoint_->Deliver(id, BuildPublishBytes(display)); }

  // What a subscriber believes exists: publishes add or replace, removals
  // take away; a removal of something it never had is a fault.
  std::map<UUID, Bytes> ViewOf(ConnectionId id) {
    std::map<UUID, Bytes> view;
    for (const Bytes& message : Messages(endpoint_->Received(id))) {
      if (message[10] == DiscoveryInstruction_Publish) {
        view[IdOf(message)] = message;
      } else if (message[10] == DiscoveryInstruction_Remove) {
        EXPECT_EQ(message.size(), kRemoveMessageLength);
        EXPECT_EQ(view.erase(IdOf(message)), 1u) << "removal of " << IdOf(message) << " unknown to " << id;
      } else {
        ADD_FAILURE() << "instruction " << int(message[10]) << " sent to a subscriber";
      }
    }
    return view;
  }

  // Invariants, no ghosts, and every live subscriber in step with the list.
  void Check() {
    auto state = Sync();
    ASSERT_TRUE(HoldsInvariants(state));
    std::set<ConnectionId> open = endpoint_->Open();
    for (ConnectionId subscriber : state.subscribers) {
      EXPECT_EQ(open.count(subscriber), 1u) << "subscriber " << subscriber << " is not connected";
    }
    for (const auto& [id, connection] : state.connections) {
      if (connection.connected) {
        EXPECT_EQ(open.count(id), 1u) << "record " << id << " connected but closed";
      }
    }
    std::vector<DisplayInfo> listed;
    registry_->GetDiscovered(&listed);
    std::map<UUID, Bytes> expected;
    for (const DisplayInfo& display : listed) {
      EXPECT_EQ(expected.count(display.id), 0u) << "listed twice: " << display.id;
      expected[display.id] = BuildPublishBytes(display);
    }
    for (ConnectionId subscriber : state.subscribers) {
      if (open.count(subscriber) == 0) continue;
      EXPECT_EQ(ViewOf(subscriber), expected) << "view of subscriber " << subscriber;
    }
    for (ConnectionId id : open) {
      if (state.subscribers.count(id) == 0) {
        EXPECT_TRUE(endpoint_->Received(id).empty()) << "connection " << id << " never subscribed but got data";
      }
    }
  }

  uint32_t PublisherDisconnects() {
    uint32_t count = 0;
    registry_->GetConnectionCounts(nullptr, nullptr, &count, nullptr);
    return count;
  }
  uint32_t SubscriberDisconnects() {
    uint32_t count = 0;
    registry_->GetConnectionCounts(nullptr, nullptr, nullptr, &count);
    return count;
  }

  std::shared_ptr<Registry> registry_;
  ScriptedEndpoint* endpoint_ = nullptr;  // owned by the registry
  std::shared_ptr<RecordingBridge> bridge_;
};

const UUID kA(0xA, 0, 0, 1);
const UUID kB(0xB, 0, 0, 1);

TEST_F(RegistryChurnTest, ListensOnTheFixedPortWithKeepAlive) {
  auto arguments = endpoint_->InitializedWith();
  EXPECT_EQ(arguments.port, 53202);
  EXPECT_EQ(arguments.maxConnections, 20000u);
  EXPECT_TRUE(arguments.keepAlive);
}

TEST_F(RegistryChurnTest, ReusedSlotOfAClosedPublisherPurgesItFirst) {
  endpoint_->Accept(1);
  Publish(1, Display(kA, "A"));
  endpoint_->Accept(2);
  endpoint_->Deliver(2, kSubscribe);
  endpoint_->Close(1);
  Check();
  EXPECT_EQ(Sync().publishers.size(), 1u);

  // The endpoint hands slot 1 to a new peer before the purge time-out.
  endpoint_->Accept(1);
  Check();
  auto messages = Messages(endpoint_->Received(2));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], BuildRemoveBytes(kA));
  EXPECT_EQ(PublisherDisconnects(), 1u);
  std::vector<DisconnectedDisplay> rows;
  registry_->GetDisconnectedDisplays(&rows);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].name, "A");
  auto state = Sync();
  EXPECT_TRUE(state.publishers.empty());
  EXPECT_TRUE(state.connections.at(1).connected);
  EXPECT_EQ(state.connections.at(1).displayId, UUID());

  // The new peer on slot 1 is nobody's publisher, and a later purge finds
  // nothing to remove.
  PassTimeAndPurge(*registry_, 6000);
  Check();
  EXPECT_EQ(PublisherDisconnects(), 1u);
  auto calls = bridge_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[1].update);
  EXPECT_EQ(calls[1].id, kA);
}

TEST_F(RegistryChurnTest, PublishAndSubscribeOnOneConnection) {
  endpoint_->Accept(1);
  endpoint_->Deliver(1, Cat({BuildPublishBytes(Display(kA, "A")), kSubscribe}));
  endpoint_->Accept(2);
  endpoint_->Deliver(2, kSubscribe);
  Check();
  EXPECT_EQ(Messages(endpoint_->Received(1)).size(), 1u);  // its own display

  // At its close it stops being a subscriber at once and stays a publisher
  // until the purge.
  endpoint_->Close(1);
  Check();
  auto state = Sync();
  EXPECT_EQ(state.subscribers, std::set<ConnectionId>{2});
  EXPECT_EQ(state.publishers, std::set<ConnectionId>{1});
  EXPECT_EQ(SubscriberDisconnects(), 1u);

  PassTimeAndPurge(*registry_, 6000);
  Check();
  PassTimeAndPurge(*registry_, 6000);
  Check();
  EXPECT_EQ(PublisherDisconnects(), 1u);
  EXPECT_TRUE(Sync().connections.count(1) == 0);

  // A new peer on the slot inherits nothing.
  endpoint_->Accept(1);
  Publish(2, Display(kB, "B"));
  Check();
  EXPECT_TRUE(endpoint_->Received(1).empty());
}

TEST_F(RegistryChurnTest, BytesAfterTheRegistryDroppedAConnectionAreIgnored) {
  endpoint_->Accept(1);
  Publish(1, Display(kA, "A"));
  endpoint_->Accept(2);
  endpoint_->Deliver(2, kSubscribe);
  // Garbage, then a subscribe that was already on its way.
  endpoint_->Deliver(1, Text("XXXXXX"));
  endpoint_->Deliver(1, kSubscribe);
  endpoint_->Accept(3);
  endpoint_->Deliver(3, Text("YYYYYY"));
  endpoint_->Deliver(3, kSubscribe);
  Check();
  EXPECT_EQ(endpoint_->Dropped(), (std::vector<ConnectionId>{1, 3}));
  auto state = Sync();
  EXPECT_EQ(state.subscribers, std::set<ConnectionId>{2});
  EXPECT_FALSE(state.connections.at(1).connected);  // a publisher: kept for the purge
  EXPECT_EQ(state.connections.count(3), 0u);        // nothing to keep

  // Reuse of the dropped publisher's slot purges it first.
  endpoint_->Accept(1);
  Check();
  EXPECT_EQ(PublisherDisconnects(), 1u);
  EXPECT_EQ(Messages(endpoint_->Received(2)).back(), BuildRemoveBytes(kA));
}

TEST_F(RegistryChurnTest, ALiveConnectionKeepsItsRecordWhenItsDisplayIsTakenOver) {
  endpoint_->Accept(1);
  endpoint_->Deliver(1, Cat({BuildPublishBytes(Display(kA, "A")), kSubscribe}));
  endpoint_->Accept(2);
  Publish(2, Display(kA, "A again"));
  Check();
  auto state = Sync();
  EXPECT_EQ(state.publishers, std::set<ConnectionId>{2});
  EXPECT_EQ(state.connections.count(1), 1u);  // only its ownership went
  EXPECT_EQ(state.owners.at(kA), 2u);
  EXPECT_EQ(state.subscribers, std::set<ConnectionId>{1});  // still connected, still subscribed

  // The old connection's later publishes are read: it publishes B, and its
  // close leaves B to the purge like any publisher's display.
  Publish(1, Display(kB, "B"));
  Check();
  state = Sync();
  EXPECT_EQ(state.publishers, (std::set<ConnectionId>{1, 2}));
  EXPECT_EQ(state.owners.at(kB), 1u);
  endpoint_->Close(1);
  Check();
  EXPECT_EQ(SubscriberDisconnects(), 1u);
  PassTimeAndPurge(*registry_, 6000);
  Check();
  EXPECT_EQ(PublisherDisconnects(), 1u);
  state = Sync();
  EXPECT_EQ(state.owners.count(kA), 1u);
  EXPECT_EQ(state.owners.count(kB), 0u);
}

TEST_F(RegistryChurnTest, ALiveDisplayTakesItsIdBackWhenTheTakeoverEnds) {
  endpoint_->Accept(1);
  endpoint_->Deliver(1, kSubscribe);
  endpoint_->Accept(2);
  Publish(2, Display(kA, "A"));
  endpoint_->Accept(3);
  Publish(3, Display(kA, "A"));  // takes the id over; nothing changed, nothing sent
  endpoint_->Close(3);
  Check();
  PassTimeAndPurge(*registry_, 6000);
  Check();
  EXPECT_EQ(Messages(endpoint_->Received(1)).back(), BuildRemoveBytes(kA));
  EXPECT_EQ(Sync().owners.count(kA), 0u);

  // The display that stayed connected publishes again and is back.
  Publish(2, Display(kA, "A"));
  Check();
  EXPECT_EQ(Sync().owners.at(kA), 2u);
  EXPECT_EQ(Messages(endpoint_->Received(1)).back(), BuildPublishBytes(Display(kA, "A")));

  // The same when the other connection moves to another id instead.
  endpoint_->Accept(4);
  Publish(4, Display(kA, "A"));
  Publish(4, Display(kB, "B"));
  Check();
  EXPECT_EQ(Sync().owners.count(kA), 0u);
  Publish(2, Display(kA, "A"));
  Check();
  EXPECT_EQ(Sync().owners.at(kA), 2u);
  EXPECT_EQ(Messages(endpoint_->Received(1)).back(), BuildPublishBytes(Display(kA, "A")));
}

TEST_F(RegistryChurnTest, TimerPurgesWithoutBeingAsked) {
  endpoint_->Accept(1);
  Publish(1, Display(kA, "A"));
  endpoint_->Accept(2);
  endpoint_->Deliver(2, kSubscribe);
  endpoint_->Close(1);
  Sync();
  GetDefaultScheduler()->AdvanceTestTimeMs(6000);
  // The purge timer runs a pass about once a second.
  EXPECT_TRUE(WaitUntil([&] { return PublisherDisconnects() == 1; }, 10000));
  Check();
}

// Every display of a site that loses its network at once (a full
// protocol-2 endpoint and then some) keeps its row; only long names churned
// past the byte bound push the oldest rows out.
TEST_F(RegistryChurnTest, AWholeSiteOutageLosesNoDisconnectedRow) {
  const auto outage = [&](uint32_t count, size_t nameBytes, uint32_t tag) {
    ConnectionId slot = 1;
    for (uint32_t done = 0; done < count;) {
      // In batches, so the work queue never holds more than it may.
      const uint32_t end = std::min(count, done + 5000);
      for (uint32_t n = done; n < end; ++n, ++slot) {
        endpoint_->Accept(slot);
        std::string name = std::to_string(n);
        name.resize(nameBytes, 'n');
        Publish(slot, Display(UUID(tag, 1, 2, n), name));
        endpoint_->Close(slot);
      }
      Sync();
      done = end;
    }
    PassTimeAndPurge(*registry_, 6000);
    std::vector<DisconnectedDisplay> rows;
    registry_->GetDisconnectedDisplays(&rows);
    return rows.size();
  };
  EXPECT_EQ(outage(30001, 16, 0x5173), 30001u);
  const size_t longName = 900;  // a publish stays below 1024 bytes
  EXPECT_EQ(outage(10000, longName, 0x10A6), Registry::kMaxDisconnectedNameBytes / longName);
}

// A churn of ids leaves freed records throughout the work thread's heap;
// they go back to the system once a purge pass finds nothing more to do,
// and not while purges go on or after a few.
TEST_F(RegistryChurnTest, PurgedRecordsGiveTheirMemoryBackOnceTheChurnEnds) {
  std::atomic<int> releases{0};
  registry_->SetFreeMemoryRelease([&] { releases.fetch_add(1); });
  ConnectionId slot = 1;
  const auto churn = [&](uint64_t count) {
    for (uint64_t n = 0; n < count; ++n, ++slot) {
      endpoint_->Accept(slot);
      Publish(slot, Display(UUID(0xC4, 1, 2, slot), "churned"));
      endpoint_->Close(slot);
    }
    Sync();
    PassTimeAndPurge(*registry_, 6000);
  };
  churn(Registry::kPurgesBeforeRelease - 1);
  PassTimeAndPurge(*registry_, 0);
  EXPECT_EQ(releases.load(), 0);
  churn(1);
  PassTimeAndPurge(*registry_, 0);
  EXPECT_TRUE(WaitUntil([&] { return releases.load() == 1; }, 10000));
  PassTimeAndPurge(*registry_, 0);
  Sync();
  EXPECT_EQ(releases.load(), 1);
  EXPECT_EQ(PublisherDisconnects(), Registry::kPurgesBeforeRelease);
}

// Random churn over a few slots and ids, checked after every step.
TEST_F(RegistryChurnTest, RandomChurnKeepsEveryInvariant) {
  const std::vector<UUID> ids = {UUID(), kA, kB, UUID(0xC, 0, 0, 1)};
  const std::vector<UUID> foreignIds = {kB, UUID(0xC, 0, 0, 1), UUID(0xD, 0, 0, 1)};
  constexpr ConnectionId kSlots = 5;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TearDown();
    SetUp();
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    for (int step = 0; step < 150; ++step) {
      ConnectionId slot = 1 + pick(kSlots);
      bool open = endpoint_->IsOpen(slot);
      switch (pick(10)) {
        case 0:
        case 1:
          if (open) {
            endpoint_->Close(slot);
          } else {
            endpoint_->Accept(slot, pick(2) ? 0x7F000001 : 0x0A0A0A0A);
          }
          break;
        case 2:
        case 3: {
          if (!open) break;
          DisplayInfo display = Display(ids[pick(ids.size())], "D" + std::to_string(pick(2)), pick(2));
          if (pick(3) == 0) display.ipv4 = 0;
          Publish(slot, display);
          break;
        }
        case 4:
          if (open) endpoint_->Deliver(slot, kSubscribe);
          break;
        case 5:
          if (open) endpoint_->Deliver(slot, Cat({BuildPublishBytes(Display(ids[pick(ids.size())], "S")), kSubscribe}));
          break;
        case 6:
          if (!open) break;
          if (pick(2)) {
            endpoint_->Deliver(slot, Text("XXXXXX"));
          } else {
            endpoint_->Deliver(slot, Cat({Hex("43 52 56 54 44 53 30 00 00 00 01"), Bytes(16, 1), Hex("F0 FF FF FF"),
                                          Bytes(30, 'A')}));
          }
          break;
        case 7:
          registry_->ForwardToSubscribers(Display(foreignIds[pick(foreignIds.size())], "F", pick(2)));
          break;
        case 8:
          registry_->RemoveForeignDisplay(foreignIds[pick(foreignIds.size())]);
          break;
        case 9:
          PassTimeAndPurge(*registry_, pick(2) ? 6000 : 2000);
          break;
      }
      Check();
      if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace corvane::talvenor::server::testing
