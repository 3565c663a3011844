// Reconnecting adapter over loopback: throughput of a 10 MiB transfer and
// the rate of 64-byte messages in modes 1 and 2 against the bare transport,
// and the time from a socket cut to the next message's arrival.
//
//   AdapterBench                      all figures
//   AdapterBench cuts MODE N MAX CUTS N messages of 1..MAX bytes with CUTS
//                                     socket cuts; checks exactly once, in order
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Network.h"
#include "TestLogCapture.h"
#include "TransportAdapter.h"
#include "TransportLoopbackSupport.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;
const UUID kType("01020304-0506-0708-090a-0b0c0d0e0f10");

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string Body(uint32_t index, uint32_t minSize, uint32_t maxSize) {
  std::mt19937 rng(index * 2654435761u + 11);
  std::string body(std::max<uint32_t>(minSize, 4 + rng() % maxSize), '\0');
  std::memcpy(body.data(), &index, 4);
  for (size_t n = 4; n < body.size(); n += 64) body[n] = static_cast<char>(rng());
  return body;
}

// Counts what arrives and, when asked, checks every message against the
// body its index names, in order.
class CountingReceiver final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  CountingReceiver(bool check, uint32_t minSize, uint32_t maxSize) : check_(check), min_(minSize), max_(maxSize) {}
  int OnDataReady(const UUID&, const UUID&, IDataStream* data) override {
    uint32_t size = 0;
    data->GetSize(&size);
    if (check_) {
      std::string bytes(size, '\0');
      data->Read(bytes.data(), size);
      uint32_t index = 0;
      if (size >= 4) std::memcpy(&index, bytes.data(), 4);
      if (index != next_ || bytes != Body(index, min_, max_)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (errors_++ < 5) std::printf("  mismatch: got index %u (%u bytes), expected %u\n", index, size, next_);
      }
      next_ = index + 1;
    }
    bytes_ += size;
    ++count_;
    return 0;
  }
  int OnEvent(const UUID&, int) override { return 0; }
  uint64_t count() const { return count_.load(); }
  uint64_t bytes() const { return bytes_.load(); }
  int errors() const { return errors_; }

 private:
  bool check_;
  uint32_t min_, max_;
  uint32_t next_ = 0;
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> bytes_{0};
  std::mutex mutex_;
  int errors_ = 0;
};

// A server and a client, adapted in the given mode (0: bare transports).
struct Pair {
  // relayed: the client dials through a relay that can cut the sockets.
  Pair(int mode, CountingReceiver* receiver, bool relayed = false) : port(test::FreePort()) {
    server = Make(port, mode != 0);
    if (relayed) relay = std::make_unique<test::TcpRelay>(port);
    client = Make(0, mode != 0);
    server->Initialize(true, true);
    client->Initialize(true, true);
    server->AddNotify(receiver);
    if (mode == 1) client->SetResendMode();
    if (mode == 2) client->SetFlowControlMode();
    if (client->OpenConnection(test::kLoopback, relay ? relay->Port() : port, &id, 5000) != 0) std::printf("  open failed\n");
    this->receiver = receiver;
  }
  ~Pair() {
    server->RemoveNotify(receiver);
    client->Finalize();
    server->Finalize();
    relay.reset();
  }
  static RefPtr<ITransport> Make(uint16_t port, bool adapted) {
    ITransport* bare = nullptr;
    platform::CreateInstance(port ? test::kLoopback : 0, port, &bare);
    RefPtr<ITransport> inner(bare, false);
    if (!adapted) return inner;
    ITransport* adapter = nullptr;
    CreateTransportAdapter(test::kLoopback, port, bare, &adapter);
    return RefPtr<ITransport>(adapter, false);
  }
  int Send(const std::string& bytes) { return client->Write(id, kType, test::StreamOf(bytes).Get()); }
  bool WaitFor(uint64_t count, int timeoutMs = 120000) {
    return test::WaitUntil([&] { return receiver->count() >= count; }, timeoutMs);
  }

  uint16_t port;
  std::unique_ptr<test::TcpRelay> relay;
  RefPtr<ITransport> server;
  RefPtr<ITransport> client;
  UUID id;
  CountingReceiver* receiver;
};

const char* ModeName(int mode) { return mode == 0 ? "bare  " : mode == 1 ? "mode 1" : "mode 2"; }

void Throughput(int mode) {
  RefPtr<CountingReceiver> receiver(new CountingReceiver(false, 0, 0), false);
  Pair pair(mode, receiver.Get());
  pair.Send("warm-up");
  pair.WaitFor(1);
  const std::string big(10u << 20, 'x');
  const int rounds = 5;
  const auto start = Clock::now();
  for (int n = 0; n < rounds; ++n) pair.Send(big);
  pair.WaitFor(1 + rounds);
  const double seconds = SecondsSince(start);
  std::printf("%s 10 MiB transfer: %7.1f MiB/s (%d transfers in %.2f s)\n", ModeName(mode), rounds * 10 / seconds,
              rounds, seconds);
}

