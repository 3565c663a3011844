// The registry end to end over real TCP on 127.0.0.1:53202: exact bytes on
// the wire for publish, subscribe, removal and ping, and the registry's
// behaviour as its peers see it.
#include "DiscoveryServicePersistent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DataStream.h"
#include "Logger.h"
#include "Result.h"
#include "Protocol2TestSupport.h"
#include "TestLogCapture.h"
#include "TestLoopbackPeer.h"

namespace corvane::talvenor::server::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A protocol-2 peer on the registry's port; every read has a deadline.
class Peer {
 public:
  // receiveBuffer: a small one makes a peer that stops reading back up fast.
  explicit Peer(int receiveBuffer = 0) { connected_ = socket_.Connect(Registry::kPort, 5000, receiveBuffer); }

  bool connected() const { return connected_; }

  void Send(const Bytes& bytes) {
    if (!socket_.Send(bytes)) ADD_FAILURE() << "send failed";
  }

  void Close() { socket_.Close(); }
  test::LoopbackPeer& Socket() { return socket_; }

  // The next message other than a ping, whole; nullopt on time-out or EOF.
  std::optional<Bytes> Next(int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      Bytes code, size, body;
      if (!socket_.ReceiveExactly(6, &code, MsLeft(deadline))) return std::nullopt;
      if (code == kPing) continue;
      if (code != Text("CRVTDS")) {
        ADD_FAILURE() << "unexpected start code";
        return std::nullopt;
      }
      if (!socket_.ReceiveExactly(4, &size, MsLeft(deadline))) return std::nullopt;
      uint32_t length = size[0] | (size[1] << 8) | (size[2] << 16) | (static_cast<uint32_t>(size[3]) << 24);
      if (!socket_.ReceiveExactly(length, &body, MsLeft(deadline))) return std::nullopt;
      return Cat({code, size, body});
    }
  }

  // True when the server closes the connection within the time-out (pings
  // before the close are skipped).
  bool WaitForEof(int timeoutMs = 5000) { return socket_.WaitClosed(timeoutMs); }

 private:
  static int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  test::LoopbackPeer socket_;
  bool connected_ = false;
};

bool PortIsFree() {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Registry::kPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  bool free = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return free;
}

class RegistryTcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The registry ends the process when it cannot listen; say why instead.
    ASSERT_TRUE(PortIsFree()) << "port 53202 is held by another process";
    ConfigRoot::SetPurgeTimeout("5");
    registry_ = std::make_shared<Registry>(0);
    ASSERT_EQ(registry_->Initialize(), 0);
    bridge_ = std::make_shared<RecordingBridge>();
    registry_->SetCrossCommunicator(bridge_);
  }
  void TearDown() override {
    if (registry_) {
      EXPECT_TRUE(HoldsInvariants(Snapshot(*registry_)));
    }
    registry_.reset();
  }

  Registry::StateSnapshot State() { return Snapshot(*registry_); }

  std::unique_ptr<Peer> NewPeer() {
    auto peer = std::make_unique<Peer>();
    EXPECT_TRUE(peer->connected());
    return peer;
  }
  // A subscriber whose initial list has been read.
  std::unique_ptr<Peer> Subscribe(size_t expectedInitial, std::vector<Bytes>* initial = nullptr) {
    auto peer = NewPeer();
    size_t before = State().subscribers.size();
    peer->Send(kSubscribe);
    EXPECT_TRUE(WaitUntil([&] { return State().subscribers.size() == before + 1; }));
    for (size_t i = 0; i < expectedInitial; ++i) {
      auto message = peer->Next();
      EXPECT_TRUE(message.has_value());
      if (initial && message) initial->push_back(*message);
    }
    return peer;
  }
  bool WaitForPublishers(size_t count) {
    return WaitUntil([&] { return State().publishers.size() == count; });
  }
  // Waits until the connection that published `id` is seen closed.
  bool WaitForClosedPublisher(const UUID& id) {
    return WaitUntil([&] {
      auto state = State();
      auto owner = state.owners.find(id);
      return owner != state.owners.end() && !state.connections.at(owner->second).connected;
    });
  }
  // Sends a foreign display through the registry as a marker: a subscriber's
  // next message being this one proves nothing else was sent before it.
  Bytes Marker(const std::string& name) {
    DisplayInfo marker = Display(UUID(0xFEED0000, 1, 2, markers_++), name);
    registry_->ForwardToSubscribers(marker);
    return BuildPublishBytes(marker);
  }

  std::shared_ptr<Registry> registry_;
  std::shared_ptr<RecordingBridge> bridge_;
  uint64_t markers_ = 1;
};

