// The sockets, poll and descriptor-limit calls that the network code uses,
// as thin functions over the operating system's TCP/IPv4 interface.
//
// Conventions: addresses and ports are in host byte order; a failing call
// returns -1 (or kInvalidSocket) and leaves the error in LastSocketError().
// Interrupted calls (EINTR) are retried inside. Every socket made here is
// close-on-exec, and sends never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::platform {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// One entry of a poll set; laid out exactly as the system's pollfd. An entry
// whose fd is negative is ignored by Poll.
struct PollEntry {
  int fd;
  int16_t events;
  int16_t revents;
};

// Requested/returned event bits of a PollEntry.
extern const int16_t kPollReadable;
extern const int16_t kPollWritable;
// Returned only.
extern const int16_t kPollError;
extern const int16_t kPollHangUp;
extern const int16_t kPollInvalid;

int LastSocketError();
void ClearLastSocketError();
// A non-blocking call that could not go on now (not an error).
bool IsWouldBlock(int error);
// The peer reset the connection (an abrupt but ordinary close).
bool IsConnectionReset(int error);
// True when the connection has been reset, also once another call on the
// socket (a send on another thread) has taken the reset's error: reads then
// see only an end of stream.
bool WasReset(SocketHandle socket);
// A non-blocking connect that is still under way.
bool IsConnectInProgress(int error);
// Too many descriptors, for this process or for the whole system.
bool IsDescriptorExhaustion(int error);

// SIGPIPE is ignored for the whole process (idempotent). Called by every
// socket creation here; exposed for code that gets sockets elsewhere.
void IgnoreBrokenPipeSignal();

// A new IPv4 TCP socket, close-on-exec.
SocketHandle CreateTcpSocket();
int CloseSocket(SocketHandle socket);
int SetNonBlocking(SocketHandle socket, bool on);
int SetNoDelay(SocketHandle socket, bool on);
int SetReuseAddress(SocketHandle socket, bool on);
// The IPv4 type-of-service byte of outgoing packets (DSCP << 2).
int GetTypeOfService(SocketHandle socket, int* tos);
int SetTypeOfService(SocketHandle socket, int tos);
// Setting a value was refused for lack of rights.
bool IsPermissionDenied(int error);

// address 0 binds every local address.
int Bind(SocketHandle socket, uint32_t address, uint16_t port);
// Backlog SOMAXCONN (the system's ceiling).
int Listen(SocketHandle socket);
// For a listener whose peers speak first: a connection is handed to Accept
// once its first bytes are there, so the thread that serves it never waits
// for them. A peer silent for `seconds` (rounded up to the system's
// retransmission steps) is handed over without bytes, so a silent peer
// still reaches the service, later.
int SetAcceptWhenReadable(SocketHandle socket, int seconds);
// A close-on-exec connection, non-blocking unless asked otherwise, or
// kInvalidSocket; *peerAddress (may be null) receives the peer's IPv4
// address.
SocketHandle Accept(SocketHandle listener, uint32_t* peerAddress, bool nonBlocking = true);
// 0 when connected at once; -1 otherwise (IsConnectInProgress tells a
// non-blocking connect that is still under way from a failure).
int Connect(SocketHandle socket, uint32_t address, uint16_t port);

// Bytes sent (> 0 unless size is 0), or -1.
int64_t Send(SocketHandle socket, const void* data, size_t size);
// Bytes received, 0 when the peer has closed, or -1.
int64_t Receive(SocketHandle socket, void* buffer, size_t size);

