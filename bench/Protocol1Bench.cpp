// Protocol 1 under load, with the whole service object in this process on
// 53200/53201/53202 (run inside `unshare -rn` with lo up, or on a machine
// where those ports are free):
//   1. UpdateDisplay calls per second (two-way RPC, 4 client threads) over
//      1000 displays while 50 protocol-2 subscribers take every publish;
//   2. enumeration latency for 2500 displays (request to last batch);
//   3. the protocol-2 registry's stall: publish-to-subscriber latency of a
//      protocol-2 display, idle and during a burst of 1000 protocol-1
//      updates.
//   Protocol1Bench [seconds for case 1, default 3]
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "DiscoveryServiceMain.h"
#include "Logger.h"
#include "Protocol1TestSupport.h"
#include "TestDataRoot.h"
#include "TestLoopbackPeer.h"

using namespace corvane;
using namespace corvane::talvenor;
using namespace corvane::talvenor::server::testing;
using Clock = std::chrono::steady_clock;

namespace {

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(v.size() * p))];
}

UUID DisplayId(uint32_t i) { return UUID(0x20000000u + i, 1, 0x4000, 0x8000000000000000ull); }

// Reads every subscriber until stopped, counting bytes.
class Drain {
 public:
  explicit Drain(std::vector<test::LoopbackPeer>& peers) : peers_(peers), thread_([this] { Run(); }) {}
  ~Drain() {
    stop_.store(true);
    thread_.join();
  }
  uint64_t Bytes() const { return bytes_.load(); }

 private:
  void Run() {
    std::vector<pollfd> fds;
    for (auto& p : peers_) fds.push_back({p.Fd(), POLLIN, 0});
    std::vector<char> buffer(65536);
    while (!stop_.load()) {
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (auto& f : fds) {
        if (f.revents & POLLIN) {
          const ssize_t n = read(f.fd, buffer.data(), buffer.size());
          if (n > 0) bytes_.fetch_add(static_cast<uint64_t>(n));
        }
      }
    }
  }
  std::vector<test::LoopbackPeer>& peers_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  test::TempDataRoot data;
  test::TempConfigRoot config;
  config.Write("PublisherPurgeTimeout=60\n");
  GetLoggerInstance()->SetMask(Log_Severe);

  RefPtr<TalvenorDiscoveryServiceMain> service(new TalvenorDiscoveryServiceMain(), false);
  service->Start(kInfinite);
  std::vector<test::LoopbackPeer> subscribers(50);
  // Protocol 1 listens once the start-up sequence has passed protocol 2.
  {
    Protocol1Client probe;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (!probe.Connect(1000)) {
      if (Clock::now() > until) {
        std::fprintf(stderr, "protocol 1 is not listening on %u\n", kProtocol1Port);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  for (auto& s : subscribers) {
    if (!s.Connect(kProtocol2Port) || !s.Send(kSubscribe)) return 1;
  }

  // 1. UpdateDisplay calls per second.
  {
    Drain drain(subscribers);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        Protocol1Client client;
        if (!client.Connect()) std::abort();
        for (uint32_t n = 0; !stop.load(); ++n) {
          const uint32_t i = (n * 4 + t) % 1000;
          if (client.Call(4, UpdateRequest(DisplayId(i), "Display " + std::to_string(i), "", 0x0A000000 + i, 7000, n,
                                           "SN=bench;")) != 0) {
            std::abort();
          }
          calls.fetch_add(1);
        }
      });
    }
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf(
        "UpdateDisplay, 1000 displays, 50 protocol-2 subscribers, 4 callers: %.0f calls/s "
        "(subscribers took %.1f MB)\n",
        calls.load() / elapsed, drain.Bytes() / 1e6);
  }

  // 2. Enumeration latency for 2500 displays.
  {
    Drain drain(subscribers);
    Protocol1Client client;
    if (!client.Connect()) return 1;
    for (uint32_t i = 1000; i < 2500; ++i) {
      client.Call(4, UpdateRequest(DisplayId(i), "Display " + std::to_string(i), "", 0x0A000000 + i, 7000, 0, ""));
    }
    client.Call(0, Wire(client.callbackConnection));
    std::vector<double> latencies;
    uint64_t stamp = 0;
    for (int round = 0; round < 30; ++round) {
      const size_t before = client.recorder->Count();
      const auto t0 = Clock::now();
      if (client.Enumerate(true, 0, &stamp) != 0) return 1;
      while (client.recorder->Count() < before + 3) {
        if (Clock::now() - t0 > std::chrono::seconds(10)) return 1;
        std::this_thread::yield();
      }
      latencies.push_back(Us(Clock::now() - t0));
    }
    std::printf("enumeration of 2500 displays (extended, 3 batches): p50 %.0f us, p99 %.0f us\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.99));
  }

  // 3. Protocol-2 publish-to-subscriber latency, idle and during a burst.
  {
    test::LoopbackPeer publisher, watcher;
    if (!publisher.Connect(kProtocol2Port) || !watcher.Connect(kProtocol2Port) || !watcher.Send(kSubscribe)) return 1;
    Drain drain(subscribers);
    watcher.ReceiveFor(500);  // the initial list
    DisplayInfo record = Display(UUID(0x30000000u, 1, 0x4000, 0x8000000000000000ull), "P2");
    auto measure = [&](int count) {
      std::vector<double> out;
      for (int n = 0; n < count; ++n) {
        record.flags = static_cast<uint32_t>(Clock::now().time_since_epoch().count());
        const Bytes message = BuildPublishBytes(record);
        const auto t0 = Clock::now();
        publisher.Send(message);
        Bytes seen;
        while (!Contains(seen, message)) {
          Bytes more = watcher.ReceiveFor(1);
          seen.insert(seen.end(), more.begin(), more.end());
          if (Clock::now() - t0 > std::chrono::seconds(10)) return out;
        }
        out.push_back(Us(Clock::now() - t0));
      }
      return out;
    };
    const auto idle = measure(100);
    std::atomic<bool> burstDone{false};
    double burstMs = 0;
    std::thread burst([&] {
      Protocol1Client client;
      if (!client.Connect()) std::abort();
      const auto t0 = Clock::now();
      for (uint32_t i = 0; i < 1000; ++i) {
        client.Send(4, UpdateRequest(DisplayId(i), "Burst " + std::to_string(i), "", 0x0A000000 + i, 7000, i, ""));
      }
      // A two-way call returns once the one-way ones before it have run.
      client.Call(1, {});
      burstMs = Us(Clock::now() - t0) / 1000;
      burstDone.store(true);
    });
    std::vector<double> during;
    while (!burstDone.load()) {
      auto some = measure(1);
      during.insert(during.end(), some.begin(), some.end());
    }
    burst.join();
    std::printf(
        "protocol-2 publish to subscriber: idle p50 %.0f us max %.0f us; during a burst of 1000 "
        "protocol-1 updates (%.0f ms): p50 %.0f us max %.0f us over %zu publishes\n",
        Percentile(idle, 0.5), Percentile(idle, 1.0), burstMs, Percentile(during, 0.5), Percentile(during, 1.0),
        during.size());
  }

  subscribers.clear();
  service->OnServiceStop();
  service.Reset();
  return 0;
}
