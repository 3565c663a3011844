// SIGTERM while the executable is busy: protocol-2 publishers and
// subscribers and protocol-1 clients keep working on it while the stop
// arrives, and every time the process exits with status 0 within 5 s.
// TDS_STOP_CYCLES sets the number of start-load-stop cycles (default 5);
// bench/stop_under_load.sh runs 50.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Protocol1TestSupport.h"
#include "ServiceTestSupport.h"
#include "TestLoopbackPeer.h"

namespace corvane::talvenor::server::testing {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::LoopbackPeer;

const std::string kProgram = TDS_SERVICE_EXECUTABLE;
// Start-up under a sanitizer takes several times longer than the stop.
constexpr auto kStartDeadline = 60s;
constexpr auto kStopDeadline = 5s;

int Cycles() {
  const char* text = std::getenv("TDS_STOP_CYCLES");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : 5;
}

// The load: each worker runs until `stop`, reconnecting whenever the service
// drops it, and counts what it got done.
class Load {
 public:
  explicit Load(int cycle) : cycle_(cycle) {}
  ~Load() { Stop(); }
  void Start() {
    for (int i = 0; i < 3; ++i) threads_.emplace_back([this, i] { Publisher(i); });
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { Subscriber(); });
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this, i] { Protocol1(i); });
  }
  void Stop() {
    stop_.store(true);
    for (auto& t : threads_) t.join();
    threads_.clear();
  }
  uint64_t Published() const { return published_.load(); }
  uint64_t Updated() const { return updated_.load(); }

 private:
  void Publisher(int index) {
    DisplayInfo record = Display(UUID(0xA0000000u + cycle_ * 16 + index, 1, 0x4000, 0x8000000000000001ull), "P");
    while (!stop_.load()) {
      LoopbackPeer peer;
      if (!peer.Connect(kProtocol2Port, 500)) continue;
      for (int n = 0; n < 20 && !stop_.load(); ++n) {
        record.flags = n;
        if (!peer.Send(BuildPublishBytes(record))) break;
        published_.fetch_add(1);
        peer.ReceiveFor(5);
      }
    }
  }
  void Subscriber() {
    while (!stop_.load()) {
      LoopbackPeer peer;
      if (!peer.Connect(kProtocol2Port, 500) || !peer.Send(kSubscribe)) continue;
      for (int n = 0; n < 20 && !stop_.load(); ++n) peer.ReceiveFor(10);
    }
  }
  void Protocol1(int index) {
    while (!stop_.load()) {
      Protocol1Client client;
      if (!client.Connect(500)) continue;
      // One-way calls only: a two-way call to a service that has gone would
      // wait out the RPC time-out.
      client.Send(0, Wire(client.callbackConnection));
      for (uint32_t n = 0; !stop_.load(); ++n) {
        const UUID id(0xB0000000u + cycle_ * 16 + index, 1, 0x4000, 0x8000000000000000ull + n % 50);
        if (client.Send(4, UpdateRequest(id, "V1", "", 0x0A000001, 7, n, "SN=x;")) < 0) break;
        if (n % 25 == 0 && client.Send(2, Bytes(9, 0)) < 0) break;
        updated_.fetch_add(1);
      }
    }
  }

  const int cycle_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> published_{0}, updated_{0};
  std::vector<std::thread> threads_;
};

TEST(ServiceStopUnderLoadTest, SigtermUnderLoadExitsCleanlyWithinFiveSeconds) {
  const int cycles = Cycles();
  long worstMs = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    test::TempFolder root;
    ASSERT_FALSE(root.Path().empty());
    mkdir((root / "data").c_str(), 0755);
    mkdir((root / "etc").c_str(), 0755);
    mkdir((root / "etc/Corvane").c_str(), 0755);
    ASSERT_TRUE(test::WriteTextFile(root / "etc/Corvane/DirectoryService.conf", "PublisherPurgeTimeout=1\n"));
    test::Child child;
    ASSERT_TRUE(child.Start(
        kProgram, {"-e"},
        {{"CORVANE_DATA_ROOT", root / "data"}, {"CORVANE_REGISTRY_ROOT", root / "etc"}, {"NOTIFY_SOCKET", ""}}));
    const std::string logs = root / "data/Corvane/Talvenor/DiscoveryService/Logs";
    ASSERT_TRUE(
        WaitUntil([&] { return test::ReadLogs(logs).find("Talvenor Discovery Service Started") != std::string::npos; },
                  kStartDeadline));

    Load load(cycle);
    load.Start();
    // The stop comes once every kind of work is under way.
    ASSERT_TRUE(WaitUntil([&] { return load.Published() > 20 && load.Updated() > 200; }, 20s));
    const auto stopAt = Clock::now();
    ASSERT_TRUE(child.Signal(SIGTERM));
    int status = 0;
    const bool exited = child.Wait(kStopDeadline, &status);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAt).count());
    worstMs = std::max(worstMs, ms);
    EXPECT_TRUE(exited) << "no exit within 5 s";
    if (exited) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    load.Stop();
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("%d cycles, slowest SIGTERM to exit: %ld ms\n", cycles, worstMs);
}

}  // namespace
}  // namespace corvane::talvenor::server::testing
