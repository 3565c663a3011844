// Endpoint clean-up under churn: `cycles` times (default 20), `connections`
// peers (default 10000) connect, say one byte, get one 100-byte fan-out
// write and close. After each cycle it prints the endpoint process's open
// descriptors and resident memory; it fails (exit 1) unless the descriptor
// count is back to its starting value after every cycle and resident
// memory after the last cycle is within 5 % of that after the first.
//
// The peers live in a child process per cycle, so each process stays within
// a 20000-descriptor limit.
//
// Usage: EndpointCyclesBench [connections] [cycles]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchLoopbackPeers.h"
#include "ProcessStatistics.h"
#include "SocketLayer.h"
#include "TestWait.h"
#include "NetworkEndpoint.h"
#include "ThreadContext.h"

using namespace corvane;

namespace {

constexpr size_t kMessageSize = 100;

long ResidentKb() { return static_cast<long>(platform::GetProcessWorkingSetBytes() / 1024); }

using bench::Die;

char Await(int control, int timeoutMs = 60000) {
  pollfd p{control, POLLIN, 0};
  char c = 0;
  if (poll(&p, 1, timeoutMs) <= 0 || read(control, &c, 1) != 1) return 0;
  return c;
}

void Say(int control, char c) {
  if (write(control, &c, 1) != 1) Die("control write");
}

[[noreturn]] void RunPeers(uint16_t port, int count, int control) {
  std::vector<int> fds = bench::ConnectPeers(port, count, 1000);
  Say(control, 'C');
  if (Await(control) != 'R') Die("command R");
  int ep = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < fds.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev) != 0) Die("epoll_ctl");
  }
  std::vector<size_t> got(fds.size(), 0);
  std::vector<epoll_event> events(4096);
  size_t complete = 0;
  char buffer[256];
  while (complete < fds.size()) {
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 20000);
    if (n <= 0) Die("epoll_wait");
    for (int k = 0; k < n; ++k) {
      uint32_t i = events[static_cast<size_t>(k)].data.u32;
      ssize_t r = recv(fds[i], buffer, sizeof(buffer), 0);
      if (r <= 0) Die("recv");
      got[i] += static_cast<size_t>(r);
      if (got[i] == kMessageSize) {
        ++complete;
        epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
      }
    }
  }
  Say(control, 'D');
  if (Await(control) != 'X') Die("command X");
  for (int fd : fds) close(fd);
  close(ep);
  Say(control, 'E');
  _exit(0);
}

struct Counters {
  std::mutex m;
  std::vector<uint64_t> ids;
  std::atomic<size_t> closed{0};
  std::atomic<size_t> errors{0};
  std::atomic<size_t> bytes{0};
};

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 20;
  uint64_t limit = 0;
  platform::EnsureOpenFileLimit(static_cast<uint64_t>(count) + 100, &limit);

  RefPtr<ThreadContext> callbacks;
  callbacks.Attach(new ThreadContext(1000000, 0));
  INetworkEndpoint* endpoint = nullptr;
  if (CreateNetworkEndpoint(&endpoint) != 0) return 1;
  Counters counters;
  endpoint->SetConnectionEventCallback(callbacks.Get(), [&](INetworkEndpoint::ConnectionEvent e,
                                                            INetworkEndpoint::ConnectionInfo info) {
    if (e == INetworkEndpoint::Accepted) {
      std::lock_guard<std::mutex> g(counters.m);
      counters.ids.push_back(info.connectionId);
    } else if (e == INetworkEndpoint::ClosedGracefully || e == INetworkEndpoint::ClosedOnError) {
      if (e == INetworkEndpoint::ClosedOnError) ++counters.errors;
      ++counters.closed;
    }
  });
  endpoint->SetDataCallback(callbacks.Get(),
                            [&](uint64_t, std::unique_ptr<uint8_t[]>, uint32_t size) { counters.bytes += size; });
  uint16_t port = 0;
  for (uint16_t candidate = 41000; candidate < 41100 && port == 0; ++candidate) {
    if (endpoint->Initialize(candidate, static_cast<uint32_t>(count), false) == 0) port = candidate;
  }
  if (port == 0) {
    std::fprintf(stderr, "no port\n");
    return 1;
  }
  const int descriptorsAtStart = platform::GetProcessHandleCount();
  std::printf("connections %d, cycles %d, descriptors at start %d, resident %ld KiB\n", count, cycles,
              descriptorsAtStart, ResidentKb());
  long residentFirst = 0, residentLast = 0;
  bool ok = true;
  std::string message(kMessageSize, 'm');
  for (int cycle = 1; cycle <= cycles && ok; ++cycle) {
    auto start = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> g(counters.m);
      counters.ids.clear();
    }
    counters.closed = 0;
    counters.bytes = 0;
    int control[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
      close(control[0]);
      RunPeers(port, count, control[1]);
    }
    close(control[1]);
    ok = Await(control[0]) == 'C' &&
         test::WaitUntil([&] { return counters.bytes.load() >= static_cast<size_t>(count); }, 60000);
    std::vector<uint64_t> ids;
    {
      std::lock_guard<std::mutex> g(counters.m);
      ids = counters.ids;
    }
    auto data = std::make_unique<uint8_t[]>(kMessageSize);
    std::memcpy(data.get(), message.data(), kMessageSize);
    ok = ok && ids.size() == static_cast<size_t>(count) &&
         endpoint->WriteToConnectionsAsync(ids, std::move(data), kMessageSize, 0) == 0;
    Say(control[0], 'R');
    ok = ok && Await(control[0]) == 'D';
    Say(control[0], 'X');
    ok = ok && Await(control[0]) == 'E' &&
         test::WaitUntil([&] { return counters.closed.load() >= static_cast<size_t>(count); }, 60000);
    int status = 0;
    waitpid(child, &status, 0);
    close(control[0]);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // The last close event is raised after the endpoint let the socket go;
    // the sending threads let go of theirs a moment later.
    test::WaitUntil([&] { return platform::GetProcessHandleCount() == descriptorsAtStart; }, 5000);
    int descriptors = platform::GetProcessHandleCount();
    long resident = ResidentKb();
    if (cycle == 1) residentFirst = resident;
    residentLast = resident;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("cycle %2d: %.2f s, descriptors %d, resident %ld KiB%s\n", cycle, seconds, descriptors, resident,
                descriptors == descriptorsAtStart ? "" : "  <- descriptors not back");
    std::fflush(stdout);
    if (descriptors != descriptorsAtStart) ok = false;
  }
  delete endpoint;
  callbacks->Stop();
  bool memoryOk = residentLast <= residentFirst + residentFirst / 20;
  std::printf("closed on error: %zu; resident after cycle 1: %ld KiB, after the last: %ld KiB (%+.1f %%)\n",
              counters.errors.load(), residentFirst, residentLast,
              residentFirst > 0 ? 100.0 * static_cast<double>(residentLast - residentFirst) / residentFirst : 0.0);
  std::printf("%s\n", ok && memoryOk ? "PASS" : "FAIL");
  return ok && memoryOk ? 0 : 1;
}