TEST_F(RegistryTcpTest, PublishSubscribeAndChangesAreByteExact) {
  auto publisher = NewPeer();
  publisher->Send(kP1);
  ASSERT_TRUE(WaitForPublishers(1));

  auto subscriber = NewPeer();
  subscriber->Send(kSubscribe);
  EXPECT_EQ(subscriber->Next(), kP1);

  std::vector<DisplayInfo> discovered;
  registry_->GetDiscovered(&discovered);
  ASSERT_EQ(discovered.size(), 1u);
  EXPECT_EQ(discovered[0], Room1());

  // An identical record sends nothing; one changed field sends the new
  // publish, once, to every subscriber.
  publisher->Send(kP1);
  publisher->Send(P1Changed());
  EXPECT_EQ(subscriber->Next(), P1Changed());
  auto second = Subscribe(0);
  EXPECT_EQ(second->Next(), P1Changed());
  publisher->Send(kP1);
  EXPECT_EQ(subscriber->Next(), kP1);
  EXPECT_EQ(second->Next(), kP1);
  Bytes marker = Marker("marker");
  EXPECT_EQ(subscriber->Next(), marker);
  EXPECT_EQ(second->Next(), marker);

  // The bridge hears of the new display and of each change, not of the
  // unchanged republish.
  auto calls = bridge_->Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (const auto& call : calls) {
    EXPECT_TRUE(call.update);
    EXPECT_EQ(call.direction, CrossDirection_FromProtocol2);
  }
  EXPECT_EQ(calls[1].display.flags, 0x01000800u);

  uint32_t publishers = 0, subscribers = 0, publisherCloses = 9, subscriberCloses = 9;
  registry_->GetConnectionCounts(&publishers, &subscribers, &publisherCloses, &subscriberCloses);
  EXPECT_EQ(publishers, 1u);
  EXPECT_EQ(subscribers, 2u);
  EXPECT_EQ(publisherCloses, 0u);
  EXPECT_EQ(subscriberCloses, 0u);
}

TEST_F(RegistryTcpTest, AddressZeroIsFilledWithThePeerAddress) {
  auto subscriber = Subscribe(0);
  DisplayInfo blank;
  blank.id = kRoomId;
  Bytes p0 = BuildPublishBytes(blank);
  ASSERT_EQ(p0.size(), 45u);
  auto publisher = NewPeer();
  publisher->Send(p0);

  Bytes expected = p0;
  expected[31] = 0x01;
  expected[32] = 0x00;
  expected[33] = 0x00;
  expected[34] = 0x7F;
  EXPECT_EQ(subscriber->Next(), expected);
  std::vector<DisplayInfo> discovered;
  registry_->GetDiscovered(&discovered);
  ASSERT_EQ(discovered.size(), 1u);
  EXPECT_EQ(discovered[0].ipv4, 0x7F000001u);
}

TEST_F(RegistryTcpTest, NewSubscriberGetsPublishersThenForeignDisplays) {
  const UUID foreignLow(0x00000001, 0, 0, 1);
  const UUID foreignHigh(0xF0000000, 0, 0, 1);
  auto first = NewPeer();
  first->Send(kP1);
  ASSERT_TRUE(WaitForPublishers(1));
  DisplayInfo other = Display(UUID(0x10000000, 0, 0, 7), "Other");
  auto second = NewPeer();
  second->Send(BuildPublishBytes(other));
  ASSERT_TRUE(WaitForPublishers(2));
  registry_->ForwardToSubscribers(Display(foreignHigh, "High"));
  registry_->ForwardToSubscribers(Display(foreignLow, "Low"));

  // Publishers in connection order, then foreign displays in id order, each
  // as the registry rebuilt it.
  std::vector<Bytes> initial;
  auto subscriber = Subscribe(4, &initial);
  ASSERT_EQ(initial.size(), 4u);
  EXPECT_EQ(initial[0], kP1);
  EXPECT_EQ(initial[1], BuildPublishBytes(other));
  EXPECT_EQ(initial[2], BuildPublishBytes(Display(foreignLow, "Low")));
  EXPECT_EQ(initial[3], BuildPublishBytes(Display(foreignHigh, "High")));

  // Every forward reaches subscribers, changed or not.
  registry_->ForwardToSubscribers(Display(foreignLow, "Low"));
  EXPECT_EQ(subscriber->Next(), BuildPublishBytes(Display(foreignLow, "Low")));

  // A foreign display's removal goes to every subscriber, once.
  registry_->RemoveForeignDisplay(foreignLow);
  registry_->RemoveForeignDisplay(foreignLow);
  EXPECT_EQ(subscriber->Next(), BuildRemoveBytes(foreignLow));

  // A protocol-2 publisher taking over a foreign id: no removal, and later
  // forwards of that id are ignored.
  DisplayInfo takeover = Display(foreignHigh, "Mine");
  second->Send(BuildPublishBytes(takeover));
  EXPECT_EQ(subscriber->Next(), BuildRemoveBytes(other.id));  // the second connection moved ids
  EXPECT_EQ(subscriber->Next(), BuildPublishBytes(takeover));
  registry_->ForwardToSubscribers(Display(foreignHigh, "High"));
  registry_->RemoveForeignDisplay(foreignHigh);
  Bytes marker = Marker("marker");
  EXPECT_EQ(subscriber->Next(), marker);
  std::vector<DisplayInfo> discovered;
  registry_->GetDiscovered(&discovered);
  ASSERT_EQ(discovered.size(), 3u);
  EXPECT_EQ(discovered[1].name, "Mine");
}

