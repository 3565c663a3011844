// Message transport figures over loopback, plain and TLS 1.2: frames per
// second and round-trip p50/p99 for 64-byte and 1 MiB frames, connect-to-
// Connected latency for 100 clients, threads and idle CPU with 100
// connections; and, in the same run, the same transfers over a bare TCP
// socket pair and a bare OpenSSL TLS 1.2 connection (the limits).
//
// Usage: TransportBench              all figures
//        TransportBench teardown N   N cycles of 100 live connections + Finalize
//        TransportBench transport SIZE [tls]   one transport figure (for profiling)
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Network.h"
#include "NetworkTransportImpl.h"
#include "SocketLayer.h"
#include "TlsContext.h"
#include "TransportLoopbackSupport.h"

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

const UUID kType(0x0badf00du, 1, 2, 3);
constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kClients = 100;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double CpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

struct Percentiles {
  double p50, p99;
};
Percentiles Of(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

struct Figures {
  double framesPerSecond = 0;
  double megabytesPerSecond = 0;
  Percentiles rtt{0, 0};
};

void Print(const char* what, size_t size, const Figures& f) {
  std::printf("%-22s %8zu B  %12.0f frames/s  %9.1f MB/s  rtt p50 %8.1f us  p99 %8.1f us\n", what, size,
              f.framesPerSecond, f.megabytesPerSecond, f.rtt.p50, f.rtt.p99);
}

// Counts what arrives; echoes it back when asked; signals every arrival.
class BenchReceiver final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  BenchReceiver(ITransportFastWrite* transport, bool echo) : transport_(transport), echo_(echo) {}
  int OnDataReady(const UUID& id, const UUID& type, IDataStream* data) override {
    if (echo_.load()) {
      ITransportFastWrite::IWriter* writer = Writer(id);
      if (writer) writer->Write(type, data);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++received_;
    cv_.notify_all();
    return 0;
  }
  int OnEvent(const UUID& id, int event) override {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (event == TransportEvent_Connected) connectedAt_[id] = now;
    if (event == TransportEvent_Disconnected) ++disconnected_;
    cv_.notify_all();
    return 0;
  }
  bool WaitReceived(uint64_t count, int timeoutMs = 30000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_ >= count; });
  }
  uint64_t Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool WaitConnected(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return connectedAt_.size() >= count; });
  }
  Clock::time_point ConnectedAt(const UUID& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectedAt_[id];
  }
  int Disconnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return disconnected_;
  }
  void StopEcho() { echo_.store(false); }
  void DropWriters() {
    std::lock_guard<std::mutex> lock(mutex_);
    writers_.clear();
  }

 private:
  ITransportFastWrite::IWriter* Writer(const UUID& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = writers_.find(id);
    if (it != writers_.end()) return it->second.Get();
    RefPtr<ITransportFastWrite::IWriter> writer;
    transport_->CreateWriter(id, writer.Receive());
    return (writers_[id] = writer).Get();
  }

  ITransportFastWrite* transport_;
  std::atomic<bool> echo_;
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t received_ = 0;
  int disconnected_ = 0;
  std::map<UUID, Clock::time_point> connectedAt_;
  std::map<UUID, RefPtr<ITransportFastWrite::IWriter>> writers_;
};

