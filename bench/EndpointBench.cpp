// Network endpoint figures over loopback: accepts per second up to 10000
// connections, fan-out of one 100-byte write to 1000 and 10000 connections
// (time until the last peer has every byte, p50/p99 over 100 rounds), idle
// CPU with 10000 connections open, and resident memory per connection.
//
// The peers live in a child process, so that each process stays within a
// 20000-descriptor limit; both sides time with CLOCK_MONOTONIC, which the
// two processes share.
//
// Usage: EndpointBench [connections (default 10000)] [rounds (default 100)]
//                      [keepalive]
// With "keepalive" the endpoint pings its peers as the service's does and
// the fan-out rounds are left out: the idle figure then includes the pings.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "BenchLoopbackPeers.h"
#include "ProcessStatistics.h"
#include "SocketLayer.h"
#include "NetworkEndpoint.h"
#include "Scheduler.h"
#include "ThreadContext.h"

using namespace corvane;

namespace {

constexpr size_t kMessageSize = 100;

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double CpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long ResidentKb() { return static_cast<long>(platform::GetProcessWorkingSetBytes() / 1024); }

using bench::Die;

void WriteAll(int fd, const void* data, size_t size) {
  if (write(fd, data, size) != static_cast<ssize_t>(size)) Die("control write");
}

void ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n <= 0) Die("control read");
    p += n;
    size -= static_cast<size_t>(n);
  }
}

// Child: opens the connections on command 'G', then serves rounds: for each
// command {u32 target count}, waits until the first `target` connections
// hold 100 new bytes each and answers the monotonic time it happened.
// A target of 0 ends the child.
[[noreturn]] void RunPeers(uint16_t port, int count, int control) {
  char go;
  ReadAll(control, &go, 1);
  std::vector<int> fds = bench::ConnectPeers(port, count, 2000);
  char connected = 'C';
  WriteAll(control, &connected, 1);

  int ep = epoll_create1(EPOLL_CLOEXEC);
  for (int i = 0; i < count; ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fds[static_cast<size_t>(i)], &ev) != 0) Die("epoll_ctl");
  }
  std::vector<uint32_t> got(static_cast<size_t>(count), 0);
  std::vector<epoll_event> events(4096);
  char buffer[4096];
  for (;;) {
    uint32_t target;
    ReadAll(control, &target, sizeof(target));
    if (target == 0) break;
    std::fill(got.begin(), got.end(), 0);
    uint32_t complete = 0;
    while (complete < target) {
      int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 20000);
      if (n <= 0) Die("epoll_wait");
      for (int k = 0; k < n; ++k) {
        uint32_t i = events[static_cast<size_t>(k)].data.u32;
        ssize_t r = recv(fds[i], buffer, sizeof(buffer), 0);
        if (r <= 0) Die("recv");
        got[i] += static_cast<uint32_t>(r);
        if (i < target && got[i] == kMessageSize) ++complete;
      }
    }
    int64_t at = NowNs();
    WriteAll(control, &at, sizeof(at));
  }
  for (int fd : fds) close(fd);
  close(ep);
  _exit(0);
}

struct Counters {
  std::mutex m;
  std::vector<uint64_t> ids;
  std::atomic<int64_t> lastAcceptNs{0};
  std::atomic<size_t> accepted{0};
  std::atomic<size_t> closed{0};
  std::atomic<size_t> bytes{0};
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 100;
  const bool keepAlive = argc > 3 && std::strcmp(argv[3], "keepalive") == 0;
  uint64_t limit = 0;
  platform::EnsureOpenFileLimit(static_cast<uint64_t>(count) + 100, &limit);
  if (limit < static_cast<uint64_t>(count) + 100) {
    std::fprintf(stderr, "descriptor limit %llu is too low for %d connections\n",
                 static_cast<unsigned long long>(limit), count);
    return 1;
  }

  long rssStart = ResidentKb();
  INetworkEndpoint* endpoint = nullptr;
  if (CreateNetworkEndpoint(&endpoint) != 0) return 1;
  RefPtr<ThreadContext> callbacks;
  callbacks.Attach(new ThreadContext(1000000, 0));
  Counters counters;
  endpoint->SetConnectionEventCallback(callbacks.Get(), [&](INetworkEndpoint::ConnectionEvent e,
                                                            INetworkEndpoint::ConnectionInfo info) {
    if (e == INetworkEndpoint::Accepted) {
      {
        std::lock_guard<std::mutex> g(counters.m);
        counters.ids.push_back(info.connectionId);
      }
      counters.lastAcceptNs = NowNs();
      ++counters.accepted;
    } else {
      ++counters.closed;
    }
  });
  endpoint->SetDataCallback(callbacks.Get(), [&](uint64_t, std::unique_ptr<uint8_t[]>, uint32_t size) {
    counters.bytes += size;
  });