TEST_F(RegistryTcpTest, FramingOverTcp) {
  auto publisher = NewPeer();
  publisher->Send(kP1);
  ASSERT_TRUE(WaitForPublishers(1));

  // Pings and a subscribe, one byte per write.
  auto slow = NewPeer();
  for (uint8_t byte : Cat({kPing, kPing, kPing, kSubscribe})) slow->Send(Bytes{byte});
  EXPECT_EQ(slow->Next(), kP1);

  // A rejected size: the next "CRVTDS" is the start code.
  auto oversized = NewPeer();
  oversized->Send(Cat({Hex("43 52 56 54 44 53 00 04 00 00"), kSubscribe}));
  EXPECT_EQ(oversized->Next(), kP1);

  // The largest accepted size.
  Bytes filler;
  while (filler.size() < 1022) filler.insert(filler.end(), kPing.begin(), kPing.end());
  filler.resize(1022);
  auto largest = NewPeer();
  largest->Send(Cat({Hex("43 52 56 54 44 53 FF 03 00 00 02"), filler, Text("VPNG")}));
  EXPECT_EQ(largest->Next(), kP1);

  // A publish and a subscribe in one write: both are handled at once, and a
  // publisher that subscribes gets its own display back.
  auto both = NewPeer();
  DisplayInfo own = Display(UUID(0x20000000, 0, 0, 1), "Own");
  both->Send(Cat({BuildPublishBytes(own), kSubscribe}));
  EXPECT_EQ(both->Next(), kP1);
  EXPECT_EQ(both->Next(), BuildPublishBytes(own));

  // Anything else where a start code belongs ends the connection, and the
  // registry forgets it at once.
  size_t before = State().connections.size();
  auto garbage = NewPeer();
  garbage->Send(Text("XXXXXX"));
  EXPECT_TRUE(garbage->WaitForEof());
  EXPECT_TRUE(WaitUntil([&] { return State().connections.size() == before; }));
  EXPECT_EQ(State().subscribers.size(), 4u);

  // A garbage-sending subscriber is counted as a closed subscriber.
  uint32_t subscriberCloses = 0;
  auto flaky = Subscribe(2);
  flaky->Send(Text("XXXXXX"));
  EXPECT_TRUE(flaky->WaitForEof());
  EXPECT_TRUE(WaitUntil([&] {
    registry_->GetConnectionCounts(nullptr, nullptr, nullptr, &subscriberCloses);
    return subscriberCloses == 1;
  }));
  EXPECT_EQ(State().subscribers.size(), 4u);
}

TEST_F(RegistryTcpTest, HostileNameLengthDoesNotPoisonTheRegistry) {
  auto subscriber = Subscribe(0);
  auto hostile = NewPeer();
  hostile->Send(Cat({Hex("43 52 56 54 44 53 32 00 00 00 01"), Bytes(kP1.begin() + 11, kP1.begin() + 27),
                     Hex("F0 FF FF FF"), Bytes(30, 'A')}));
  // A later connection's subscribe is handled after the hostile bytes.
  auto witness = Subscribe(0);
  auto state = State();
  EXPECT_TRUE(state.publishers.empty());
  EXPECT_TRUE(state.owners.empty());

  // The same connection can still publish, from a fresh start code.
  hostile->Send(kP1);
  EXPECT_EQ(subscriber->Next(), kP1);
  EXPECT_EQ(witness->Next(), kP1);
  ASSERT_EQ(bridge_->Calls().size(), 1u);
}