// Drives round trips the way the bare link does: each reply is timed on the
// receive callback, which sends the next ping through the connection's
// writer at once, so no third thread is woken per round trip.
class PingPongReceiver final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  PingPongReceiver(ITransportFastWrite::IWriter* writer, IDataStream* body, int rounds)
      : writer_(writer), body_(body), rounds_(rounds) {
    us_.reserve(static_cast<size_t>(rounds));
  }
  // Sends the first ping; false when the rounds did not all come back in time.
  bool Run(int timeoutMs) {
    sentAt_ = Clock::now();
    if (writer_->Write(kType, body_) != 0) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done_; });
  }
  int OnDataReady(const UUID&, const UUID&, IDataStream*) override {
    const auto now = Clock::now();
    us_.push_back(std::chrono::duration<double>(now - sentAt_).count() * 1e6);
    if (static_cast<int>(us_.size()) < rounds_) {
      sentAt_ = Clock::now();
      if (writer_->Write(kType, body_) == 0) return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    cv_.notify_all();
    return 0;
  }
  int OnEvent(const UUID&, int) override { return 0; }
  // Read after Run returned true: the receive thread no longer touches it.
  const std::vector<double>& Samples() const { return us_; }

 private:
  ITransportFastWrite::IWriter* writer_;
  IDataStream* body_;
  const int rounds_;
  Clock::time_point sentAt_;
  std::vector<double> us_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

struct Side {
  Side(uint16_t port, const EncryptionStruct* settings, bool echo) {
    ITransport* raw = nullptr;
    platform::CreateInstance(0, port, const_cast<EncryptionStruct*>(settings), &raw);
    transport.Attach(raw);
    fast = dynamic_cast<ITransportFastWrite*>(raw);
    receiver.Attach(new BenchReceiver(fast, echo));
    transport->Initialize(false, true);
    if (settings) transport->SetEncryptionEnabled(true);
    transport->AddNotify(receiver.Get());
  }
  ~Side() {
    transport->Finalize();
    receiver->DropWriters();
  }
  RefPtr<ITransport> transport;
  ITransportFastWrite* fast = nullptr;
  RefPtr<BenchReceiver> receiver;
};

RefPtr<IDataStream> Body(size_t size) { return test::StreamOf(std::string(size, 'b')); }

int Iterations(size_t size, int small, int large) { return size <= 64 ? small : large; }

Figures MeasureTransport(bool tls, size_t size) {
  const EncryptionStruct settings = test::TestCredentials::Get().Settings();
  const uint16_t port = test::FreePort();
  Figures f;
  Side server(port, tls ? &settings : nullptr, true);
  Side client(0, nullptr, false);
  UUID id;
  if (client.transport->OpenConnection(kLoopback, port, &id, 5000) != 0) return f;
  RefPtr<ITransportFastWrite::IWriter> writer;
  client.fast->CreateWriter(id, writer.Receive());
  RefPtr<IDataStream> body = Body(size);
  // Round trips. Small ones are driven like the bare link: each ping is sent
  // from the callback that took the last reply. Large ones are sent from
  // here, so both ends' receive threads are never writing a whole frame at
  // each other at once.
  const int rounds = Iterations(size, 20000, 300);
  if (size > 64) {
    std::vector<double> us;
    for (int i = 0; i < rounds; ++i) {
      const auto start = Clock::now();
      writer->Write(kType, body.Get());
      client.receiver->WaitReceived(static_cast<uint64_t>(i) + 1);
      us.push_back(Seconds(start) * 1e6);
    }
    f.rtt = Of(us);
  } else {
    RefPtr<PingPongReceiver> pingPong(new PingPongReceiver(writer.Get(), body.Get(), rounds), false);
    client.transport->AddNotify(pingPong.Get());
    const bool done = pingPong->Run(60000);
    client.transport->RemoveNotify(pingPong.Get());
    if (!done) {
      std::printf("round trips did not complete\n");
      return f;
    }
    f.rtt = Of(pingPong->Samples());
  }
  // One way, as fast as the sender goes.
  server.receiver->StopEcho();
  const int frames = Iterations(size, 200000, 1000);
  const uint64_t before = server.receiver->Received();
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) writer->Write(kType, body.Get());
  server.receiver->WaitReceived(before + frames, 60000);
  const double s = Seconds(start);
  f.framesPerSecond = frames / s;
  f.megabytesPerSecond = frames * static_cast<double>(size + 27) / s / 1e6;
  return f;
}

