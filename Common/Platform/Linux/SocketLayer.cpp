#include "SocketLayer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

namespace corvane::platform {

static_assert(sizeof(PollEntry) == sizeof(pollfd));
static_assert(offsetof(PollEntry, fd) == offsetof(pollfd, fd));
static_assert(offsetof(PollEntry, events) == offsetof(pollfd, events));
static_assert(offsetof(PollEntry, revents) == offsetof(pollfd, revents));

// Linux reports POLLRDNORM/POLLWRNORM together with POLLIN/POLLOUT for TCP
// sockets; an eventfd reports only POLLIN, so the plain bits are used.
const int16_t kPollReadable = POLLIN;
const int16_t kPollWritable = POLLOUT;
const int16_t kPollError = POLLERR;
const int16_t kPollHangUp = POLLHUP;
const int16_t kPollInvalid = POLLNVAL;

namespace {

// IOV_MAX on Linux.
constexpr size_t kMaxGatherSlices = 1024;

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

int ReadAddress(int rc, const sockaddr_in& sa, uint32_t* address, uint16_t* port) {
  if (rc != 0) return -1;
  if (address) *address = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
  if (port) *port = sa.sin_family == AF_INET ? ntohs(sa.sin_port) : 0;
  return 0;
}

}  // namespace

int LastSocketError() { return errno; }
void ClearLastSocketError() { errno = 0; }

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool IsConnectionReset(int error) { return error == ECONNRESET; }

bool WasReset(SocketHandle socket) {
  // A reset closes the connection at once; a peer's FIN leaves it waiting
  // for this side's close.
  tcp_info info{};
  socklen_t length = sizeof(info);
  return ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_CLOSE;
}

bool IsConnectInProgress(int error) {
  // An interrupted non-blocking connect goes on in the background, exactly
  // like one that reported EINPROGRESS.
  return error == EINPROGRESS || error == EINTR || IsWouldBlock(error);
}

bool IsDescriptorExhaustion(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void IgnoreBrokenPipeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

SocketHandle CreateTcpSocket() {
  IgnoreBrokenPipeSignal();
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

int CloseSocket(SocketHandle socket) {
  if (socket < 0) return 0;
  // Linux releases the descriptor even when close reports EINTR; retrying
  // could close a descriptor another thread has just been given.
  int rc = ::close(socket);
  return (rc == 0 || errno == EINTR) ? 0 : -1;
}

int SetNonBlocking(SocketHandle socket, bool on) {
  int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) return -1;
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted == flags) return 0;
  return ::fcntl(socket, F_SETFL, wanted) == 0 ? 0 : -1;
}

int SetNoDelay(SocketHandle socket, bool on) {
  int value = on ? 1 : 0;
  return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) == 0 ? 0 : -1;
}

int SetReuseAddress(SocketHandle socket, bool on) {
  int value = on ? 1 : 0;
  return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &value, sizeof(value)) == 0 ? 0 : -1;
}

int GetTypeOfService(SocketHandle socket, int* tos) {
  int value = 0;
  socklen_t length = sizeof(value);
  if (::getsockopt(socket, IPPROTO_IP, IP_TOS, &value, &length) != 0) return -1;
  *tos = value;
  return 0;
}

int SetTypeOfService(SocketHandle socket, int tos) {
  return ::setsockopt(socket, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) == 0 ? 0 : -1;
}

bool IsPermissionDenied(int error) { return error == EPERM || error == EACCES; }

int Bind(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  return ::bind(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : -1;
}

int Listen(SocketHandle socket) { return ::listen(socket, SOMAXCONN) == 0 ? 0 : -1; }

int SetAcceptWhenReadable(SocketHandle socket, int seconds) {
  return ::setsockopt(socket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof(seconds)) == 0 ? 0 : -1;
}

SocketHandle Accept(SocketHandle listener, uint32_t* peerAddress, bool nonBlocking) {
  IgnoreBrokenPipeSignal();
  for (;;) {
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len, (nonBlocking ? SOCK_NONBLOCK : 0) | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (peerAddress) *peerAddress = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
      return fd;
    }
    if (errno != EINTR) return kInvalidSocket;
  }
}

