// Protocol 1 end to end: the service object runs in this process on
// 53200/53201/53202; a protocol-1 client calls it by RPC over its own
// transport and takes the enumeration callbacks on its own 53201 connection,
// while protocol-2 peers publish and subscribe on 53202. Every request and
// callback is pinned byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "DiscoveryService.h"
#include "DiscoveryServiceMain.h"
#include "Protocol1TestSupport.h"
#include "Protocol2TestSupport.h"
#include "TestLogCapture.h"
#include "TestLoopbackPeer.h"
#include "TransportAdapter.h"

namespace corvane::talvenor::server::testing {
namespace {

using test::LoopbackPeer;
using test::ScopedCapture;

const UUID kDisplayA("2783ffd0-7ec7-11e2-9e96-0800200c9a66");
const Bytes kStubIdWire = Hex("D0 4D A1 A0 AD DA E3 11 9C 1A 08 00 20 0C 9A 66");
const Bytes kExtendedHeader = Cat({Text("70c61d80-58b3-4b56-822a-35ed79be5840"), Hex("01 00")});
// secondaryName "", name "A", 10.0.0.1, port 53202, flags 0.
const Bytes kRecordA = Cat({Hex("D0 FF 83 27 C7 7E E2 11 9E 96 08 00 20 0C 9A 66"), Hex("00 00 00 00"),
                            Hex("01 00 00 00 41"), Hex("01 00 00 0A"), Hex("D2 CF"), Hex("00 00 00 00")});

// The service object, started on its worker as the framework starts it.
class ServiceUnderTest {
 public:
  ServiceUnderTest() : main_(new TalvenorDiscoveryServiceMain(), false) {
    main_->Start(kInfinite);
    started_ = WaitUntil([&] { return log_->Contains("Talvenor Discovery Service Started"); }, 20000);
  }
  ~ServiceUnderTest() {
    main_->OnServiceStop();
    main_.Reset();
  }
  bool Started() const { return started_; }
  TalvenorDiscoveryServiceMain* operator->() const { return main_.Get(); }
  test::CapturingStore* Log() { return log_.operator->(); }

