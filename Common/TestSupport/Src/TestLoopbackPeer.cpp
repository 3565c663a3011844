#include "TestLoopbackPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <utility>

namespace corvane::test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is readable (data, EOF or error) before the deadline.
bool WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int n = poll(&entry, 1, MsLeft(deadline));
    if (n > 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && MsLeft(deadline) > 0) continue;
    return false;
  }
}

}  // namespace

LoopbackPeer::LoopbackPeer(LoopbackPeer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

LoopbackPeer& LoopbackPeer::operator=(LoopbackPeer&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

LoopbackPeer::~LoopbackPeer() { Close(); }

bool LoopbackPeer::Connect(uint16_t port, int timeoutMs, int receiveBufferBytes, uint32_t sourceIpv4) {
  Close();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  if (receiveBufferBytes > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  if (sourceIpv4 != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(sourceIpv4);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return false;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd entry{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    connected = poll(&entry, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0;
  }
  if (!connected) {
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  return true;
}

bool LoopbackPeer::Send(const void* data, size_t size) {
  if (fd_ < 0) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackPeer::ReceiveExactly(size_t n, std::vector<uint8_t>* out, int timeoutMs) {
  out->assign(n, 0);
  if (fd_ < 0) return n == 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  while (got < n) {
    if (!WaitReadable(fd_, deadline)) return false;
    ssize_t r = recv(fd_, out->data() + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

std::vector<uint8_t> LoopbackPeer::ReceiveFor(int ms) {
  std::vector<uint8_t> out;
  if (fd_ < 0) return out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  uint8_t buffer[65536];
  while (WaitReadable(fd_, deadline)) {
    ssize_t r = recv(fd_, buffer, sizeof buffer, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.insert(out.end(), buffer, buffer + r);
  }
  return out;
}

std::string LoopbackPeer::ReceiveText(size_t n, int timeoutMs) {
  std::string out;
  if (fd_ < 0) return out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<char> buffer(65536);
  while (out.size() < n && WaitReadable(fd_, deadline)) {
    ssize_t r = recv(fd_, buffer.data(), std::min(buffer.size(), n - out.size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buffer.data(), static_cast<size_t>(r));
  }
  return out;
}

bool LoopbackPeer::WaitClosed(int timeoutMs) {
  if (fd_ < 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buffer[65536];
  while (WaitReadable(fd_, deadline)) {
    ssize_t r = recv(fd_, buffer, sizeof buffer, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return true;
  }
  return false;
}

void LoopbackPeer::ShutdownWrite() {
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

size_t LoopbackPeer::SendUntilStalled(const std::function<void(size_t offset, uint8_t* out, size_t n)>& fill,
                                      size_t from, size_t limit, int stallMs, int deadlineMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  std::vector<uint8_t> chunk(65536);
  size_t offset = from;
  while (fd_ >= 0 && offset < limit && std::chrono::steady_clock::now() < until) {
    size_t n = std::min(chunk.size(), limit - offset);
    fill(offset, chunk.data(), n);
    ssize_t sent = ::send(fd_, chunk.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      offset += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, stallMs) == 0) break;
  }
  return offset;
}

void LoopbackPeer::ResetOnClose() {
  if (fd_ < 0) return;
  linger option{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

void LoopbackPeer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int LoopbackPeer::Release() { return std::exchange(fd_, -1); }

uint16_t PickFreePort() {
  // Below the kernel's ephemeral range (32768 and up), so no outgoing
  // connection of this or another process is handed the port between the
  // pick and its use; each process walks the range from its own starting
  // point, so suites run side by side seldom meet, and never hands out a
  // port twice in a row.
  constexpr uint32_t kFirst = 20000, kCount = 12000;
  static std::atomic<uint32_t> next{static_cast<uint32_t>(::getpid()) * 7919u};
  for (uint32_t attempt = 0; attempt < kCount; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(kFirst + next.fetch_add(1) % kCount);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (free) return port;
  }
  return 0;
}

}  // namespace corvane::test