// A record whose publish would need a size field of 1024 or more reaches no
// subscriber, whether bridged from protocol 1 or sent by a protocol-2
// publisher whose strings overrun the size it announced.
TEST_F(RegistryTcpTest, AnOversizedRecordIsNotBridged) {
  test::ScopedCapture log;
  auto subscriber = Subscribe(0);
  DisplayInfo big = Display(UUID(0x0B160000, 0, 0, 1), "Big");
  big.appData.assign(2000, 'a');
  registry_->ForwardToSubscribers(big);
  registry_->ForwardToSubscribers(big);
  DisplayInfo overrun = Display(UUID(0x0B160000, 0, 0, 2), std::string(1100, 'N'));
  RefPtr<IDataStream> record;
  CreateDataStream(record.Receive());
  overrun.Serialize(record.Get());
  uint32_t size = 0;
  record->GetSize(&size);
  Bytes recordBytes(size);
  record->Seek(0);
  record->Read(recordBytes.data(), size);
  auto publisher = NewPeer();
  publisher->Send(Cat({Text("CRVTDS"), Hex("28 00 00 00 01"), recordBytes}));

  // A fitting record still goes both ways, and is the next thing seen.
  publisher->Send(kP1);
  EXPECT_EQ(subscriber->Next(), kP1);
  Bytes marker = Marker("marker");
  EXPECT_EQ(subscriber->Next(), marker);
  ASSERT_EQ(bridge_->Calls().size(), 1u);
  auto warnings = [&](const UUID& id) {
    size_t n = 0;
    for (const auto& line : log->Lines()) n += line.levelFlags == Log_Warning && line.message.find(id.ToString()) != std::string::npos;
    return n;
  };
  EXPECT_EQ(1u, warnings(big.id));
  EXPECT_EQ(1u, warnings(overrun.id));
  EXPECT_TRUE(BuildPublishBytes(big).empty());
}

TEST_F(RegistryTcpTest, PurgeAfterTheConfiguredTimeout) {
  auto subscriber = Subscribe(0);
  for (int cycle = 1; cycle <= 2; ++cycle) {
    auto publisher = NewPeer();
    publisher->Send(kP1);
    EXPECT_EQ(subscriber->Next(), kP1);
    publisher->Close();
    ASSERT_TRUE(WaitForClosedPublisher(kRoomId));

    // Still listed, and still sent to new subscribers, before the time-out.
    PassTimeAndPurge(*registry_, 4000);
    auto late = Subscribe(1);
    std::vector<DisplayInfo> discovered;
    registry_->GetDiscovered(&discovered);
    EXPECT_EQ(discovered.size(), 1u);

    // Past it: one removal to every subscriber, and never a second.
    PassTimeAndPurge(*registry_, 2000);
    EXPECT_EQ(subscriber->Next(), kR1);
    EXPECT_EQ(late->Next(), kR1);
    PassTimeAndPurge(*registry_, 2000);
    Bytes marker = Marker("after purge");
    EXPECT_EQ(subscriber->Next(), marker);
    registry_->RemoveForeignDisplay(UUID(0xFEED0000, 1, 2, markers_ - 1));
    EXPECT_EQ(subscriber->Next(), BuildRemoveBytes(UUID(0xFEED0000, 1, 2, markers_ - 1)));

    uint32_t publishers = 9, subscribers = 0, publisherCloses = 0;
    registry_->GetConnectionCounts(&publishers, &subscribers, &publisherCloses, nullptr);
    EXPECT_EQ(publishers, 0u);
    EXPECT_EQ(publisherCloses, static_cast<uint32_t>(cycle));
    std::vector<DisconnectedDisplay> rows;
    EXPECT_EQ(registry_->GetDisconnectedDisplays(&rows), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "Room1");
    EXPECT_EQ(rows[0].disconnectCount, static_cast<uint32_t>(cycle));
    EXPECT_TRUE(HoldsInvariants(State()));
  }
  auto calls = bridge_->Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_FALSE(calls[1].update);
  EXPECT_EQ(calls[1].id, kRoomId);
}

