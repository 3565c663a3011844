// Fan-out client for comparing the protocol-2 registry with Redis pub/sub,
// NATS and a bare fan-out server (bench/fanout_compare.sh runs them all).
//
// One publisher and N subscribers over loopback; the subscribers are read by
// several receiving threads (each with its own epoll set over a fixed share)
// so that the client is not itself the bottleneck. Each round the publisher
// sends one 105-byte message; the round's latency runs from just before that
// send until the last subscriber holds the whole message, and "first" until
// the first subscriber does. Prints one line:
//   <target> <subscribers> p50 <ms> p99 <ms> first50 <ms> rounds <n>
//
// Usage:
//   FanOutCompare client <service|redis|nats|bare> <port> <subscribers> <rounds> [threads=4]
//   FanOutCompare serve-bare <port> [threads=4]
//     a bare fan-out server: a connection that sends 'S' subscribes (answered
//     with 'k'); 105 bytes from one that sends 'P' go to every subscriber,
//     split over the sending threads, one send() per subscriber. This is the
//     client's floor: what it measures against a server that does nothing
//     else.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
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
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "Protocol2Messages.h"

namespace {

using Clock = std::chrono::steady_clock;
using corvane::UUID;
using corvane::talvenor::server::BuildPublishBytes;
using corvane::talvenor::server::IDiscoveryService;

constexpr size_t kPayload = 105;
const std::string kRedisConfirm = "*3\r\n$9\r\nsubscribe\r\n$2\r\nch\r\n:1\r\n";
const std::string kRedisMessageHead = "*3\r\n$7\r\nmessage\r\n$2\r\nch\r\n$105\r\n";
const std::string kNatsMessageHead = "MSG ch 1 105\r\n";

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "%s failed (errno %d: %s)\n", what, errno, std::strerror(errno));
  std::exit(1);
}

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

int Dial(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Die("connect");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd w{fd, POLLOUT, 0};
      poll(&w, 1, 1000);
      continue;
    }
    if (n <= 0) Die("send");
    p += n;
    size -= static_cast<size_t>(n);
  }
}
void SendAll(int fd, const std::string& s) { SendAll(fd, s.data(), s.size()); }

enum class Target { Service, Redis, Nats, Bare };

// One subscriber: counts whole messages and readiness in its own stream.
struct Subscriber {
  int fd = -1;
  // Service only: counts the messages about this display, skips the rest
  // (records of earlier runs in a new subscriber's initial list).
  uint32_t displayData1 = 0;
  std::string buffer;
  uint64_t messages = 0;
  bool ready = false;

  void Parse(Target target) {
    size_t at = 0;
    for (;;) {
      size_t left = buffer.size() - at;
      if (target == Target::Service) {
        if (left >= 6 && buffer.compare(at, 6, "CRVPNG") == 0) {
          at += 6;
          continue;
        }
        if (left < 10) break;
        uint32_t size;
        std::memcpy(&size, buffer.data() + at + 6, 4);
        if (left < 10 + size) break;
        uint32_t data1 = 0;
        if (size >= 5) std::memcpy(&data1, buffer.data() + at + 11, 4);
        if (data1 == displayData1) {
          ++messages;
          ready = true;
        }
        at += 10 + size;
      } else if (target == Target::Redis) {
        if (left >= kRedisConfirm.size() && buffer.compare(at, kRedisConfirm.size(), kRedisConfirm) == 0) {
          at += kRedisConfirm.size();
          ready = true;
          continue;
        }
        size_t whole = kRedisMessageHead.size() + kPayload + 2;
        if (left < whole) break;
        ++messages;
        at += whole;
      } else if (target == Target::Nats) {
        size_t end = buffer.find("\r\n", at);
        if (end == std::string::npos) break;
        if (buffer.compare(at, 4, "MSG ") == 0) {
          size_t whole = kNatsMessageHead.size() + kPayload + 2;
          if (left < whole) break;
          ++messages;
          at += whole;
          continue;
        }
        if (buffer.compare(at, 4, "PING") == 0) SendAll(fd, "PONG\r\n");
        if (buffer.compare(at, 4, "PONG") == 0) ready = true;
        at = end + 2;
      } else {
        if (!ready) {
          if (left < 1) break;
          ready = true;
          at += 1;
          continue;
        }
        if (left < kPayload) break;
        ++messages;
        at += kPayload;
      }
    }
    buffer.erase(0, at);
  }
};