 private:
  ScopedCapture log_;
  RefPtr<TalvenorDiscoveryServiceMain> main_;
  bool started_ = false;
};

// Reads a protocol-2 subscriber's stream until it holds needle.
bool ReceiveUntil(LoopbackPeer& peer, Bytes* seen, const Bytes& needle, int timeoutMs = 10000) {
  return WaitUntil(
      [&] {
        Bytes more = peer.ReceiveFor(20);
        seen->insert(seen->end(), more.begin(), more.end());
        return Contains(*seen, needle);
      },
      timeoutMs);
}

class Protocol1Test : public ::testing::Test {
 protected:
  void SetUp() override { ConfigRoot::Get().Write("PublisherPurgeTimeout=1\n"); }
  void TearDown() override { GetDefaultScheduler()->SetTestTimeOffsetMs(0); }
  test::TempDataRoot data_;
};

TEST_F(Protocol1Test, ClientsOfBothProtocolsSeeEveryDisplay) {
  ServiceUnderTest service;
  ASSERT_TRUE(service.Started());
  // The fixed ports are shared with every program on the machine.
  ASSERT_FALSE(service.Log()->Contains("Unable to initialize transport")) << "53200 or 53201 is taken";
  LoopbackPeer subscriber;
  ASSERT_TRUE(subscriber.Connect(kProtocol2Port));
  ASSERT_TRUE(subscriber.Send(kSubscribe));
  Protocol1Client client;
  ASSERT_TRUE(client.Connect());
  CallbackRecorder& callbacks = *client.recorder;
  uint64_t stamp = 0;

  // Before AddNotify an enumeration fails and sends nothing; a short id
  // registers nothing.
  EXPECT_EQ(client.Enumerate(false, 0, &stamp), Result_Fail);
  EXPECT_EQ(client.Call(0, Bytes(8, 0x11)), Result_InvalidArgument);
  EXPECT_EQ(client.Enumerate(false, 0, &stamp), Result_Fail);
  ASSERT_EQ(client.Call(0, Wire(client.callbackConnection)), 0);
  // The empty list: count 0 and last, no header even when extended.
  ASSERT_EQ(client.Enumerate(true, 0, &stamp), 0);
  ASSERT_TRUE(WaitUntil([&] { return callbacks.Count() == 1; }, 5000));
  EXPECT_EQ(callbacks.Batches()[0], Hex("00 00 00 00 01"));
  EXPECT_EQ(callbacks.Methods()[0], 0);

  // UpdateDisplay, byte for byte; the display reaches protocol 2 at once.
  ASSERT_EQ(client.Call(4, UpdateRequest(kDisplayA, "A", "", 0x0A000001, 53202, 0, "")), 0);
  DisplayInfo a = Display(kDisplayA, "A");
  a.port = 53202;
  Bytes seen;
  EXPECT_TRUE(ReceiveUntil(subscriber, &seen, BuildPublishBytes(a)));
  ASSERT_EQ(client.Enumerate(false, 0, &stamp), 0);
  EXPECT_NE(stamp, 0u);
  ASSERT_TRUE(WaitUntil([&] { return callbacks.Count() == 2; }, 5000));
  EXPECT_EQ(callbacks.Batches()[1], Cat({U32(1), kRecordA, {0x01}}));
  // The stamp the client holds: nothing sent. The next request's callback is
  // the next to arrive, so none came in between.
  uint64_t same = 0;
  ASSERT_EQ(client.Enumerate(false, stamp, &same), 0);
  EXPECT_EQ(same, stamp);
  ASSERT_EQ(client.Enumerate(true, stamp - 1, &same), 0);
  ASSERT_TRUE(WaitUntil([&] { return callbacks.Count() == 3; }, 5000));
  EXPECT_EQ(callbacks.Batches()[2], Cat({kExtendedHeader, U32(1), kRecordA, Str(""), {0x01}}));
  // An identical update keeps the stamp.
  ASSERT_EQ(client.Call(4, UpdateRequest(kDisplayA, "A", "", 0x0A000001, 53202, 0, "")), 0);
  EXPECT_EQ(service->GetProtocol1Service()->GetChangeStamp(), stamp);

  // Methods without an operation, and cut requests: a request that ends
  // after the port gets flags 1 and no application data; one cut inside
  // the second name stores nothing.
  Bytes response = {1};
  EXPECT_EQ(client.Call(3, Hex("01 02"), &response), 0);
  EXPECT_TRUE(response.empty());
  EXPECT_EQ(client.Call(7, {}, &response), 0);
  EXPECT_TRUE(response.empty());
  const UUID b("00000000-0000-4000-8000-00000000000b"), c("00000000-0000-4000-8000-00000000000c");
  Bytes full = UpdateRequest(b, "B", "bb", 0x0A000002, 7, 9, "SN=x;");
  ASSERT_EQ(client.Call(4, Bytes(full.begin(), full.end() - 13)), 0);
  full = UpdateRequest(c, "C", "cc", 0x0A000003, 7, 9, "");
  EXPECT_EQ(client.Call(4, Bytes(full.begin(), full.begin() + 16 + 5 + 5)), Result_Fail);
  ASSERT_EQ(client.Enumerate(true, 0, &stamp), 0);
  ASSERT_TRUE(WaitUntil([&] { return callbacks.Count() == 4; }, 5000));
  const Bytes recordB = Cat({Wire(b), Str("bb"), Str("B"), U32(0x0A000002), {7, 0}, U32(1), Str("")});
  EXPECT_EQ(callbacks.Batches()[3], Cat({kExtendedHeader,
                                         U32(2),
                                         Wire(b),
                                         Str("bb"),
                                         Str("B"),
                                         U32(0x0A000002),
                                         {7, 0},
                                         U32(1),
                                         Str(""),
                                         kRecordA,
                                         Str(""),
                                         {0x01}}));

  // A protocol-2 publisher is listed after the protocol-1 displays; it
  // publishes A's id, so its record stands for A.
  LoopbackPeer publisher;
  ASSERT_TRUE(publisher.Connect(kProtocol2Port));
  ASSERT_TRUE(publisher.Send(kP1));
  const Bytes room1 =
      Cat({Wire(kRoomId), Str(""), Str("Room1"), U32(0xC0A8010A), {0x58, 0x1B}, U32(0x01000000), Str("SN=Demo;")});
  size_t before = callbacks.Count();
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (client.Enumerate(true, 0, &stamp) != 0 || !WaitUntil([&] { return callbacks.Count() > before; }, 5000)) {
          return false;
        }
        before = callbacks.Count();
        return Contains(callbacks.Batches().back(), room1);
      },
      10000));
  EXPECT_EQ(callbacks.Batches().back(), Cat({kExtendedHeader, U32(2), recordB, room1, {0x01}}));
  // Its purge (closed for over a second) removes it from protocol 1 at once.
  publisher.Close();
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (client.Enumerate(false, 0, &stamp) != 0 || !WaitUntil([&] { return callbacks.Count() > before; }, 5000)) {
          return false;
        }
        before = callbacks.Count();
        return !Contains(callbacks.Batches().back(), Text("Room1"));
      },
      10000));

  // 2500 displays: 1000, 1000 and 500, last only on the third.
  for (uint32_t i = 2; i < 2500; ++i) {
    const UUID id(0x10000000u + i, 0, 0x4000, 0x8000000000000000ull);
    ASSERT_EQ(client.Call(4, UpdateRequest(id, "D" + std::to_string(i), "", i, 1, 0, "")), 0);
  }
  before = callbacks.Count();
  ASSERT_EQ(client.Enumerate(false, 0, &stamp), 0);
  ASSERT_TRUE(WaitUntil([&] { return callbacks.Count() == before + 3; }, 20000));
  const auto batches = callbacks.Batches();
  for (size_t i = 0; i < 3; ++i) {
    const Bytes& batch = batches[before + i];
    const uint32_t expected = i < 2 ? 1000 : 500;
    ASSERT_GE(batch.size(), 5u);
    EXPECT_EQ(Bytes(batch.begin(), batch.begin() + 4), U32(expected));
    EXPECT_EQ(batch.back(), i == 2 ? 1 : 0);
  }

  // AddNotify with another callback id leaves the registration (and the
  // one queue) as it was; a disconnect of the callback connection ends it.
  ASSERT_EQ(client.Call(0, Wire(UUID("00000000-0000-4000-8000-0000000000ff"))), 0);
  int connections = 0, pending = 0;
  service->GetProtocol1Service()->GetCallbackStatistics(&connections, &pending);
  EXPECT_EQ(connections, 1);
  client.CloseCallbackConnection();
  EXPECT_TRUE(WaitUntil(
      [&] {
        service->GetProtocol1Service()->GetCallbackStatistics(&connections, &pending);
        return connections == 0;
      },
      5000));
  EXPECT_EQ(client.Enumerate(false, 0, &stamp), Result_Fail);
  EXPECT_EQ(client.Call(1, {}), 0);

  // Over 300 s later the purge drops every protocol-1 display, and
  // protocol-2 subscribers get their removals. (The transports' idle purge
  // runs on the same clock, so this comes last.)
  GetDefaultScheduler()->AdvanceTestTimeMs(300001);
  service->GetProtocol1Service()->PurgeStaleDisplays();
  EXPECT_TRUE(ReceiveUntil(subscriber, &seen, BuildRemoveBytes(kDisplayA), 20000));
  // The first line of the pass (the rest are rate-limited).
  EXPECT_TRUE(
      service.Log()->Has(Log_Information, "Purged - 00000000-0000-4000-8000-00000000000b B a000002 7 (curTime = "));
  EXPECT_GT(service->GetProtocol1Service()->GetChangeStamp(), stamp);
  // More than 60 s since the first pass: the statistics line, ten integer
  // fields each followed by a comma.
  std::string stats;
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const auto& line : service.Log()->Lines()) {
          if (line.levelFlags == Log_Information && line.message.rfind("TDS_STATS, ", 0) == 0) stats = line.message;
        }
        return !stats.empty();
      },
      5000));
  EXPECT_EQ(std::count(stats.begin(), stats.end(), ','), 11) << stats;
  EXPECT_EQ(stats.back(), ',') << stats;
}

