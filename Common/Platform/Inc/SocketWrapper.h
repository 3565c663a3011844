// A small object over one socket, with three address look-ups. Each
// operation returns 0 or Result_Fail (the system's error is not kept);
// operations on a closed socket fail without touching any descriptor. No
// locking: one thread uses a socket at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "RefCount.h"

namespace corvane {

// IPv4 address and port, both in host order.
struct IPEndPoint {
  IPEndPoint() = default;
  IPEndPoint(uint32_t a, uint16_t p) : address(a), port(p) {}
  virtual ~IPEndPoint() = default;
  uint32_t address = 0;
  uint16_t port = 0;
};

// 0 IPv4; 1 is passed on as the number 1000; anything else as 0.
enum SocketFamily : int { SocketFamily_IPv4 = 0, SocketFamily_Other = 1 };
enum SocketType : int { SocketType_Datagram = 0, SocketType_Stream = 1 };
// 0 TCP, 1 UDP; 2 is passed on as 1000; anything else as 0.
enum SocketProtocol : int { SocketProtocol_Tcp = 0, SocketProtocol_Udp = 1, SocketProtocol_Other = 2 };

class ISocket : public virtual IRefCount {
 public:
  // A UDP socket also gets SO_REUSEADDR.
  virtual int Create() = 0;
  // Same as Close (IRefCount already names Destroy).
  virtual int DestroySocket() = 0;
  // *out receives the accepted socket with one reference.
  virtual int Accept(ISocket** out) = 0;
  // Always 0.
  virtual int Close() = 0;
  virtual int Shutdown() = 0;
  virtual int Listen(int backlog) = 0;
  // 0 only when every byte went in one call.
  virtual int Send(const char* data, uint32_t length) = 0;
  virtual int SendTo(const char* data, uint32_t length, const IPEndPoint& to) = 0;
  // One receive; *received = its count (-1 on failure). After a short read
  // of n >= 0 bytes a zero byte is stored at buffer[n]. size <= 0 fails.
  virtual int Receive(char* buffer, int size, int* received) = 0;
  virtual int ReceiveFrom(char* buffer, int size, int* received, IPEndPoint* from) = 0;
  virtual int Bind(const IPEndPoint& local) = 0;
  virtual int BindAny() = 0;
  virtual int Connect(const IPEndPoint& remote) = 0;
  virtual int EnableBroadcast() = 0;
  // 0 when readable, 1 on time-out or failure.
  virtual int WaitReadable(long seconds, long microseconds) = 0;
  virtual int GetLocalEndPoint(IPEndPoint* out) = 0;
  virtual int GetRemoteEndPoint(IPEndPoint* out) = 0;
  virtual int SetBlocking(bool blocking) = 0;
  virtual int SetReceiveTimeout(int milliseconds) = 0;
  virtual int SetSendTimeout(int milliseconds) = 0;
  // SO_RCVBUF. The system may round the size (Linux doubles it).
  virtual int SetReceiveBufferSize(int bytes) = 0;
  virtual int GetReceiveBufferSize(int* bytes) = 0;
  virtual int SetSendBufferSize(int bytes) = 0;
  virtual int GetSendBufferSize(int* bytes) = 0;
  // Host order. An empty name means this computer; names of 255 characters
  // or more fail. On failure *address is untouched.
  virtual int GetHostIpv4(const std::string& name, uint32_t* address) = 0;
  // Every local IPv4 address, in the order the system gives them.
  virtual int GetLocalIpv4List(std::vector<uint32_t>* addresses) = 0;
  // The first IPv4 address of a wireless interface that is up and running;
  // 0 also when there is none (*address then untouched).
  virtual int GetLocalIpv4WifiAddress(uint32_t* address) = 0;
};

// *out is set (with one reference) even when Create fails; the caller
// releases it in either case. A null out gives Result_InvalidPointer.
int CreateSocket(ISocket** out, SocketFamily family, SocketType type, SocketProtocol protocol);

}  // namespace corvane