// Bare limits: the same frames over a socket pair, or TLS on it.
struct BareLink {
  int a = -1, b = -1;
  SSL_CTX* serverCtx = nullptr;
  SSL_CTX* clientCtx = nullptr;
  SSL* sa = nullptr;
  SSL* sb = nullptr;
  explicit BareLink(bool tls) {
    const int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(kLoopback);
    socklen_t len = sizeof(sin);
    bind(l, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    listen(l, 1);
    getsockname(l, reinterpret_cast<sockaddr*>(&sin), &len);
    a = socket(AF_INET, SOCK_STREAM, 0);
    connect(a, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    b = accept(l, nullptr, nullptr);
    close(l);
    int one = 1;
    setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (!tls) return;
    serverCtx = TlsContext::CreateContext().release();
    clientCtx = TlsContext::CreateContext().release();
    TlsContext::InitializeSSL(serverCtx, test::TestCredentials::Get().Settings());
    sa = SSL_new(clientCtx);
    sb = SSL_new(serverCtx);
    SSL_set_fd(sa, a);
    SSL_set_fd(sb, b);
    std::thread accepting([&] { SSL_accept(sb); });
    SSL_connect(sa);
    accepting.join();
  }
  ~BareLink() {
    if (sa) SSL_free(sa);
    if (sb) SSL_free(sb);
    if (serverCtx) SSL_CTX_free(serverCtx);
    if (clientCtx) SSL_CTX_free(clientCtx);
    close(a);
    close(b);
  }
  bool Send(bool fromA, const char* p, size_t n) {
    while (n > 0) {
      const int k = (fromA ? sa : sb) ? SSL_write(fromA ? sa : sb, p, static_cast<int>(n))
                                      : static_cast<int>(send(fromA ? a : b, p, n, MSG_NOSIGNAL));
      if (k <= 0) return false;
      p += k;
      n -= static_cast<size_t>(k);
    }
    return true;
  }
  bool Recv(bool atA, char* p, size_t n) {
    while (n > 0) {
      const int k = (atA ? sa : sb) ? SSL_read(atA ? sa : sb, p, static_cast<int>(n))
                                    : static_cast<int>(recv(atA ? a : b, p, n, 0));
      if (k <= 0) return false;
      p += k;
      n -= static_cast<size_t>(k);
    }
    return true;
  }
};

Figures MeasureBare(bool tls, size_t size) {
  Figures f;
  BareLink link(tls);
  const size_t frame = size + 27;
  std::string out(frame, 'b');
  std::atomic<bool> echo{true};
  const int rounds = Iterations(size, 20000, 300);
  const int frames = Iterations(size, 200000, 1000);
  // The far side reads whole frames into a buffer of their own, echoing the
  // round trips back.
  std::thread far([&] {
    std::string in(frame, '\0');
    for (int i = 0; i < rounds + frames; ++i) {
      if (!link.Recv(false, in.data(), frame)) return;
      if (i < rounds && !link.Send(false, in.data(), frame)) return;
    }
  });
  std::string back(frame, '\0');
  std::vector<double> us;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    link.Send(true, out.data(), frame);
    link.Recv(true, back.data(), frame);
    us.push_back(Seconds(start) * 1e6);
  }
  f.rtt = Of(us);
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) link.Send(true, out.data(), frame);
  far.join();
  const double s = Seconds(start);
  f.framesPerSecond = frames / s;
  f.megabytesPerSecond = frames * static_cast<double>(frame) / s / 1e6;
  return f;
}

