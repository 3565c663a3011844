// Shared by the protocol-2 registry suites: wire vectors, a configuration
// root with PublisherPurgeTimeout=5, a bridge that records what it is told
// and invariant checks over the registry's state.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "ICrossCommunicator.h"
#include "Protocol2Messages.h"
#include "Scheduler.h"
#include "TestDataRoot.h"
#include "TestWait.h"

namespace corvane::talvenor::server::testing {

using Bytes = std::vector<uint8_t>;
using DisplayInfo = IDiscoveryService::DisplayInfo;
using Registry = TalvenorDiscoveryServicePersistent;

inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline const UUID kRoomId("2783ffd0-7ec7-11e2-9e96-0800200c9a66");

inline DisplayInfo Room1() {
  DisplayInfo record;
  record.id = kRoomId;
  record.name = "Room1";
  record.ipv4 = 0xC0A8010A;
  record.port = 7000;
  record.flags = 0x01000000;
  record.appData = "SN=Demo;";
  return record;
}

inline DisplayInfo Display(const UUID& id, const std::string& name, uint32_t flags = 0) {
  DisplayInfo record;
  record.id = id;
  record.name = name;
  record.ipv4 = 0x0A000001;
  record.port = 9000;
  record.flags = flags;
  return record;
}

inline const Bytes kP1 = Hex(
    "43 52 56 54 44 53 30 00 00 00 01 D0 FF 83 27 C7 7E E2 11 9E 96 08 00 20 0C 9A 66 05 00 00 00 "
    "52 6F 6F 6D 31 0A 01 A8 C0 58 1B 00 00 00 01 08 00 00 00 53 4E 3D 44 65 6D 6F 3B");
inline Bytes P1Changed() {
  Bytes bytes = kP1;
  bytes[43] = 0x08;  // flags 0x01000800
  return bytes;
}
inline const Bytes kR1 = Hex("43 52 56 54 44 53 11 00 00 00 03 D0 FF 83 27 C7 7E E2 11 9E 96 08 00 20 0C 9A 66");
inline const Bytes kSubscribe = Hex("43 52 56 54 44 53 01 00 00 00 02");
inline const Bytes kPing = Text("CRVPNG");

// One configuration root for the whole run, made before any test runs and
// removed after the last one. Every suite writes PublisherPurgeTimeout=5
// unless a test says otherwise.
class ConfigRoot : public ::testing::Environment {
 public:
  static test::TempConfigRoot& Get() { return *root_; }
  static void SetPurgeTimeout(const std::string& value) { Get().Write("PublisherPurgeTimeout=" + value + "\n"); }
  void SetUp() override { root_ = std::make_unique<test::TempConfigRoot>(); }
  void TearDown() override { root_.reset(); }

 private:
  static inline std::unique_ptr<test::TempConfigRoot> root_;
};
inline ::testing::Environment* const kConfigRootEnvironment = ::testing::AddGlobalTestEnvironment(new ConfigRoot);

// The bridge's side of the registry, recorded.
class RecordingBridge : public ICrossCommunicator {
 public:
  struct Call {
    bool update;  // false: removal
    UUID id;
    DisplayInfo display;
    CrossDirection direction;
  };
  int UpdateDisplay(const DisplayInfo& display, CrossDirection direction) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({true, display.id, display, direction});
    return 0;
  }
  int RemoveDisplay(const UUID& id, CrossDirection direction) override {
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({false, id, DisplayInfo(), direction});
    return 0;
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
  }

 private:
  std::mutex lock_;
  std::vector<Call> calls_;
};

using test::WaitUntil;

// The registry's invariants: no publisher without a record, `owners` the
// exact inverse of the publishers' display ids.
inline ::testing::AssertionResult HoldsInvariants(const Registry::StateSnapshot& state) {
  for (auto publisher : state.publishers) {
    auto it = state.connections.find(publisher);
    if (it == state.connections.end()) {
      return ::testing::AssertionFailure() << "publisher " << publisher << " has no record";
    }
    auto owner = state.owners.find(it->second.displayId);
    if (owner == state.owners.end() || owner->second != publisher) {
      return ::testing::AssertionFailure() << "publisher " << publisher << " does not own " << it->second.displayId;
    }
  }
  for (const auto& [id, connection] : state.owners) {
    if (state.publishers.count(connection) == 0) {
      return ::testing::AssertionFailure() << "owner of " << id << " is not a publisher: " << connection;
    }
  }
  if (state.owners.size() != state.publishers.size()) {
    return ::testing::AssertionFailure() << state.owners.size() << " owners for " << state.publishers.size()
                                         << " publishers";
  }
  for (auto subscriber : state.subscribers) {
    auto it = state.connections.find(subscriber);
    if (it != state.connections.end() && !it->second.connected) {
      return ::testing::AssertionFailure() << "closed subscriber " << subscriber;
    }
  }
  for (const auto& [id, connection] : state.connections) {
    if (!connection.connected && state.publishers.count(id) == 0) {
      return ::testing::AssertionFailure() << "closed connection " << id << " kept though it never published";
    }
  }
  for (const UUID& id : state.foreignDisplays) {
    if (state.owners.count(id) != 0) return ::testing::AssertionFailure() << "foreign display " << id << " is owned";
  }
  return ::testing::AssertionSuccess();
}

inline Registry::StateSnapshot Snapshot(Registry& registry) {
  Registry::StateSnapshot state;
  registry.GetStateSnapshot(&state);
  return state;
}

// Lets the purge time-out pass on the test clock and runs one pass to the end.
inline void PassTimeAndPurge(Registry& registry, int64_t ms) {
  GetDefaultScheduler()->AdvanceTestTimeMs(ms);
  registry.PurgeInactivepublishers();
  Snapshot(registry);  // queued behind the pass
}

}  // namespace corvane::talvenor::server::testing
