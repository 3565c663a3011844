// Protocol-2 registry figures, measured over loopback TCP with one
// single-threaded epoll client:
//   - publish-to-subscriber latency (p50/p99) with 1, 100 and 1000
//     subscribers: from the publisher's write of a changed 105-byte record to
//     the moment the last subscriber has the whole message;
//   - publishes per second handled with 100 subscribers (every publish
//     delivered to every subscriber);
//   - the initial list of a new subscriber with 1000 publishers, and
//     GetDiscovered with 1000 publishers;
//   - one purge pass over 10000 closed publishers.
//
// Run by hand: Protocol2Bench [--external] [latency] [throughput] [initial]
// [purge] (all phases when none is named). By default the registry runs in
// this process (port 53202 must be free); --external measures a registry
// already running on 127.0.0.1:53202 and skips the in-process figures, and
// "Protocol2Bench serve" runs such a registry until its input ends, so that
// client and registry can be measured as separate processes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryServicePersistent.h"
#include "Protocol2Messages.h"
#include "Scheduler.h"

namespace {

using corvane::UUID;
using corvane::talvenor::server::BuildPublishBytes;
using corvane::talvenor::server::IDiscoveryService;
using Registry = corvane::talvenor::server::TalvenorDiscoveryServicePersistent;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const Bytes kSubscribe = {0x43, 0x52, 0x56, 0x54, 0x44, 0x53, 0x01, 0x00, 0x00, 0x00, 0x02};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// A 105-byte publish, as in the Redis comparison (45 + 5 + 55 bytes).
Bytes BenchPublish(const UUID& id, uint32_t flags) {
  IDiscoveryService::DisplayInfo record;
  record.id = id;
  record.name = "Bench";
  record.ipv4 = 0x7F000001;
  record.port = 7000;
  record.flags = flags;
  record.appData = std::string(55, 'x');
  return BuildPublishBytes(record);
}

int Dial() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    perror("socket");
    exit(1);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Registry::kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    perror("connect");
    exit(1);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void SendAll(int fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      perror("send");
      exit(1);
    }
    sent += static_cast<size_t>(n);
  }
}

// A connection read by the epoll loop; counts the whole messages (publish
// or removal) about displays whose id begins with `data1`, skips the rest.
struct Reader {
  int fd = -1;
  uint32_t data1 = 0;
  std::string buffer;
  size_t offset = 0;
  uint64_t messages = 0;

  void Parse() {
    while (true) {
      size_t left = buffer.size() - offset;
      if (left >= 6 && buffer.compare(offset, 6, "CRVPNG") == 0) {
        offset += 6;
        continue;
      }
      if (left < 10) break;
      uint32_t size;
      std::memcpy(&size, buffer.data() + offset + 6, 4);
      if (left < 10 + size) break;
      uint32_t id = 0;
      if (size >= 5) std::memcpy(&id, buffer.data() + offset + 11, 4);
      if (id == data1) ++messages;
      offset += 10 + size;
    }
    if (offset > 65536 || offset == buffer.size()) {
      buffer.erase(0, offset);
      offset = 0;
    }
  }
};