// Readers keep what they built from the list while the version stands, so
// it must move with every change of the list and only then.
TEST_F(RegistryTcpTest, ListVersionMovesWithEveryChangeOfTheList) {
  std::vector<DisplayInfo> discovered;
  uint64_t seen = 99;
  ASSERT_TRUE(registry_->GetDiscovered(&discovered, &seen));
  EXPECT_EQ(seen, registry_->GetListVersion());
  auto subscriber = Subscribe(0);
  EXPECT_EQ(registry_->GetListVersion(), seen);

  auto publisher = NewPeer();
  publisher->Send(kP1);
  EXPECT_EQ(subscriber->Next(), kP1);
  uint64_t published = registry_->GetListVersion();
  EXPECT_GT(published, seen);
  ASSERT_TRUE(registry_->GetDiscovered(&discovered, &seen));
  EXPECT_EQ(seen, published);
  ASSERT_EQ(discovered.size(), 1u);

  // An identical republish changes nothing; the changed record read after
  // it on the same connection is one change.
  publisher->Send(kP1);
  publisher->Send(P1Changed());
  EXPECT_EQ(subscriber->Next(), P1Changed());
  EXPECT_EQ(registry_->GetListVersion(), published + 1);
  uint64_t before = registry_->GetListVersion();
  Bytes marker = Marker("first");
  EXPECT_EQ(subscriber->Next(), marker);
  EXPECT_GT(registry_->GetListVersion(), before);

  registry_->RemoveForeignDisplay(UUID(0xFEED0000, 1, 2, markers_ - 1));
  EXPECT_EQ(subscriber->Next(), BuildRemoveBytes(UUID(0xFEED0000, 1, 2, markers_ - 1)));
  before = registry_->GetListVersion();
  // Unknown foreign ids are no change.
  registry_->RemoveForeignDisplay(UUID(0xFEED0000, 1, 2, 777));
  marker = Marker("second");
  EXPECT_EQ(subscriber->Next(), marker);
  EXPECT_EQ(registry_->GetListVersion(), before + 1);

  // A closed publisher stays listed until its purge, which is a change.
  before = registry_->GetListVersion();
  publisher->Close();
  ASSERT_TRUE(WaitForClosedPublisher(kRoomId));
  PassTimeAndPurge(*registry_, 4000);
  EXPECT_EQ(registry_->GetListVersion(), before);
  PassTimeAndPurge(*registry_, 2000);
  EXPECT_EQ(subscriber->Next(), kR1);
  EXPECT_GT(registry_->GetListVersion(), before);
  ASSERT_TRUE(registry_->GetDiscovered(&discovered, &seen));
  EXPECT_EQ(seen, registry_->GetListVersion());
  EXPECT_EQ(discovered.size(), 1u);  // the second marker
}

// Churned ids cannot grow the record of purged displays: past its bound the
// display purged longest ago goes, and a display purged again is new.
TEST_F(RegistryTcpTest, TheDisconnectedRecordStaysBounded) {
  registry_->SetDisconnectedDisplayLimit(2);
  const UUID a(0xA, 1, 2, 3), b(0xB, 1, 2, 3), c(0xC, 1, 2, 3);
  auto churn = [&](const UUID& id, const std::string& name) {
    auto publisher = NewPeer();
    publisher->Send(BuildPublishBytes(Display(id, name)));
    ASSERT_TRUE(WaitUntil([&] { return State().owners.count(id) == 1; }));
    publisher->Close();
    ASSERT_TRUE(WaitForClosedPublisher(id));
    PassTimeAndPurge(*registry_, 6000);
    ASSERT_TRUE(WaitUntil([&] { return State().owners.count(id) == 0; }));
  };
  auto rows = [&] {
    std::vector<DisconnectedDisplay> out;
    uint64_t version = 0;
    EXPECT_EQ(registry_->GetDisconnectedDisplays(&out, &version), 0);
    EXPECT_EQ(version, registry_->GetDisconnectedVersion());
    std::string text;
    for (const auto& row : out) text += row.name + ":" + std::to_string(row.disconnectCount) + " ";
    return text;
  };
  churn(a, "A");
  churn(b, "B");
  churn(b, "B2");
  EXPECT_EQ(rows(), "A:1 B2:2 ");
  const uint64_t before = registry_->GetDisconnectedVersion();
  churn(c, "C");
  EXPECT_GT(registry_->GetDisconnectedVersion(), before);
  EXPECT_EQ(rows(), "B2:2 C:1 ");
  churn(a, "A");
  EXPECT_EQ(rows(), "A:1 C:1 ");
  uint32_t purged = 0;
  registry_->GetConnectionCounts(nullptr, nullptr, &purged, nullptr);
  EXPECT_EQ(purged, 5u);
}

TEST_F(RegistryTcpTest, LargeTimeoutsDoNotWrapIntoAnEarlyPurge) {
  // 4294968 s times 1000 is 704 ms in 32 bits.
  ConfigRoot::SetPurgeTimeout("4294968");
  auto publisher = NewPeer();
  publisher->Send(kP1);
  ASSERT_TRUE(WaitForPublishers(1));
  publisher->Close();
  ASSERT_TRUE(WaitForClosedPublisher(kRoomId));
  PassTimeAndPurge(*registry_, 10000);
  EXPECT_EQ(State().publishers.size(), 1u);

  // The value is read afresh on every pass; a bad one means the default.
  ConfigRoot::SetPurgeTimeout("soon");
  PassTimeAndPurge(*registry_, 1000);
  EXPECT_EQ(State().publishers.size(), 1u);
  ConfigRoot::SetPurgeTimeout("0x0A");
  PassTimeAndPurge(*registry_, 1000);
  EXPECT_EQ(State().publishers.size(), 0u);
}