void MessageRate(int mode) {
  RefPtr<CountingReceiver> receiver(new CountingReceiver(false, 0, 0), false);
  Pair pair(mode, receiver.Get());
  pair.Send("warm-up");
  pair.WaitFor(1);
  const std::string small(64, 'm');
  const int messages = 20000;
  const auto start = Clock::now();
  for (int n = 0; n < messages; ++n) pair.Send(small);
  pair.WaitFor(1 + messages);
  const double seconds = SecondsSince(start);
  std::printf("%s 64-byte messages: %9.0f msg/s\n", ModeName(mode), messages / seconds);
}

void Recovery(int mode) {
  RefPtr<CountingReceiver> receiver(new CountingReceiver(false, 0, 0), false);
  Pair pair(mode, receiver.Get(), true);
  pair.Send("warm-up");
  pair.WaitFor(1);
  std::vector<double> ms;
  for (int n = 0; n < 10; ++n) {
    const uint64_t before = receiver->count();
    const auto start = Clock::now();
    pair.relay->Cut();
    pair.Send("after the cut");
    if (!pair.WaitFor(before + 1, 30000)) break;
    ms.push_back(SecondsSince(start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) {
    std::printf("%s recovery: no message arrived after a cut\n", ModeName(mode));
    return;
  }
  std::printf("%s recovery after a cut: median %.0f ms, max %.0f ms (%zu cuts)\n", ModeName(mode), ms[ms.size() / 2],
              ms.back(), ms.size());
}

int Cuts(int mode, uint32_t messages, uint32_t maxSize, int cuts) {
  test::ScopedCapture capture;
  RefPtr<CountingReceiver> receiver(new CountingReceiver(true, 1, maxSize), false);
  Pair pair(mode, receiver.Get(), true);
  std::atomic<bool> stop{false};
  std::atomic<int> cutsDone{0};
  std::thread cutter([&] {
    for (int n = 0; n < cuts && !stop.load(); ++n) {
      const uint64_t at = static_cast<uint64_t>(n + 1) * messages / static_cast<uint64_t>(cuts + 1);
      test::WaitUntil([&] { return stop.load() || receiver->count() >= at; }, 300000);
      if (stop.load()) break;
      pair.relay->Cut();
      ++cutsDone;
    }
  });
  const auto start = Clock::now();
  int failures = 0;
  for (uint32_t n = 0; n < messages; ++n) {
    const int result = pair.Send(Body(n, 1, maxSize));
    if (result != 0 && failures++ < 5) std::printf("  write %u failed: %x\n", n, static_cast<unsigned>(result));
  }
  const bool all = pair.WaitFor(messages, 300000);
  stop.store(true);
  cutter.join();
  std::printf("mode %d: %u messages of 1 B..%u B, %d cuts: %llu delivered, %d out of order or wrong, %d failed "
              "writes, %.1f s\n",
              mode, messages, maxSize, cutsDone.load(), static_cast<unsigned long long>(receiver->count()),
              receiver->errors(), failures, SecondsSince(start));
  // The Severe lines before the first time-out, for a look at its cause.
  const auto lines = capture->Lines();
  for (size_t n = 0; n < lines.size(); ++n) {
    if (lines[n].message.find("timeout") == std::string::npos) continue;
    for (size_t k = n >= 60 ? n - 60 : 0; k <= n + 2 && k < lines.size(); ++k) {
      std::printf("  log %x: %s\n", lines[k].threadId, lines[k].message.c_str());
    }
    break;
  }
  return all && receiver->count() == messages && receiver->errors() == 0 && failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  using namespace corvane;
  // Connections of finished figures are destroyed on the deletion thread,
  // which the process does not wait for: each figure starts, and the
  // process ends, only once they are gone.
  const auto settle = [] {
    if (!test::WaitTransportTeardown()) std::printf("transport teardown did not finish\n");
  };
  if (argc == 6 && std::strcmp(argv[1], "cuts") == 0) {
    const int result = Cuts(std::atoi(argv[2]), static_cast<uint32_t>(std::atoi(argv[3])),
                            static_cast<uint32_t>(std::atoi(argv[4])), std::atoi(argv[5]));
    settle();
    return result;
  }
  for (int mode : {0, 1, 2}) {
    Throughput(mode);
    settle();
  }
  for (int mode : {0, 1, 2}) {
    MessageRate(mode);
    settle();
  }
  for (int mode : {1, 2}) {
    Recovery(mode);
    settle();
  }
  return 0;
}