class Readers {
 public:
  ~Readers() {
    for (auto& r : readers_) close(r->fd);
    close(epoll_);
  }
  explicit Readers(uint32_t data1) : epoll_(epoll_create1(EPOLL_CLOEXEC)), data1_(data1) {}
  Reader* Add(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    readers_.push_back(std::make_unique<Reader>());
    Reader* reader = readers_.back().get();
    reader->fd = fd;
    reader->data1 = data1_;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = reader;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    return reader;
  }
  // Reads until every reader holds at least `count` messages or the
  // deadline passes; false on time-out.
  bool WaitAll(uint64_t count, Clock::time_point deadline, const std::function<void()>& onIdle = {}) {
    while (true) {
      size_t behind = 0;
      for (auto& r : readers_) behind += r->messages < count;
      if (behind == 0) return true;
      if (Clock::now() > deadline) return false;
      if (onIdle) onIdle();
      Poll(onIdle ? 0 : 100);
    }
  }
  void Poll(int timeoutMs) {
    epoll_event events[256];
    int n = epoll_wait(epoll_, events, 256, timeoutMs);
    char chunk[65536];
    for (int i = 0; i < n; ++i) {
      Reader* reader = static_cast<Reader*>(events[i].data.ptr);
      while (true) {
        ssize_t got = recv(reader->fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        reader->buffer.append(chunk, static_cast<size_t>(got));
      }
      reader->Parse();
    }
  }
  std::vector<std::unique_ptr<Reader>>& all() { return readers_; }

 private:
  int epoll_;
  uint32_t data1_;
  std::vector<std::unique_ptr<Reader>> readers_;
};

// Dials and subscribes the subscribers, then dials a publisher and sends
// the first record, which every subscriber gets exactly once: in its initial
// list when its subscribe was handled after the publish, else as a fan-out.
// The publisher, or -1 when the subscribers never got the record.
int Prepare(const UUID& id, int subscribers, Readers* readers, uint32_t* flags) {
  for (int i = 0; i < subscribers; ++i) {
    int fd = Dial();
    SendAll(fd, kSubscribe);
    readers->Add(fd);
  }
  int publisher = Dial();
  SendAll(publisher, BenchPublish(id, (*flags)++));
  if (!readers->WaitAll(1, Clock::now() + std::chrono::seconds(30))) {
    printf("  subscribers not ready\n");
    close(publisher);
    return -1;
  }
  return publisher;
}

void Latency(int subscribers) {
  UUID id(0xBE0C0000 + static_cast<uint32_t>(subscribers), 1, 1, 1);
  Readers readers(id.Data1);
  uint32_t flags = 0;
  const int publisher = Prepare(id, subscribers, &readers, &flags);
  if (publisher < 0) return;

  const int rounds = subscribers >= 1000 ? 300 : 1000;
  std::vector<double> latencies;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    SendAll(publisher, BenchPublish(id, flags++));
    if (!readers.WaitAll(static_cast<uint64_t>(round + 2), start + std::chrono::seconds(10))) {
      printf("  latency round %d timed out\n", round);
      break;
    }
    latencies.push_back(Ms(Clock::now() - start));
  }
  printf("publish -> all %4d subscribers: p50 %.3f ms, p99 %.3f ms (%zu rounds)\n", subscribers,
         Percentile(latencies, 0.5), Percentile(latencies, 0.99), latencies.size());
  close(publisher);
}