TEST_F(RegistryTcpTest, ReconnectingPublisherTakesOverWithoutRemoval) {
  auto subscriber = Subscribe(0);
  auto first = NewPeer();
  first->Send(kP1);
  EXPECT_EQ(subscriber->Next(), kP1);
  first->Close();
  ASSERT_TRUE(WaitForClosedPublisher(kRoomId));

  auto again = NewPeer();
  again->Send(kP1);
  EXPECT_EQ(subscriber->Next(), kP1);
  auto state = State();
  ASSERT_EQ(state.publishers.size(), 1u);
  EXPECT_TRUE(state.connections.at(*state.publishers.begin()).connected);

  PassTimeAndPurge(*registry_, 6000);
  Bytes marker = Marker("marker");
  EXPECT_EQ(subscriber->Next(), marker);
  uint32_t publisherCloses = 9;
  registry_->GetConnectionCounts(nullptr, nullptr, &publisherCloses, nullptr);
  EXPECT_EQ(publisherCloses, 0u);
}

TEST_F(RegistryTcpTest, SubscriberCloseIsCountedAtOnce) {
  auto first = Subscribe(0);
  auto second = Subscribe(0);
  second->Close();
  uint32_t subscribers = 0, subscriberCloses = 0;
  EXPECT_TRUE(WaitUntil([&] {
    registry_->GetConnectionCounts(nullptr, &subscribers, nullptr, &subscriberCloses);
    return subscribers == 1 && subscriberCloses == 1;
  }));
  // A second subscribe on one connection stays one subscriber and gets the
  // whole list again.
  auto publisher = NewPeer();
  publisher->Send(kP1);
  EXPECT_EQ(first->Next(), kP1);
  first->Send(kSubscribe);
  EXPECT_EQ(first->Next(), kP1);
  registry_->GetConnectionCounts(nullptr, &subscribers, nullptr, nullptr);
  EXPECT_EQ(subscribers, 1u);
}

TEST_F(RegistryTcpTest, NilIdPublisherSurvivesSubscriberClosesAndIsPurgedOnce) {
  auto subscriber = Subscribe(0);
  DisplayInfo nil = Display(UUID(), "Nil");
  auto publisher = NewPeer();
  publisher->Send(BuildPublishBytes(nil));
  EXPECT_EQ(subscriber->Next(), BuildPublishBytes(nil));
  auto passing = Subscribe(1);
  passing->Close();
  EXPECT_TRUE(WaitUntil([&] { return State().subscribers.size() == 1; }));
  EXPECT_EQ(State().owners.count(UUID()), 1u);

  publisher->Close();
  ASSERT_TRUE(WaitForClosedPublisher(UUID()));
  PassTimeAndPurge(*registry_, 6000);
  EXPECT_EQ(subscriber->Next(), BuildRemoveBytes(UUID()));
  PassTimeAndPurge(*registry_, 2000);
  PassTimeAndPurge(*registry_, 2000);
  Bytes marker = Marker("marker");
  EXPECT_EQ(subscriber->Next(), marker);
  uint32_t publisherCloses = 0;
  registry_->GetConnectionCounts(nullptr, nullptr, &publisherCloses, nullptr);
  EXPECT_EQ(publisherCloses, 1u);
}

TEST_F(RegistryTcpTest, ConnectionThatChangesIdReleasesTheOldOne) {
  auto subscriber = Subscribe(0);
  auto publisher = NewPeer();
  DisplayInfo a = Display(UUID(0xA, 0, 0, 1), "A");
  DisplayInfo b = Display(UUID(0xB, 0, 0, 1), "B");
  publisher->Send(BuildPublishBytes(a));
  EXPECT_EQ(subscriber->Next(), BuildPublishBytes(a));
  publisher->Send(BuildPublishBytes(b));
  EXPECT_EQ(subscriber->Next(), BuildRemoveBytes(a.id));
  EXPECT_EQ(subscriber->Next(), BuildPublishBytes(b));
  auto state = State();
  EXPECT_EQ(state.owners.count(a.id), 0u);
  EXPECT_EQ(state.owners.count(b.id), 1u);
  auto calls = bridge_->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[0].update);
  EXPECT_FALSE(calls[1].update);
  EXPECT_EQ(calls[1].id, a.id);
  EXPECT_TRUE(calls[2].update);
  EXPECT_EQ(calls[2].id, b.id);

  // Forwards of the released id reach subscribers again.
  registry_->ForwardToSubscribers(a);
  EXPECT_EQ(subscriber->Next(), BuildPublishBytes(a));
}

