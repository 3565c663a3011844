#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "CrashLog.h"
#include "Result.h"
#include "SocketLayer.h"
#include "SocketWrapper.h"

namespace corvane {

namespace {

constexpr int kOtherFamily = 1000;
constexpr int kOtherProtocol = 1000;
// Names that do not fit the 255-byte buffer with its terminator.
constexpr size_t kMaxHostName = 254;

int MapFamily(SocketFamily family) {
  if (family == SocketFamily_IPv4) return AF_INET;
  return family == SocketFamily_Other ? kOtherFamily : 0;
}
int MapType(SocketType type) { return type == SocketType_Datagram ? SOCK_DGRAM : SOCK_STREAM; }
int MapProtocol(SocketProtocol protocol) {
  switch (protocol) {
    case SocketProtocol_Tcp: return IPPROTO_TCP;
    case SocketProtocol_Udp: return IPPROTO_UDP;
    case SocketProtocol_Other: return kOtherProtocol;
  }
  return 0;
}

sockaddr_in ToAddress(const IPEndPoint& end) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(end.address);
  sa.sin_port = htons(end.port);
  return sa;
}

void FromAddress(const sockaddr_in& sa, IPEndPoint* end) {
  end->address = ntohl(sa.sin_addr.s_addr);
  end->port = ntohs(sa.sin_port);
}

int Check(int rc) { return rc == 0 ? Result_Ok : Result_Fail; }

bool IsWireless(const char* name) {
  struct stat info;
  const std::string base = std::string("/sys/class/net/") + name;
  return ::stat((base + "/wireless").c_str(), &info) == 0 || ::stat((base + "/phy80211").c_str(), &info) == 0;
}

class SocketImpl final : public ISocket, public IRefCountImpl {
 public:
  SocketImpl(SocketFamily family, SocketType type, SocketProtocol protocol, int fd = -1)
      : family_(family), type_(type), protocol_(protocol), fd_(fd) {}

  int Create() override {
    if (fd_ >= 0) Close();
    platform::IgnoreBrokenPipeSignal();
    fd_ = ::socket(MapFamily(family_), MapType(type_) | SOCK_CLOEXEC, MapProtocol(protocol_));
    if (fd_ < 0) return Result_Fail;
    if (protocol_ == SocketProtocol_Udp) platform::SetReuseAddress(fd_, true);
    return Result_Ok;
  }
  int DestroySocket() override { return Close(); }