void Throughput(int subscribers, int publishes) {
  UUID id(0xBE0C0FFF, 2, 2, 1);
  Readers readers(id.Data1);
  uint32_t flags = 0;
  const int publisher = Prepare(id, subscribers, &readers, &flags);
  if (publisher < 0) return;

  Bytes stream;
  for (int i = 0; i < publishes; ++i) {
    Bytes one = BenchPublish(id, flags++);
    stream.insert(stream.end(), one.begin(), one.end());
  }
  fcntl(publisher, F_SETFL, fcntl(publisher, F_GETFL) | O_NONBLOCK);
  size_t sent = 0;
  auto start = Clock::now();
  bool done = readers.WaitAll(static_cast<uint64_t>(publishes) + 1, start + std::chrono::seconds(120), [&] {
    if (sent < stream.size()) {
      ssize_t n = send(publisher, stream.data() + sent, std::min<size_t>(stream.size() - sent, 65536), MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
  });
  double seconds = Ms(Clock::now() - start) / 1000;
  printf("publishes handled with %d subscribers: %.0f /s (%d publishes, %.2f s%s)\n", subscribers,
         publishes / seconds, publishes, seconds, done ? "" : ", TIMED OUT");
  close(publisher);
}

void InitialList(int publishers, Registry* registry) {
  std::vector<int> fds;
  for (int i = 0; i < publishers; ++i) {
    int fd = Dial();
    SendAll(fd, BenchPublish(UUID(0xBE0C1000, 3, 3, static_cast<uint64_t>(i)), 0));
    fds.push_back(fd);
  }
  std::vector<double> times;
  for (int round = 0; round < 20; ++round) {
    Readers readers(0xBE0C1000);
    int fd = Dial();
    Reader* reader = readers.Add(fd);
    // Until every publish was handled the list is short; wait for all of them.
    auto start = Clock::now();
    SendAll(fd, kSubscribe);
    if (!readers.WaitAll(static_cast<uint64_t>(publishers), start + std::chrono::seconds(20))) {
      printf("  initial list incomplete: %llu of %d\n", static_cast<unsigned long long>(reader->messages),
             publishers);
      continue;
    }
    if (round > 0) times.push_back(Ms(Clock::now() - start));  // the first one also waits for the publishes
  }
  printf("initial list of %d publishers to a new subscriber: p50 %.3f ms, p99 %.3f ms\n", publishers,
         Percentile(times, 0.5), Percentile(times, 0.99));
  if (registry) {
    std::vector<double> queries;
    for (int i = 0; i < 200; ++i) {
      std::vector<IDiscoveryService::DisplayInfo> list;
      auto start = Clock::now();
      registry->GetDiscovered(&list);
      queries.push_back(Ms(Clock::now() - start));
    }
    printf("GetDiscovered with %d publishers: p50 %.3f ms, p99 %.3f ms\n", publishers, Percentile(queries, 0.5),
           Percentile(queries, 0.99));
  }
  for (int fd : fds) close(fd);
}

std::string configurationFile;

void WriteConfiguration(uint32_t purgeTimeoutSeconds) {
  std::ofstream(configurationFile + ".new") << "PublisherPurgeTimeout=" << purgeTimeoutSeconds << "\n";
  std::filesystem::rename(configurationFile + ".new", configurationFile);
}

void PurgePass(int publishers) {
  WriteConfiguration(3600);
  auto registry = std::make_unique<Registry>(0);
  if (registry->Initialize() != 0) return;
  Readers readers(0xBE0C2000);
  int subscriber = Dial();
  SendAll(subscriber, kSubscribe);
  readers.Add(subscriber);
  constexpr int kBatch = 500;
  for (int first = 0; first < publishers; first += kBatch) {
    std::vector<int> fds;
    for (int i = first; i < std::min(publishers, first + kBatch); ++i) {
      int fd = Dial();
      SendAll(fd, BenchPublish(UUID(0xBE0C2000, 4, 4, static_cast<uint64_t>(i)), 0));
      fds.push_back(fd);
    }
    readers.WaitAll(static_cast<uint64_t>(std::min(publishers, first + kBatch)),
                    Clock::now() + std::chrono::seconds(30));
    for (int fd : fds) close(fd);
  }
  // Wait until every close has been seen, then let the time-out pass.
  size_t closed = 0;
  for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
    Registry::StateSnapshot state;
    registry->GetStateSnapshot(&state);
    closed = 0;
    for (auto id : state.publishers) closed += !state.connections.at(id).connected;
    if (closed == static_cast<size_t>(publishers)) break;
    readers.Poll(10);
  }
  printf("  %zu closed publishers before the pass\n", closed);
  uint32_t count = 0;
  // A time-out of 0 makes every closed publisher due at once. (Moving the
  // clock instead would also let the endpoint's keep-alive drop the
  // subscriber.)
  auto start = Clock::now();
  WriteConfiguration(0);
  registry->PurgeInactivepublishers();
  registry->GetConnectionCounts(&count, nullptr, nullptr, nullptr);
  double passMs = Ms(Clock::now() - start);
  bool removals = readers.WaitAll(static_cast<uint64_t>(publishers) * 2, Clock::now() + std::chrono::seconds(30));
  double deliveredMs = Ms(Clock::now() - start);
  printf("purge pass over %d closed publishers: %.2f ms (%u left); all removals delivered after %.2f ms%s\n",
         publishers, passMs, count, deliveredMs, removals ? "" : " (INCOMPLETE)");
}

}  // namespace

int main(int argc, char** argv) {
  bool external = false;
  std::vector<std::string> phases;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--external") == 0) {
      external = true;
    } else {
      phases.emplace_back(argv[i]);
    }
  }
  auto wanted = [&](const char* phase) {
    return phases.empty() || std::find(phases.begin(), phases.end(), phase) != phases.end();
  };
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  std::string root;
  std::unique_ptr<Registry> registry;
  if (!external) {
    // A configuration of its own, so that the machine's does not change the
    // figures: the default time-out.
    char pattern[] = "/tmp/tds-registry-bench-XXXXXX";
    root = mkdtemp(pattern);
    std::filesystem::create_directories(root + "/Corvane");
    configurationFile = root + "/Corvane/DirectoryService.conf";
    WriteConfiguration(60);
    setenv("CORVANE_REGISTRY_ROOT", root.c_str(), 1);
    registry = std::make_unique<Registry>(0);
    if (registry->Initialize() != 0) return 1;
  }
  if (!external && !phases.empty() && phases[0] == "serve") {
    // A registry for another process's --external run; ends at end of input.
    printf("registry listening on %u; press Ctrl-D to stop\n", Registry::kPort);
    fflush(stdout);
    while (getchar() != EOF) {
    }
    registry.reset();
    std::filesystem::remove_all(root);
    return 0;
  }
  if (wanted("latency")) {
    Latency(1);
    Latency(100);
    Latency(1000);
  }
  if (wanted("throughput")) Throughput(100, 20000);
  if (wanted("initial")) InitialList(1000, registry.get());
  registry.reset();
  if (!external) {
    if (wanted("purge")) PurgePass(10000);
    std::filesystem::remove_all(root);
  }
  return 0;
}