int Connect(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  // Not retried on EINTR: a second connect on the same socket would report
  // EALREADY; the first one goes on in the background.
  return ::connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : -1;
}

int64_t Send(SocketHandle socket, const void* data, size_t size) {
  for (;;) {
    ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int64_t Receive(SocketHandle socket, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(socket, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int Shutdown(SocketHandle socket) { return ::shutdown(socket, SHUT_RDWR) == 0 ? 0 : -1; }

int ShutdownSend(SocketHandle socket) { return ::shutdown(socket, SHUT_WR) == 0 ? 0 : -1; }

int SetResetOnClose(SocketHandle socket) {
  const linger abort{1, 0};
  return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)) == 0 ? 0 : -1;
}

int64_t Peek(SocketHandle socket, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(socket, buffer, size, MSG_PEEK);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int64_t ReceiveAll(SocketHandle socket, void* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::recv(socket, static_cast<char*>(buffer) + got, size - got, MSG_WAITALL);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    // A signal cuts MSG_WAITALL short: the bytes so far stay counted.
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && got == 0) return -1;
    break;
  }
  return static_cast<int64_t>(got);
}

int64_t ReceiveNow(SocketHandle socket, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(socket, buffer, size, MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int64_t SendNow(SocketHandle socket, const void* data, size_t size) {
  for (;;) {
    ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int64_t SendGatherNow(SocketHandle socket, const SendSlice* slices, size_t count) {
  iovec pieces[kMaxGatherSlices];
  const size_t used = std::min(count, kMaxGatherSlices);
  for (size_t i = 0; i < used; ++i) {
    pieces[i].iov_base = const_cast<void*>(slices[i].data);
    pieces[i].iov_len = slices[i].size;
  }
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = used;
  for (;;) {
    const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void ConsumeSlices(SendSlice* slices, size_t count, size_t* next, uint64_t n) {
  for (; *next < count; ++*next) {
    SendSlice& slice = slices[*next];
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, slice.size));
    slice.data = static_cast<const uint8_t*>(slice.data) + take;
    slice.size -= take;
    n -= take;
    if (slice.size > 0) return;
  }
}

int SetReceiveTimeout(SocketHandle socket, uint32_t timeoutMs) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  return ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 ? 0 : -1;
}

namespace {

int WaitFor(SocketHandle socket, short events, int timeoutMs) {
  if (socket < 0) {
    errno = EBADF;
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd fd{socket, events, 0};
    int wait = timeoutMs;
    if (timeoutMs > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    const int rc = ::poll(&fd, 1, wait);
    if (rc > 0) {
      if (fd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
      }
      return 1;
    }
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int WaitReadable(SocketHandle socket, int timeoutMs) { return WaitFor(socket, POLLIN, timeoutMs); }
int WaitWritable(SocketHandle socket, int timeoutMs) { return WaitFor(socket, POLLOUT, timeoutMs); }

bool PeerHasClosed(SocketHandle socket) {
  pollfd fd{socket, POLLRDHUP, 0};
  int rc;
  do {
    rc = ::poll(&fd, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int ResolveIpv4(const std::string& name, uint32_t* address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) == 0 && list) {
    const auto* sa = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    *address = ntohl(sa->sin_addr.s_addr);
    ::freeaddrinfo(list);
    return 0;
  }
  if (list) ::freeaddrinfo(list);
  hostent entry;
  hostent* found = nullptr;
  int error = 0;
  std::vector<char> scratch(8192);
  while (::gethostbyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found, &error) == ERANGE &&
         scratch.size() < (1u << 20)) {
    scratch.resize(scratch.size() * 2);
  }
  if (!found || found->h_addrtype != AF_INET || !found->h_addr_list || !found->h_addr_list[0]) return -1;
  uint32_t raw = 0;
  std::memcpy(&raw, found->h_addr_list[0], sizeof(raw));
  *address = ntohl(raw);
  return 0;
}

int LocalHostName(std::string* name) {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof(buffer) - 1) != 0) return -1;
  *name = buffer;
  return 0;
}

int Poll(PollEntry* entries, size_t count, int timeoutMs) {
  auto* fds = reinterpret_cast<pollfd*>(entries);
  for (;;) {
    int rc = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
    if (rc >= 0) return rc;
    int error = errno;
    for (size_t i = 0; i < count; ++i) fds[i].revents = 0;
    // A signal cut the wait short; waiting the full time again at most
    // doubles one wait, which every caller tolerates.
    if (error != EINTR) {
      errno = error;
      return -1;
    }
  }
}

int GetPendingError(SocketHandle socket, int* error) {
  int value = 0;
  socklen_t len = sizeof(value);
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return -1;
  *error = value;
  return 0;
}

int GetPeerAddress(SocketHandle socket, uint32_t* address, uint16_t* port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  socklen_t len = sizeof(sa);
  return ReadAddress(::getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &len), sa, address, port);
}

int GetLocalAddress(SocketHandle socket, uint32_t* address, uint16_t* port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  socklen_t len = sizeof(sa);
  return ReadAddress(::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &len), sa, address, port);
}

uint16_t HostToNetwork16(uint16_t value) { return htons(value); }

bool EnsureOpenFileLimit(uint64_t wanted, uint64_t* limit) {
  rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
    if (limit) *limit = 0;
    return false;
  }
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= wanted) {
    if (limit) *limit = rl.rlim_cur;
    return true;
  }
  rlim_t target = (rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= wanted) ? static_cast<rlim_t>(wanted)
                                                                          : rl.rlim_max;
  rlimit raised = rl;
  raised.rlim_cur = target;
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl.rlim_cur = target;
  if (limit) *limit = rl.rlim_cur;
  return rl.rlim_cur >= wanted;
}

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
  if (fd_ >= 0) ::close(fd_);
}

void WakeSignal::Signal() {
  if (fd_ < 0) return;
  uint64_t one = 1;
  // A full counter (EAGAIN) is already readable, which is all a wake needs.
  while (::write(fd_, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void WakeSignal::Drain() {
  if (fd_ < 0) return;
  uint64_t value;
  while (::read(fd_, &value, sizeof(value)) < 0 && errno == EINTR) {
  }
}

static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR && EPOLLHUP == POLLHUP,
              "the poll bits are passed to epoll unchanged");

EventSet::EventSet() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

EventSet::~EventSet() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

int ControlEventSet(int set, int op, int fd, int16_t events, uint64_t key, bool oneShot) {
  epoll_event ev{};
  ev.events = (static_cast<uint16_t>(events) & (EPOLLIN | EPOLLOUT)) | (oneShot ? EPOLLONESHOT : 0u);
  ev.data.u64 = key;
  return ::epoll_ctl(set, op, fd, &ev) == 0 ? 0 : -1;
}

}  // namespace

int EventSet::Add(int fd, int16_t events, uint64_t key, bool oneShot) {
  return ControlEventSet(fd_, EPOLL_CTL_ADD, fd, events, key, oneShot);
}

int EventSet::Modify(int fd, int16_t events, uint64_t key, bool oneShot) {
  return ControlEventSet(fd_, EPOLL_CTL_MOD, fd, events, key, oneShot);
}

int EventSet::Remove(int fd) {
  epoll_event unused{};
  return ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, &unused) == 0 ? 0 : -1;
}

int EventSet::Wait(Ready* out, int maxCount, int timeoutMs) {
  constexpr int kBatch = 256;
  epoll_event events[kBatch];
  int wanted = maxCount < kBatch ? maxCount : kBatch;
  int n = ::epoll_wait(fd_, events, wanted, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    out[i].key = events[i].data.u64;
    out[i].events = static_cast<int16_t>(events[i].events & (EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP));
  }
  return n;
}

}  // namespace corvane::platform