  int Accept(ISocket** out) override {
    if (!out) return Result_InvalidPointer;
    if (fd_ < 0) return Result_Fail;
    int fd;
    do {
      fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Result_Fail;
    int domain = 0, type = 0, protocol = 0;
    socklen_t len = sizeof(int);
    ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len);
    len = sizeof(int);
    ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len);
    len = sizeof(int);
    ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len);
    const SocketProtocol mapped = protocol == IPPROTO_TCP   ? SocketProtocol_Tcp
                                  : protocol == IPPROTO_UDP ? SocketProtocol_Udp
                                  : protocol == kOtherProtocol ? SocketProtocol_Other
                                                               : SocketProtocol_Tcp;
    *out = new SocketImpl(domain == kOtherFamily ? SocketFamily_Other : SocketFamily_IPv4,
                          type == SOCK_DGRAM ? SocketType_Datagram : SocketType_Stream, mapped, fd);
    return Result_Ok;
  }

  int Close() override {
    if (fd_ >= 0) platform::CloseSocket(fd_);
    fd_ = -1;
    return Result_Ok;
  }
  int Shutdown() override { return fd_ < 0 ? Result_Fail : Check(platform::Shutdown(fd_)); }
  int Listen(int backlog) override { return fd_ < 0 ? Result_Fail : Check(::listen(fd_, backlog)); }

  int Send(const char* data, uint32_t length) override {
    if (fd_ < 0 || (!data && length)) return Result_Fail;
    const int64_t n = platform::Send(fd_, data, length);
    return n == static_cast<int64_t>(length) ? Result_Ok : Result_Fail;
  }
  int SendTo(const char* data, uint32_t length, const IPEndPoint& to) override {
    if (fd_ < 0 || (!data && length)) return Result_Fail;
    const sockaddr_in sa = ToAddress(to);
    ssize_t n;
    do {
      n = ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length) ? Result_Ok : Result_Fail;
  }

  int Receive(char* buffer, int size, int* received) override {
    return ReceiveFrom(buffer, size, received, nullptr);
  }
  int ReceiveFrom(char* buffer, int size, int* received, IPEndPoint* from) override {
    if (!buffer || !received) return Result_InvalidPointer;
    if (fd_ < 0 || size <= 0) return Result_Fail;
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    socklen_t len = sizeof(sa);
    ssize_t n;
    do {
      n = ::recvfrom(fd_, buffer, static_cast<size_t>(size), 0, from ? reinterpret_cast<sockaddr*>(&sa) : nullptr,
                     from ? &len : nullptr);
    } while (n < 0 && errno == EINTR);
    *received = static_cast<int>(n);
    if (n < 0) return Result_Fail;
    if (n < size) buffer[n] = 0;
    if (from) FromAddress(sa, from);
    return Result_Ok;
  }

  int Bind(const IPEndPoint& local) override {
    if (fd_ < 0) return Result_Fail;
    const sockaddr_in sa = ToAddress(local);
    return Check(::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)));
  }
  int BindAny() override { return Bind(IPEndPoint(0, 0)); }
  int Connect(const IPEndPoint& remote) override {
    if (fd_ < 0) return Result_Fail;
    return Check(platform::Connect(fd_, remote.address, remote.port));
  }
  int EnableBroadcast() override {
    if (fd_ < 0) return Result_Fail;
    int on = 1;
    return Check(::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)));
  }
  int WaitReadable(long seconds, long microseconds) override {
    if (fd_ < 0) return 1;
    const long long ms = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
    const int rc = platform::WaitReadable(fd_, ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms < 0 ? 0 : ms));
    return rc == 1 ? 0 : 1;
  }
  int GetLocalEndPoint(IPEndPoint* out) override {
    if (!out) return Result_InvalidPointer;
    if (fd_ < 0) return Result_Fail;
    return Check(platform::GetLocalAddress(fd_, &out->address, &out->port));
  }
  int GetRemoteEndPoint(IPEndPoint* out) override {
    if (!out) return Result_InvalidPointer;
    if (fd_ < 0) return Result_Fail;
    return Check(platform::GetPeerAddress(fd_, &out->address, &out->port));
  }
  int SetBlocking(bool blocking) override {
    if (fd_ < 0) return Result_Fail;
    return Check(platform::SetNonBlocking(fd_, !blocking));
  }
  int SetReceiveTimeout(int ms) override { return SetTimeout(SO_RCVTIMEO, ms); }
  int SetSendTimeout(int ms) override { return SetTimeout(SO_SNDTIMEO, ms); }
  int SetReceiveBufferSize(int bytes) override { return SetInt(SO_RCVBUF, bytes); }
  int GetReceiveBufferSize(int* bytes) override { return GetInt(SO_RCVBUF, bytes); }
  int SetSendBufferSize(int bytes) override { return SetInt(SO_SNDBUF, bytes); }
  int GetSendBufferSize(int* bytes) override { return GetInt(SO_SNDBUF, bytes); }

  int GetHostIpv4(const std::string& name, uint32_t* address) override {
    if (!address) return Result_InvalidPointer;
    if (name.size() > kMaxHostName) return Result_Fail;
    std::string lookup = name;
    if (lookup.empty() && platform::LocalHostName(&lookup) != 0) return Result_Fail;
    return platform::ResolveIpv4(lookup, address) == 0 ? Result_Ok : Result_Fail;
  }

  int GetLocalIpv4List(std::vector<uint32_t>* addresses) override {
    if (!addresses) return Result_InvalidPointer;
    addresses->clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return Result_Ok;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
        addresses->push_back(ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
      }
    }
    ::freeifaddrs(list);
    return Result_Ok;
  }

  int GetLocalIpv4WifiAddress(uint32_t* address) override {
    return CRASH_LOG_GUARD("corvane::SocketImpl::GetLocalIpv4WifiAddress", [&]() -> int {
      if (!address) return Result_InvalidPointer;
      ifaddrs* list = nullptr;
      if (::getifaddrs(&list) != 0) return Result_Fail;
      for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING) || !IsWireless(i->ifa_name)) continue;
        *address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        break;
      }
      ::freeifaddrs(list);
      return static_cast<int>(Result_Ok);
    });
  }

 private:
  ~SocketImpl() override { Close(); }

  int SetTimeout(int option, int ms) {
    if (fd_ < 0) return Result_Fail;
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return Check(::setsockopt(fd_, SOL_SOCKET, option, &tv, sizeof(tv)));
  }
  int SetInt(int option, int value) {
    if (fd_ < 0) return Result_Fail;
    return Check(::setsockopt(fd_, SOL_SOCKET, option, &value, sizeof(value)));
  }
  int GetInt(int option, int* value) {
    if (!value) return Result_InvalidPointer;
    if (fd_ < 0) return Result_Fail;
    socklen_t len = sizeof(*value);
    return Check(::getsockopt(fd_, SOL_SOCKET, option, value, &len));
  }

  const SocketFamily family_;
  const SocketType type_;
  const SocketProtocol protocol_;
  int fd_;
};

}  // namespace

int CreateSocket(ISocket** out, SocketFamily family, SocketType type, SocketProtocol protocol) {
  if (!out) return Result_InvalidPointer;
  auto* socket = new SocketImpl(family, type, protocol);
  *out = socket;
  return socket->Create();
}

}  // namespace corvane