  uint16_t port = 0;
  for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    socklen_t len = sizeof(sa);
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    close(s);
    if (endpoint->Initialize(ntohs(sa.sin_port), static_cast<uint32_t>(count), keepAlive) == 0) {
      port = ntohs(sa.sin_port);
    }
  }
  if (port == 0) return 1;
  long rssInitialized = ResidentKb();

  int control[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control);
  pid_t child = fork();
  if (child == 0) {
    close(control[0]);
    RunPeers(port, count, control[1]);
  }
  close(control[1]);

  auto waitFor = [](auto pred, int seconds) {
    int64_t deadline = NowNs() + static_cast<int64_t>(seconds) * 1000000000;
    while (!pred()) {
      if (NowNs() > deadline) return false;
      usleep(200);
    }
    return true;
  };

  // Accept storm.
  char go = 'G';
  int64_t acceptStart = NowNs();
  WriteAll(control[0], &go, 1);
  char connected = 0;
  ReadAll(control[0], &connected, 1);
  if (!waitFor([&] { return counters.accepted.load() == static_cast<size_t>(count); }, 60) ||
      !waitFor([&] { return counters.bytes.load() == static_cast<size_t>(count); }, 60)) {
    std::fprintf(stderr, "accepted only %zu\n", counters.accepted.load());
    return 1;
  }
  double acceptSeconds = static_cast<double>(counters.lastAcceptNs.load() - acceptStart) / 1e9;
  std::printf("accept storm: %d connections in %.3f s = %.0f accepts/s\n", count, acceptSeconds,
              count / acceptSeconds);

  long rssConnected = ResidentKb();
  std::vector<uint64_t> ids;
  {
    std::lock_guard<std::mutex> g(counters.m);
    ids = counters.ids;
  }
  std::sort(ids.begin(), ids.end());

  // Fan-out rounds.
  std::string message(kMessageSize, 'm');
  for (int fanOut : {1000, count}) {
    // Pings would be counted as fan-out bytes.
    if (fanOut > count || keepAlive) continue;
    std::vector<uint64_t> targets(ids.begin(), ids.begin() + fanOut);
    std::vector<double> ms;
    for (int round = 0; round < rounds; ++round) {
      uint32_t target = static_cast<uint32_t>(fanOut);
      WriteAll(control[0], &target, sizeof(target));
      auto data = std::make_unique<uint8_t[]>(kMessageSize);
      std::memcpy(data.get(), message.data(), kMessageSize);
      int64_t start = NowNs();
      endpoint->WriteToConnectionsAsync(targets, std::move(data), kMessageSize, 0);
      int64_t finished;
      ReadAll(control[0], &finished, sizeof(finished));
      ms.push_back(static_cast<double>(finished - start) / 1e6);
    }
    std::printf("fan-out of %zu bytes to %d connections: p50 %.3f ms, p99 %.3f ms (%d rounds)\n", kMessageSize,
                fanOut, Percentile(ms, 0.50), Percentile(ms, 0.99), rounds);
  }

  // Idle.
  double cpu0 = CpuSeconds();
  int64_t idle0 = NowNs();
  sleep(10);
  double idleCpu = CpuSeconds() - cpu0;
  double idleWall = static_cast<double>(NowNs() - idle0) / 1e9;
  std::printf("idle with %d open connections: %.2f%% of one core (%.3f s CPU in %.1f s)\n",
              count, 100.0 * idleCpu / idleWall, idleCpu, idleWall);

  std::printf("resident memory: %ld kB at start, %ld kB after Initialize(%d), %ld kB with %d connections "
              "= %.0f bytes per connection\n",
              rssStart, rssInitialized, count, rssConnected, count,
              1024.0 * static_cast<double>(rssConnected - rssInitialized) / count);

  uint32_t stop = 0;
  WriteAll(control[0], &stop, sizeof(stop));
  int status = 0;
  waitpid(child, &status, 0);
  waitFor([&] { return counters.closed.load() == static_cast<size_t>(count); }, 60);
  delete endpoint;
  callbacks->Stop();
  return 0;
}