// Both directions; a thread blocked reading or writing the socket returns.
int Shutdown(SocketHandle socket);
// The sending direction only: queued bytes still go out, then the end of
// the stream; reading goes on.
int ShutdownSend(SocketHandle socket);
// Closing the socket then resets the connection and drops whatever was not
// sent yet, instead of leaving the system to deliver it after the close:
// for connections given up, whose unsent bytes would otherwise hold memory
// for as long as their peer takes nothing.
int SetResetOnClose(SocketHandle socket);
// Copies up to size queued bytes without consuming them (blocking as the
// socket is): the count, 0 when the peer has closed, or -1.
int64_t Peek(SocketHandle socket, void* buffer, size_t size);
// Waits for all size bytes (blocking sockets): size, fewer when the stream
// ended or a receive time-out ran out, or -1.
int64_t ReceiveAll(SocketHandle socket, void* buffer, size_t size);
// A receive that never blocks: the count, 0 when the peer has closed, or -1
// (IsWouldBlock when nothing is queued).
int64_t ReceiveNow(SocketHandle socket, void* buffer, size_t size);
// A send that never blocks, whatever the socket's mode: the count, or -1
// (IsWouldBlock tells a full send buffer).
int64_t SendNow(SocketHandle socket, const void* data, size_t size);
// One piece of a gathered send.
struct SendSlice {
  const void* data;
  size_t size;
};
// SendNow over several pieces in order, as one call (at most 1024 of them
// are looked at): the count sent from the front, or -1.
int64_t SendGatherNow(SocketHandle socket, const SendSlice* slices, size_t count);
// Takes n sent bytes off the front of slices[*next, count) and moves *next
// past every slice used up, empty ones included (n 0 only passes those).
void ConsumeSlices(SendSlice* slices, size_t count, size_t* next, uint64_t n);
// SO_RCVTIMEO in milliseconds; 0 waits without limit.
int SetReceiveTimeout(SocketHandle socket, uint32_t timeoutMs);

// Waits for one socket: 1 when ready (an error or hang-up counts as ready),
// 0 on time-out, -1 on failure. Interrupted waits go on for the rest of the
// time.
int WaitReadable(SocketHandle socket, int timeoutMs);
int WaitWritable(SocketHandle socket, int timeoutMs);
// True when the peer has shut down its sending side (or the socket failed):
// bytes still queued are all that will ever arrive.
bool PeerHasClosed(SocketHandle socket);

// The first IPv4 address of a host name in host order (getaddrinfo, then
// the reentrant gethostbyname); -1 when both fail, *address untouched.
int ResolveIpv4(const std::string& name, uint32_t* address);
// This computer's host name, or -1.
int LocalHostName(std::string* name);

// Number of entries with returned events, 0 on time-out, -1 on failure.
// returned events are cleared on failure, so no caller acts on stale ones.
// timeoutMs < 0 waits without limit.
int Poll(PollEntry* entries, size_t count, int timeoutMs);

// The pending error of a socket (SO_ERROR), cleared by reading; 0 when none.
int GetPendingError(SocketHandle socket, int* error);
int GetPeerAddress(SocketHandle socket, uint32_t* address, uint16_t* port);
int GetLocalAddress(SocketHandle socket, uint32_t* address, uint16_t* port);

// Host-to-network order of a 16-bit value (for log lines that print it).
uint16_t HostToNetwork16(uint16_t value);

// Raises the soft limit on open descriptors towards the hard limit so that
// at least `wanted` fit. Returns true when the limit now holds `wanted`;
// *limit (may be null) receives the soft limit in force afterwards.
bool EnsureOpenFileLimit(uint64_t wanted, uint64_t* limit);

// A level-triggered wake-up signal for a poll set: Signal makes Handle()
// readable until Drain. Signal is safe from any thread and never blocks.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  bool IsValid() const { return fd_ >= 0; }
  int Handle() const { return fd_; }
  void Signal();
  void Drain();

 private:
  int fd_;
};

// A readiness set over many descriptors (epoll), level-triggered: a wait
// costs what is ready, not what is registered. Each descriptor carries a
// caller's 64-bit key and the kPoll* bits it asks for; errors and hang-ups
// are always reported. A descriptor is registered at most once per set.
// Add, Modify, Remove and Wait may be called from any thread, also at once
// (several threads may wait on one set).
class EventSet {
 public:
  struct Ready {
    uint64_t key;
    int16_t events;
  };

  EventSet();
  ~EventSet();
  EventSet(const EventSet&) = delete;
  EventSet& operator=(const EventSet&) = delete;

  bool IsValid() const { return fd_ >= 0; }
  // 0, or -1 with LastSocketError().
  // oneShot: the descriptor is reported to one wait only, and then to none
  // until Modify arms it again, so that threads sharing the set never serve
  // one descriptor at the same time.
  int Add(int fd, int16_t events, uint64_t key, bool oneShot = false);
  int Modify(int fd, int16_t events, uint64_t key, bool oneShot = false);
  int Remove(int fd);
  // Up to maxCount ready descriptors into out: the count, 0 on time-out, -1
  // on failure. timeoutMs < 0 waits without limit; a signal ends the wait
  // early with 0.
  int Wait(Ready* out, int maxCount, int timeoutMs);

 private:
  int fd_;
};

}  // namespace corvane::platform