// An update that comes while the purge removes its display reaches
// protocol 2 after the removal, never before it, so a live display is not
// left removed there. The bridge's removal call stands for that moment.
TEST_F(Protocol1Test, PurgeKeepsRemovalsOrderedWithUpdatesOfTheSameDisplay) {
  const UUID first("00000000-0000-4000-8000-000000000001");
  const UUID second("00000000-0000-4000-8000-000000000002");
  RefPtr<TalvenorDiscoveryService> service(
      new TalvenorDiscoveryService(
          kProtocol1Port, [](uint16_t, ITransport** out) { return CreateAdaptedTransport(0, 0, out); }),
      false);
  ASSERT_EQ(service->Initialize(), 0);
  class UpdatingBridge final : public RecordingBridge {
   public:
    UpdatingBridge(TalvenorDiscoveryService* service, UUID removed, UUID updated)
        : service_(service), removed_(removed), updated_(updated) {}
    int RemoveDisplay(const UUID& id, CrossDirection direction) override {
      RecordingBridge::RemoveDisplay(id, direction);
      const uint32_t ipv4 = 0x0A000002;
      if (id == removed_) {
        // The clock may tick during the pass, and the purge counts a time
        // past its own start as old (a clock stepped back): stamped well
        // before the pass began, the update is still fresh but never ahead.
        GetDefaultScheduler()->AdvanceTestTimeMs(-100000);
        service_->UpdateDisplay(updated_, "B", "", &ipv4, 2, 0, "");
      }
      return 0;
    }

   private:
    TalvenorDiscoveryService* service_;
    UUID removed_;
    UUID updated_;
  };
  auto bridge = std::make_shared<UpdatingBridge>(service.Get(), first, second);
  service->SetCrossCommunicator(bridge);
  const uint32_t ipv4 = 0x0A000001;
  ASSERT_EQ(service->UpdateDisplay(first, "A", "", &ipv4, 1, 0, ""), 0);
  ASSERT_EQ(service->UpdateDisplay(second, "B", "", &ipv4, 2, 0, ""), 0);
  GetDefaultScheduler()->AdvanceTestTimeMs(300001);
  service->PurgeStaleDisplays();
  service->PurgeStaleDisplays();  // the updated display is fresh: nothing more goes
  std::map<UUID, bool> lastWasUpdate;
  for (const auto& call : bridge->Calls()) {
    EXPECT_EQ(call.direction, CrossDirection_FromProtocol1);
    lastWasUpdate[call.id] = call.update;
  }
  EXPECT_FALSE(lastWasUpdate.at(first));
  EXPECT_TRUE(lastWasUpdate.at(second));
  service->SetCrossCommunicator(nullptr);
  service->Shutdown();
}