TEST_F(RegistryTcpTest, FanOutReachesEverySubscriberOnceEvenWithAStalledOne) {
  constexpr int kSubscribers = 100;
  constexpr int kChanges = 200;
  // The subscribers are read one after another, so each one's share must fit
  // the receive window its socket opens with (about 64 KiB; 43 KiB on older
  // kernels). A peer whose window closes and then reopens by less than one
  // segment (64 KiB over loopback) is served only at Linux's next
  // zero-window probe, which backs off while the peer is not read: seconds,
  // whatever the service does.
  constexpr size_t kShareBytes = 40 * 1024;
  // A subscriber that never reads, with a small receive buffer, so that its
  // queue backs up.
  Peer stalled(2048);
  ASSERT_TRUE(stalled.connected());
  stalled.Send(kSubscribe);
  std::vector<std::unique_ptr<Peer>> subscribers;
  for (int i = 0; i < kSubscribers; ++i) subscribers.push_back(NewPeer());
  for (auto& peer : subscribers) peer->Send(kSubscribe);
  ASSERT_TRUE(WaitUntil([&] { return State().subscribers.size() == kSubscribers + 1; }));

  auto publisher = NewPeer();
  DisplayInfo display = Display(UUID(0xC, 0, 0, 1), "Fan");
  display.appData = std::string(140, 'x');
  std::vector<Bytes> sent;
  size_t share = 0;
  for (int i = 0; i < kChanges; ++i) {
    display.flags = static_cast<uint32_t>(i);
    sent.push_back(BuildPublishBytes(display));
    share += sent.back().size();
    publisher->Send(sent.back());
  }
  ASSERT_LE(share, kShareBytes);
  for (auto& peer : subscribers) {
    for (int i = 0; i < kChanges; ++i) ASSERT_EQ(peer->Next(), sent[i]);
  }
  Bytes marker = Marker("marker");
  for (auto& peer : subscribers) EXPECT_EQ(peer->Next(), marker);
}

// How much the peak resident memory may grow during a flood. Under
// AddressSanitizer freed blocks sit in its quarantine (256 MiB by default),
// so there the figure says nothing about the service's own bound.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kFloodGrowthKiB = 512 * 1024;
#else
constexpr long kFloodGrowthKiB = 128 * 1024;
#endif

// The process's peak resident memory, in KiB.
long PeakResidentKiB() {
  long peak = -1;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "VmHWM: %ld kB", &peak) == 1) break;
    }
    std::fclose(f);
  }
  return peak;
}

// A stream of one message over and over.
std::function<void(size_t, uint8_t*, size_t)> Repeating(const Bytes& message) {
  return [message](size_t offset, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = message[(offset + i) % message.size()];
  };
}

TEST_F(RegistryTcpTest, SubscribeFloodFromAPeerThatNeverReadsCostsBoundedMemoryAndStallsNoOne) {
  constexpr int kDisplays = 100;
  for (int i = 0; i < kDisplays; ++i) {
    DisplayInfo display = Display(UUID(0xF00D, 0, 0, i + 1), "Foreign " + std::to_string(i));
    display.appData = std::string(60, 'a');
    registry_->ForwardToSubscribers(display);
  }
  auto subscriber = Subscribe(kDisplays);
  test::ScopedCapture log;
  long peakBefore = PeakResidentKiB();

  // About 48000 subscribes, each worth a 10 KB list, from a peer that reads
  // nothing: once the answers it cannot be reading pass the send-queue
  // bound it is closed, and reading it never runs ahead of the answering.
  Peer attacker(4096);
  ASSERT_TRUE(attacker.connected());
  attacker.Socket().SendUntilStalled(Repeating(kSubscribe), 0, 512 * 1024, 300, 10000);
  EXPECT_TRUE(attacker.WaitForEof(10000));
  EXPECT_TRUE(log->Has(Log_Severe, "Send queue of connection"));

  auto publisher = NewPeer();
  publisher->Send(kP1);
  EXPECT_EQ(subscriber->Next(2000), kP1);
  auto late = Subscribe(kDisplays + 1);
  EXPECT_LT(PeakResidentKiB() - peakBefore, kFloodGrowthKiB) << "KiB";
}