// A receiving thread over a fixed share of the subscribers. For each round
// it records when the first and the last of its share held the message.
class ReceiveThread {
 public:
  ReceiveThread(Target target, std::vector<Subscriber*> share)
      : target_(target), share_(std::move(share)), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    for (Subscriber* s : share_) {
      fcntl(s->fd, F_SETFL, fcntl(s->fd, F_GETFL) | O_NONBLOCK);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = s;
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, s->fd, &ev) != 0) Die("epoll_ctl");
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~ReceiveThread() {
    stop_ = true;
    thread_.join();
    close(epoll_);
  }
  void SetTarget(uint64_t messages) { target_messages_.store(messages); }
  // Times for the given target, 0 until reached.
  int64_t FirstNs(uint64_t messages) const { return firstFor_.load() == messages ? firstNs_.load() : 0; }
  int64_t LastNs(uint64_t messages) const { return lastFor_.load() == messages ? lastNs_.load() : 0; }
  size_t Ready() const { return ready_.load(); }

 private:
  void Run() {
    epoll_event events[256];
    char chunk[65536];
    uint64_t counted = 0;  // the target `done` counts for
    size_t done = 0;
    while (!stop_) {
      int n = epoll_wait(epoll_, events, 256, 20);
      uint64_t want = target_messages_.load();
      if (want != counted) {
        // Once per target: who already holds it.
        counted = want;
        done = 0;
        for (Subscriber* s : share_) done += s->messages >= want;
      }
      for (int i = 0; i < n; ++i) {
        auto* s = static_cast<Subscriber*>(events[i].data.ptr);
        ssize_t got = recv(s->fd, chunk, sizeof chunk, 0);
        if (got <= 0) continue;
        s->buffer.append(chunk, static_cast<size_t>(got));
        uint64_t before = s->messages;
        bool wasReady = s->ready;
        s->Parse(target_);
        if (!wasReady && s->ready) ++ready_;
        if (want != 0 && before < want && s->messages >= want) {
          ++done;
          if (firstFor_.load() != want) {
            firstNs_ = NowNs();
            firstFor_ = want;
          }
        }
      }
      if (want != 0 && done == share_.size() && lastFor_.load() != want) {
        lastNs_ = NowNs();
        lastFor_ = want;
      }
    }
  }

  Target target_;
  std::vector<Subscriber*> share_;
  int epoll_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> target_messages_{0};
  std::atomic<int64_t> firstNs_{0};
  std::atomic<int64_t> lastNs_{0};
  std::atomic<uint64_t> firstFor_{0};
  std::atomic<uint64_t> lastFor_{0};
  std::atomic<size_t> ready_{0};
  std::thread thread_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  return true;
}

// The display this run publishes: new for every run of a long-lived
// registry.
uint32_t RunDisplayData1() {
  static const uint32_t data1 = 0xFA000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF);
  return data1;
}

std::string PublishBytes(Target target, uint32_t round) {
  std::string payload(kPayload, 'x');
  std::snprintf(payload.data(), 11, "%010u", round);
  payload[10] = 'x';
  switch (target) {
    case Target::Service: {
      IDiscoveryService::DisplayInfo record;
      record.id = UUID(RunDisplayData1(), 1, 1, 1);
      record.name = "Bench";
      record.ipv4 = 0x7F000001;
      record.port = 7000;
      record.flags = round;
      record.appData = std::string(55, 'x');
      std::vector<uint8_t> bytes = BuildPublishBytes(record);
      return std::string(bytes.begin(), bytes.end());
    }
    case Target::Redis:
      return "*3\r\n$7\r\nPUBLISH\r\n$2\r\nch\r\n$105\r\n" + payload + "\r\n";
    case Target::Nats:
      return "PUB ch 105\r\n" + payload + "\r\n";
    case Target::Bare:
      return payload;
  }
  return {};
}