TEST_F(Protocol1Test, DisabledProtocol1ListensNowhereAndCallsBeforeInitializeFail) {
  ConfigRoot::Get().Write("PublisherPurgeTimeout=1\ndisablev1=1\n");
  {
    ServiceUnderTest service;
    ASSERT_TRUE(service.Started());
    EXPECT_TRUE(service.Log()->Contains("TDS Protocol version 1 has been disabled"));
    LoopbackPeer peer;
    EXPECT_FALSE(peer.Connect(kProtocol1Port, 1000));
    EXPECT_FALSE(peer.Connect(kProtocol1CallbackPort, 1000));
    EXPECT_TRUE(peer.Connect(kProtocol2Port, 1000));
  }
  RefPtr<TalvenorDiscoveryService> idle(new TalvenorDiscoveryService(kProtocol1Port), false);
  const uint32_t ipv4 = 1;
  uint64_t stamp = 0;
  const UUID id("00000000-0000-4000-8000-000000000001");
  EXPECT_EQ(idle->AddNotify(id, id, DiscoveryServiceStubId), Result_NotInitialized);
  EXPECT_EQ(idle->RemoveNotify(id), Result_NotInitialized);
  EXPECT_EQ(idle->RequestDisplayEnumeration(id, false, 0, &stamp), Result_NotInitialized);
  EXPECT_EQ(idle->UpdateDisplay(id, "n", "", &ipv4, 1, 0, ""), Result_NotInitialized);
  // The bridge's entry points work in any state and always move the stamp.
  DisplayInfo d = Display(id, "n");
  idle->StoreForeignDisplay(d);
  const uint64_t first = idle->GetChangeStamp();
  idle->StoreForeignDisplay(d);
  EXPECT_GT(idle->GetChangeStamp(), first);
  idle->RemoveDisplayByUuid(id);
  EXPECT_GT(idle->GetChangeStamp(), first + 1);
}

}  // namespace
}  // namespace corvane::talvenor::server::testing
