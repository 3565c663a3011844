#include "TransportLoopbackSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "DeletionThread.h"
#include "NetworkTransportImpl.h"
#include "TransportFrames.h"

namespace corvane::test {

namespace {

int ListenLoopback(uint16_t* port, int receiveBufferBytes = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (receiveBufferBytes > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof(receiveBufferBytes));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(kLoopback);
  socklen_t len = sizeof(sa);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

// Queued on the deletion thread behind everything already there; its
// destruction says that all of that has been destroyed.
class DeletionMarker final : public IRefCountImpl {
 public:
  explicit DeletionMarker(std::shared_ptr<std::atomic<bool>> reached) : reached_(std::move(reached)) {}
  ~DeletionMarker() override { reached_->store(true); }

 private:
  std::shared_ptr<std::atomic<bool>> reached_;
};

}  // namespace

bool WaitTransportTeardown(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto left = [&] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, ms.count()));
  };
  if (!WaitUntil([] { return NetworkTransportImpl::LiveConnectionCount() == 0; }, left())) return false;
  // A destroyed connection queues the release of what it held, and those
  // destructors may queue more: two markers in turn see two levels through.
  for (int level = 0; level < 2; ++level) {
    auto reached = std::make_shared<std::atomic<bool>>(false);
    auto* marker = new DeletionMarker(reached);
    if (marker->DecrementRef() == 0) DeleteOnDeletionThread(marker);
    if (!WaitUntil([&] { return reached->load(); }, left())) return false;
  }
  return true;
}

uint16_t FreePort() { return PickFreePort(); }

FakeServer::FakeServer(Script script, int receiveBufferBytes) {
  listener_ = ListenLoopback(&port_, receiveBufferBytes);
  thread_ = std::thread([this, script = std::move(script)] {
    pollfd p{listener_, POLLIN, 0};
    for (int waited = 0; waited < 10000 && !stop_.load(); waited += 50) {
      if (::poll(&p, 1, 50) == 1) {
        LoopbackPeer peer(::accept(listener_, nullptr, nullptr));
        script(peer, stop_);
        return;
      }
    }
  });
}

FakeServer::~FakeServer() {
  stop_.store(true);
  thread_.join();
  ::close(listener_);
}

void Pump(int a, int b, const std::atomic<bool>& stop) {
  char buffer[65536];
  while (!stop.load()) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer, sizeof(buffer), 0);
      if (n <= 0) return;
      const int to = i == 0 ? b : a;
      for (ssize_t sent = 0; sent < n;) {
        const ssize_t m = ::send(to, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
        if (m <= 0) return;
        sent += m;
      }
    }
  }
}

namespace {

// Copies from one socket to the other until either ends or stop turns true;
// then closes both ways, as a dropped path would.
void Forward(int from, int to, const std::atomic<bool>& stop) {
  char buffer[65536];
  pollfd p{from, POLLIN, 0};
  while (!stop.load()) {
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(from, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    ssize_t sent = 0;
    while (sent < n) {
      const ssize_t m = ::send(to, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (m <= 0) break;
      sent += m;
    }
    if (sent < n) break;
  }
  ::shutdown(from, SHUT_RDWR);
  ::shutdown(to, SHUT_RDWR);
}

}  // namespace

TcpRelay::TcpRelay(uint16_t targetPort, uint32_t sourceIpv4) : target_(targetPort), source_(sourceIpv4) {
  listener_ = ListenLoopback(&port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TcpRelay::~TcpRelay() {
  stop_.store(true);
  acceptor_.join();
  for (auto& link : links_) {
    link->up.join();
    link->down.join();
    ::close(link->client);
    ::close(link->server);
  }
  ::close(listener_);
}

void TcpRelay::AcceptLoop() {
  pollfd p{listener_, POLLIN, 0};
  while (!stop_.load()) {
    if (::poll(&p, 1, 50) != 1) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (source_ != 0) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(source_);
      ::bind(server, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    sa.sin_port = htons(target_);
    if (::connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
      ::close(server);
      ::close(client);
      continue;
    }
    auto link = std::make_unique<Link>();
    link->client = client;
    link->server = server;
    link->up = std::thread([this, client, server] { Forward(client, server, stop_); });
    link->down = std::thread([this, client, server] { Forward(server, client, stop_); });
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back(std::move(link));
  }
}

int TcpRelay::Cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  int cut = 0;
  for (auto& link : links_) {
    if (link->cut) continue;
    link->cut = true;
    ::shutdown(link->client, SHUT_RDWR);
    ::shutdown(link->server, SHUT_RDWR);
    ++cut;
  }
  return cut;
}

std::string HandshakeBytes(const UUID& id, bool tls) { return BuildHandshake(id, tls); }

std::string Le64(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

std::string UuidBytes(const UUID& id) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  id.Serialize(s.Get());
  std::string out(16, '\0');
  s->Seek(0);
  s->Read(out.data(), 16);
  return out;
}

std::string ConnectRecord(const UUID& id, const UUID& instance, bool isReconnect) {
  return std::string(1, '\x04') + UuidBytes(id) + UuidBytes(instance) + std::string(1, isReconnect ? '\x01' : '\0');
}

}  // namespace corvane::test