void ConnectAndIdle(bool tls) {
  const EncryptionStruct settings = test::TestCredentials::Get().Settings();
  const uint16_t port = test::FreePort();
  const int threadsBefore = ThreadCount();
  Side server(port, tls ? &settings : nullptr, false);
  Side client(0, nullptr, false);
  std::vector<double> us;
  for (int i = 0; i < kClients; ++i) {
    UUID id;
    const auto start = Clock::now();
    if (client.transport->OpenConnection(kLoopback, port, &id, 5000) != 0) continue;
    server.receiver->WaitConnected(static_cast<size_t>(i) + 1);
    us.push_back(std::chrono::duration<double>(server.receiver->ConnectedAt(id) - start).count() * 1e6);
  }
  const Percentiles p = Of(us);
  const double cpu = CpuSeconds();
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double idleCpu = (CpuSeconds() - cpu) / Seconds(idleStart) * 100.0;
  std::printf("%-5s connect-to-Connected (%d clients): p50 %.0f us  p99 %.0f us; threads for %d connections "
              "(both ends): %d; idle CPU %.2f %% of one core\n",
              tls ? "TLS" : "plain", kClients, p.p50, p.p99, kClients, ThreadCount() - threadsBefore, idleCpu);
}

int TearDown(int cycles) {
  platform::EnsureOpenFileLimit(4096, nullptr);
  double worst = 0;
  int failures = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const uint16_t port = test::FreePort();
    Side server(port, nullptr, false);
    Side client(0, nullptr, false);
    std::vector<UUID> ids(kClients);
    for (auto& id : ids) client.transport->OpenConnection(kLoopback, port, &id, 5000);
    server.receiver->WaitConnected(kClients);
    const auto start = Clock::now();
    server.transport->Finalize();
    const double s = Seconds(start);
    worst = std::max(worst, s);
    const int disconnected = server.receiver->Disconnected();
    if (disconnected != kClients || s > 5.0) ++failures;
    std::printf("cycle %2d: Finalize %.3f s, Disconnected %d of %d\n", cycle, s, disconnected, kClients);
  }
  const bool drained = test::WaitTransportTeardown(10000);
  std::printf("teardown: %d cycles, worst Finalize %.3f s, %d failed, connections left %d\n", cycles, worst, failures,
              drained ? 0 : NetworkTransportImpl::LiveConnectionCount());
  return failures == 0 && drained ? 0 : 1;
}

// The transports of a figure are finalized, but their connections are
// destroyed on the deletion thread: the next figure starts (and the process
// ends, with OpenSSL's exit clean-up) only once they are gone.
void Settle() {
  if (!test::WaitTransportTeardown()) {
    std::printf("transport teardown did not finish: %d connections left\n", NetworkTransportImpl::LiveConnectionCount());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // TDS_BENCH_TUNED_MALLOC=1: large blocks stay in the heap instead of fresh
  // mappings per frame (page faults are costly on virtual machines).
  if (const char* tuned = std::getenv("TDS_BENCH_TUNED_MALLOC"); tuned && std::strcmp(tuned, "1") == 0) {
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
  if (argc >= 2 && std::strcmp(argv[1], "teardown") == 0) return TearDown(argc >= 3 ? std::atoi(argv[2]) : 50);
  // TransportBench transport <size> [tls]: one transport figure alone (for profiling).
  if (argc >= 3 && std::strcmp(argv[1], "transport") == 0) {
    const size_t size = static_cast<size_t>(std::atol(argv[2]));
    Print("transport", size, MeasureTransport(argc >= 4, size));
    Settle();
    return 0;
  }
  for (bool tls : {false, true}) {
    for (size_t size : {size_t{64}, size_t{1} << 20}) {
      const Figures bare = MeasureBare(tls, size);
      const Figures transport = MeasureTransport(tls, size);
      Settle();
      Print(tls ? "bare OpenSSL TLS 1.2" : "bare TCP", size, bare);
      Print(tls ? "transport TLS" : "transport plain", size, transport);
      if (size > 64) {
        std::printf("  -> throughput %.0f %% of the bare limit\n",
                    100.0 * transport.megabytesPerSecond / bare.megabytesPerSecond);
      } else {
        std::printf("  -> round trip %.2f x the bare p50\n", transport.rtt.p50 / bare.rtt.p50);
      }
    }
  }
  ConnectAndIdle(false);
  Settle();
  ConnectAndIdle(true);
  Settle();
  return 0;
}
