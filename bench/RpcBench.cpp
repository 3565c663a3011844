// RPC round trips: calls per second and p50/p99 latency with 1, 8 and 64
// callers, next to a bare ping-pong of the same message sizes over the same
// transport (the limit); then the process CPU while a callback connection
// cannot be written (fake transport only: the real one has no switch for it).
//   RpcBench [seconds per case, default 2] [fake|plain, default fake]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeTransport.h"
#include "IRpc.h"
#include "RpcCallbackThread.h"

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kPayload = 64;
const UUID kObject("a0a14dd0-daad-11e3-9c1a-0800200c9a66");
const UUID kPingType("11111111-2222-3333-4444-555555555555");

struct Pair {
  RefPtr<ITransport> server, client;
  UUID connection;
};

bool g_plain = false;

Pair MakeTransports() {
  test::TransportFactory f = g_plain ? test::PlainTransportFactory() : test::FakeTransportFactory();
  Pair p;
  uint16_t port = 0;
  p.server = f.makeServer(&port);
  p.client = f.makeClient();
  if (p.client->OpenConnection(0x7F000001, port, &p.connection, 5000) < 0) std::abort();
  return p;
}

RefPtr<IDataStream> Payload(uint32_t tag) {
  IDataStream* raw = nullptr;
  CreateDataStream(&raw);
  RefPtr<IDataStream> s(raw, false);
  s->WriteUInt32(tag);
  std::vector<uint8_t> fill(kPayload - 4, 0x5a);
  s->Write(fill.data(), static_cast<uint32_t>(fill.size()));
  return s;
}

class EchoStub final : public IRpc::IStub, public IRefCountImpl {
 public:
  IRefCount* GetOwner() override { return nullptr; }
  int ExecuteStub(IRpc*, UUID, const UUID*, int, IDataStream* request, IDataStream* response) override {
    uint8_t buffer[kPayload];
    uint32_t position = 0, size = 0;
    request->GetPosition(&position);
    request->GetSize(&size);
    const uint32_t n = std::min<uint32_t>(size - position, kPayload);
    request->Read(buffer, n);
    response->Write(buffer, n);
    return 0;
  }
  int GetObjectId(UUID* out) override {
    *out = kObject;
    return 0;
  }
};

// Server side of the ping-pong: sends every frame straight back.
class Echo final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  explicit Echo(ITransport* t) : t_(t) {}
  int OnDataReady(const UUID& c, const UUID& type, IDataStream* data) override {
    if (type == kPingType) t_->Write(c, type, data);
    return 0;
  }
  int OnEvent(const UUID&, int) override { return 0; }

 private:
  ITransport* t_;
};

// Client side: wakes the caller whose tag came back (each its own wait, so
// the ping-pong pays no wake-up storm the RPC calls do not pay either).
class Pong final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  explicit Pong(size_t callers) : slots_(callers) {}
  int OnDataReady(const UUID&, const UUID& type, IDataStream* data) override {
    uint32_t tag = 0;
    if (type != kPingType || data->ReadUInt32(&tag) < 0 || tag >= slots_.size()) return 0;
    Slot& s = slots_[tag];
    {
      std::lock_guard<std::mutex> lock(s.m);
      ++s.done;
    }
    s.cv.notify_one();
    return 0;
  }
  int OnEvent(const UUID&, int) override { return 0; }
  void WaitFor(uint32_t tag, uint64_t count) {
    Slot& s = slots_[tag];
    std::unique_lock<std::mutex> lock(s.m);
    if (!s.cv.wait_for(lock, std::chrono::seconds(10), [&] { return s.done >= count; })) std::abort();
  }

 private:
  struct Slot {
    std::mutex m;
    std::condition_variable cv;
    uint64_t done = 0;
  };
  std::vector<Slot> slots_;
};

struct Figures {
  double perSecond, p50us, p99us;
};

template <class OneTrip>
Figures Run(int callers, double seconds, OneTrip trip) {
  std::vector<std::vector<double>> latencies(callers);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int i = 0; i < callers; ++i) {
    threads.emplace_back([&, i] {
      uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        const auto t0 = Clock::now();
        trip(static_cast<uint32_t>(i), ++n);
        latencies[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  if (all.empty()) return {0, 0, 0};
  return {all.size() / elapsed, all[all.size() / 2], all[std::min(all.size() - 1, all.size() * 99 / 100)]};
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  g_plain = argc > 2 && std::string(argv[2]) == "plain";
  std::printf("payload %u bytes, %.1f s per case, %s\n", kPayload, seconds,
              g_plain ? "plain message transport over loopback" : "fake in-process transport");
  std::printf("%-10s %8s %14s %10s %10s\n", "case", "callers", "round trips/s", "p50 us", "p99 us");

  for (int callers : {1, 8, 64}) {
    Pair p = MakeTransports();
    RefPtr<Echo> echo(new Echo(p.server.Get()), false);
    RefPtr<Pong> pong(new Pong(callers), false);
    p.server->AddNotify(echo.Get());
    p.client->AddNotify(pong.Get());
    Figures ping = Run(callers, seconds, [&](uint32_t tag, uint64_t n) {
      p.client->Write(p.connection, kPingType, Payload(tag).Get());
      pong->WaitFor(tag, n);
    });
    p.server->RemoveNotify(echo.Get());
    p.client->RemoveNotify(pong.Get());
    std::printf("%-10s %8d %14.0f %10.1f %10.1f\n", "ping-pong", callers, ping.perSecond, ping.p50us, ping.p99us);

    IRpc *serverRpc = nullptr, *clientRpc = nullptr;
    CreateRpc(&serverRpc);
    CreateRpc(&clientRpc);
    serverRpc->SetTransport(p.server.Get(), 0);
    clientRpc->SetTransport(p.client.Get(), 0);
    RefPtr<EchoStub> stub(new EchoStub(), false);
    serverRpc->RegisterStub(kObject, stub.Get());
    Figures rpc = Run(callers, seconds, [&](uint32_t tag, uint64_t) {
      IDataStream* response = nullptr;
      CreateDataStream(&response);
      if (clientRpc->Execute(p.connection, kObject, 2, Payload(tag).Get(), response, 30000) < 0) std::abort();
      response->Release();
    });
    std::printf("%-10s %8d %14.0f %10.1f %10.1f   (p50 %.2fx ping-pong)\n", "rpc", callers, rpc.perSecond, rpc.p50us,
                rpc.p99us, rpc.p50us / ping.p50us);
    serverRpc->Detach();
    clientRpc->Detach();
    serverRpc->Release();
    clientRpc->Release();
  }

  // A callback waiting for a connection that cannot be written.
  if (!g_plain) {
    Pair p = MakeTransports();
    IRpc* rpc = nullptr;
    CreateRpc(&rpc);
    rpc->SetTransport(p.client.Get(), 0);
    static_cast<test::FakeTransport*>(p.client.Get())->SetWritable(p.connection, false);
    RefPtr<RpcCallbackThread> thread(new RpcCallbackThread(rpc), false);
    thread->Initialize();
    thread->AddConnection(p.connection);
    thread->CallBack(p.connection, kObject, 0, Payload(0).Get(), nullptr);
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("callback thread, 1 unwritable connection with 1 callback pending: %.2f%% of one core\n",
                100.0 * (ProcessCpuSeconds() - cpu0) / wall);
    thread.Reset();
    rpc->Detach();
    rpc->Release();
  }
  return 0;
}