TEST_F(RegistryTcpTest, PublishFloodIsReadOnlyAsFastAsItIsProcessedAndLosesNoClose) {
  constexpr int kFlooders = 4;
  const UUID floodId(0xF100D, 0, 0, 1);
  const Bytes flood = BuildPublishBytes(Display(floodId, "Flood"));
  auto subscriber = Subscribe(0);
  long peakBefore = PeakResidentKiB();

  std::vector<std::unique_ptr<Peer>> flooders;
  for (int i = 0; i < kFlooders; ++i) flooders.push_back(NewPeer());
  std::vector<std::thread> threads;
  for (auto& flooder : flooders) {
    test::LoopbackPeer* socket = &flooder->Socket();
    threads.emplace_back([socket, &flood] { socket->SendUntilStalled(Repeating(flood), 0, 8u << 20, 500, 8000); });
  }
  // Others are served while the floods run. The flooded display reaches
  // the subscriber at most once per flooder (each one's first publish is a
  // change for its connection), never once per message.
  ASSERT_TRUE(WaitForPublishers(1));
  auto publisher = NewPeer();
  auto sent = Clock::now();
  publisher->Send(kP1);
  int floods = 0;
  std::optional<Bytes> next;
  while ((next = subscriber->Next(5000)) && *next == flood) ++floods;
  EXPECT_EQ(next, kP1);
  // Served while the floods still run (they last seconds), not after them.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count(), 3000);
  for (auto& thread : threads) thread.join();
  EXPECT_LT(PeakResidentKiB() - peakBefore, kFloodGrowthKiB) << "KiB";

  // Every close is seen, so the flooded display is purged and removed once.
  for (auto& flooder : flooders) flooder->Close();
  ASSERT_TRUE(WaitUntil([&] {
    auto state = State();
    for (const auto& [id, connection] : state.connections) {
      if (connection.displayId == floodId && connection.connected) return false;
    }
    return true;
  }, 20000));
  PassTimeAndPurge(*registry_, 6000);
  while ((next = subscriber->Next()) && *next == flood) ++floods;
  EXPECT_EQ(next, BuildRemoveBytes(floodId));
  EXPECT_LE(floods, kFlooders);
  Bytes marker = Marker("marker");
  EXPECT_EQ(subscriber->Next(), marker);
}

TEST_F(RegistryTcpTest, SecondInitializeIsRefused) {
  EXPECT_EQ(registry_->Initialize(), corvane::Result_AlreadyInitialized);
  EXPECT_TRUE(Snapshot(*registry_).initialized);
}

// Listens on the registry's port as another program would; -1 when it is
// taken.
int HoldRegistryPort() {
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Registry::kPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  int one = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(holder, 1) != 0) {
    close(holder);
    return -1;
  }
  return holder;
}

// The registry reports a port that stays busy instead of ending the process;
// its tries and their pause are the caller's. The line names its source the
// way the service's own log sites do: tree-relative, without extension.
TEST(RegistryPortTest, PortThatStaysBusyIsReportedAfterTheGivenTries) {
  int holder = HoldRegistryPort();
  ASSERT_GE(holder, 0);

  test::ScopedCapture log;
  int factoryCalls = 0;
  auto registry = std::make_shared<Registry>(
      0,
      [&](INetworkEndpoint** out) {
        ++factoryCalls;
        return CreateNetworkEndpoint(out);
      },
      Registry::StartRetries{3, 20});
  auto started = Clock::now();
  EXPECT_EQ(Registry::kResultPortUnavailable, registry->Initialize());
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  EXPECT_GE(elapsed, 60);   // three failures, each followed by its pause
  EXPECT_LT(elapsed, 4000);
  EXPECT_EQ(factoryCalls, 1);
  EXPECT_FALSE(Snapshot(*registry).initialized);
  bool found = false;
  for (const auto& line : log->Lines()) {
    if (line.message == "Unable to initialize TDS, exiting") {
      found = true;
      EXPECT_EQ(line.levelFlags, Log_Severe);
      EXPECT_EQ(line.file, "DiscoveryService/Src/DiscoveryServicePersistent");
    }
  }
  EXPECT_TRUE(found);
  registry.reset();
  close(holder);
}

TEST(RegistryPortTest, CancelStartEndsThePortRetriesAtOnce) {
  int holder = HoldRegistryPort();
  ASSERT_GE(holder, 0);

  auto registry = std::make_shared<Registry>(0, Registry::EndpointFactory(), Registry::StartRetries{100, 1000});
  std::atomic<int> result{1};
  std::thread starter([&] { result = registry->Initialize(); });
  auto cancelled = Clock::now();
  registry->CancelStart();
  EXPECT_TRUE(WaitUntil([&] { return result.load() != 1; }, 10000));
  starter.join();
  // The retries alone would take 100 s.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - cancelled).count(), 10000);
  EXPECT_EQ(result.load(), Registry::kResultPortUnavailable);
  EXPECT_FALSE(Snapshot(*registry).initialized);
  registry.reset();
  close(holder);
}

}  // namespace
}  // namespace corvane::talvenor::server::testing