int RunClient(Target target, const char* name, uint16_t port, int count, int rounds, int threads) {
  std::vector<std::unique_ptr<Subscriber>> subscribers;
  for (int i = 0; i < count; ++i) {
    auto s = std::make_unique<Subscriber>();
    s->fd = Dial(port);
    s->displayData1 = RunDisplayData1();
    switch (target) {
      case Target::Service:
        SendAll(s->fd, std::string("\x43\x52\x56\x54\x44\x53\x01\x00\x00\x00\x02", 11));
        break;
      case Target::Redis:
        SendAll(s->fd, "*2\r\n$9\r\nSUBSCRIBE\r\n$2\r\nch\r\n");
        break;
      case Target::Nats:
        SendAll(s->fd, "CONNECT {\"verbose\":false,\"pedantic\":false}\r\nSUB ch 1\r\nPING\r\n");
        break;
      case Target::Bare:
        SendAll(s->fd, "S");
        break;
    }
    subscribers.push_back(std::move(s));
  }
  int publisher = Dial(port);
  if (target == Target::Nats) SendAll(publisher, "CONNECT {\"verbose\":false,\"pedantic\":false}\r\n");
  if (target == Target::Bare) SendAll(publisher, "P");
  std::vector<std::unique_ptr<ReceiveThread>> receivers;
  for (int t = 0; t < threads; ++t) {
    std::vector<Subscriber*> share;
    for (size_t i = static_cast<size_t>(t); i < subscribers.size(); i += static_cast<size_t>(threads)) {
      share.push_back(subscribers[i].get());
    }
    receivers.push_back(std::make_unique<ReceiveThread>(target, std::move(share)));
  }
  auto drainPublisher = [&] {
    char sink[4096];
    while (recv(publisher, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  };
  uint32_t round = 0;
  uint64_t expected = 0;
  if (target == Target::Service) {
    // Every subscriber gets the first record once: in its initial list or
    // as a fan-out.
    for (auto& r : receivers) r->SetTarget(1);
    std::string first = PublishBytes(target, round++);
    SendAll(publisher, first);
    expected = 1;
  }
  if (!WaitFor([&] {
        size_t ready = 0;
        for (auto& r : receivers) ready += r->Ready();
        return ready == static_cast<size_t>(count);
      },
      30000)) {
    std::fprintf(stderr, "%s: subscribers not ready\n", name);
    return 1;
  }
  if (target == Target::Service &&
      !WaitFor([&] { return std::all_of(receivers.begin(), receivers.end(), [](auto& r) { return r->LastNs(1) != 0; }); },
               30000)) {
    std::fprintf(stderr, "%s: first record not delivered\n", name);
    return 1;
  }
  std::vector<double> last, first;
  for (int i = 0; i < rounds + 5; ++i) {
    ++expected;
    for (auto& r : receivers) r->SetTarget(expected);
    std::string bytes = PublishBytes(target, round++);
    int64_t start = NowNs();
    SendAll(publisher, bytes);
    bool done = WaitFor(
        [&] { return std::all_of(receivers.begin(), receivers.end(), [&](auto& r) { return r->LastNs(expected) != 0; }); },
        10000);
    if (!done) {
      std::fprintf(stderr, "%s: round %d timed out\n", name, i);
      return 1;
    }
    int64_t end = 0, firstAt = INT64_MAX;
    for (auto& r : receivers) {
      end = std::max(end, r->LastNs(expected));
      if (r->FirstNs(expected) != 0) firstAt = std::min(firstAt, r->FirstNs(expected));
    }
    drainPublisher();
    if (i < 5) continue;  // warm-up
    last.push_back(static_cast<double>(end - start) / 1e6);
    first.push_back(static_cast<double>(firstAt - start) / 1e6);
  }
  receivers.clear();
  for (auto& s : subscribers) close(s->fd);
  close(publisher);
  std::printf("%s %d p50 %.3f p99 %.3f first50 %.3f rounds %zu\n", name, count, Percentile(last, 0.5),
              Percentile(last, 0.99), Percentile(first, 0.5), last.size());
  return 0;
}

// ---- the bare fan-out server ----

int RunBare(uint16_t port, int threads) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener, 4096) != 0) Die("listen");
  fcntl(listener, F_SETFL, O_NONBLOCK);
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> subscribers;
  std::string message;
  uint64_t generation = 0;
  std::vector<std::thread> senders;
  for (int t = 0; t < threads; ++t) {
    senders.emplace_back([&, t] {
      uint64_t seen = 0;
      for (;;) {
        std::vector<int> mine;
        std::string bytes;
        {
          std::unique_lock<std::mutex> lock(m);
          cv.wait(lock, [&] { return generation != seen; });
          seen = generation;
          for (size_t i = static_cast<size_t>(t); i < subscribers.size(); i += static_cast<size_t>(threads)) {
            mine.push_back(subscribers[i]);
          }
          bytes = message;
        }
        for (int fd : mine) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    });
  }
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::vector<std::string> pending(65536);
  std::vector<char> role(65536, 0);
  epoll_event events[256];
  char chunk[4096];
  for (;;) {
    int n = epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == listener) {
        for (int c; (c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          ev.data.fd = c;
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
          role[static_cast<size_t>(c)] = 0;
          pending[static_cast<size_t>(c)].clear();
        }
        continue;
      }
      ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got <= 0) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        std::lock_guard<std::mutex> lock(m);
        subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), fd), subscribers.end());
        close(fd);
        continue;
      }
      std::string& in = pending[static_cast<size_t>(fd)];
      in.append(chunk, static_cast<size_t>(got));
      if (role[static_cast<size_t>(fd)] == 0) {
        role[static_cast<size_t>(fd)] = in[0];
        in.erase(0, 1);
        if (role[static_cast<size_t>(fd)] == 'S') {
          std::lock_guard<std::mutex> lock(m);
          subscribers.push_back(fd);
          send(fd, "k", 1, MSG_NOSIGNAL);
        }
      }
      while (role[static_cast<size_t>(fd)] == 'P' && in.size() >= kPayload) {
        std::lock_guard<std::mutex> lock(m);
        message = in.substr(0, kPayload);
        in.erase(0, kPayload);
        ++generation;
        cv.notify_all();
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve-bare" && argc > 2) {
    return RunBare(static_cast<uint16_t>(std::atoi(argv[2])), argc > 3 ? std::atoi(argv[3]) : 4);
  }
  if (mode == "client" && argc > 5) {
    std::string name = argv[2];
    Target target = name == "service" ? Target::Service
                    : name == "redis" ? Target::Redis
                    : name == "nats"  ? Target::Nats
                                      : Target::Bare;
    return RunClient(target, argv[2], static_cast<uint16_t>(std::atoi(argv[3])), std::atoi(argv[4]),
                     std::atoi(argv[5]), argc > 6 ? std::atoi(argv[6]) : 4);
  }
  std::fprintf(stderr,
               "usage: FanOutCompare client <service|redis|nats|bare> <port> <subscribers> <rounds> [threads]\n"
               "       FanOutCompare serve-bare <port> [threads]\n");
  return 2;
}
