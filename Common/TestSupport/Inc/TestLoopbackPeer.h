// A blocking TCP peer on 127.0.0.1 for loopback tests. Every receive has a
// deadline, so a server that stays silent fails the test instead of hanging
// it. Not thread-safe: one test thread drives one peer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane::test {

class LoopbackPeer {
 public:
  LoopbackPeer() = default;
  // Adopts a connected socket (closed by this peer).
  explicit LoopbackPeer(int fd) : fd_(fd) {}
  LoopbackPeer(LoopbackPeer&& other) noexcept;
  LoopbackPeer& operator=(LoopbackPeer&& other) noexcept;
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;
  ~LoopbackPeer();

  // Connects to 127.0.0.1:port (closing any socket held before), with
  // TCP_NODELAY. receiveBufferBytes > 0 sets a small receive buffer before
  // connecting, so that a peer that stops reading backs the server up fast.
  // sourceIpv4 (host order, 0 = any) binds the local end first, so that
  // peers can come from different loopback addresses (127.0.0.0/8).
  bool Connect(uint16_t port, int timeoutMs = 5000, int receiveBufferBytes = 0, uint32_t sourceIpv4 = 0);

  // The whole buffer, or false.
  bool Send(const void* data, size_t size);
  bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }
  bool Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }

  // Exactly n bytes into *out (replaced), or false on deadline or close.
  bool ReceiveExactly(size_t n, std::vector<uint8_t>* out, int timeoutMs = 5000);
  // Whatever arrives within ms (stops early when the server closes).
  std::vector<uint8_t> ReceiveFor(int ms);
  // Up to n bytes, stopping early at the deadline or the server's close.
  std::string ReceiveText(size_t n, int timeoutMs = 10000);
  std::string ReceiveText(size_t n, std::chrono::milliseconds timeout) {
    return ReceiveText(n, static_cast<int>(timeout.count()));
  }
  // True once the server has closed (EOF or reset); bytes before the close
  // are discarded.
  bool WaitClosed(int timeoutMs = 5000);
  bool WaitClosed(std::chrono::milliseconds timeout) { return WaitClosed(static_cast<int>(timeout.count())); }

  // Half-close: the server reads EOF while this peer can still receive.
  void ShutdownWrite();
  // Offers bytes without blocking, from stream offset `from` up to `limit`
  // (fill writes the bytes of [offset, offset + n) into out), until all are
  // taken, the socket stays full for stallMs (the server stopped reading),
  // the deadline passes or the connection fails. Returns the new offset.
  size_t SendUntilStalled(const std::function<void(size_t offset, uint8_t* out, size_t n)>& fill, size_t from,
                          size_t limit, int stallMs, int deadlineMs);
  // Closing then sends a reset instead of a FIN.
  void ResetOnClose();
  void Close();
  // Gives up ownership of the socket.
  int Release();
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A TCP port that was free a moment ago, outside the ephemeral range, for
// servers that must be given a port number (0 when none could be had).
uint16_t PickFreePort();

}  // namespace corvane::test
