#include "TransportLoopbackSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

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

}  // namespace

uint16_t FreePort() {
  uint16_t port = 0;
  const int fd = ListenLoopback(&port);
  if (fd >= 0) ::close(fd);
  return port;
}

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

std::string HandshakeBytes(const UUID& id, bool tls) { return BuildHandshake(id, tls); }

}  // namespace corvane::test
