// The byte primitives a transport connection reads and writes with, so that
// the handshake and frame codec runs over a plain socket, a TLS session or a
// test double alike. One reader thread uses the read side; writers are
// serialised by the connection.
#pragma once

#include <cstdint>

namespace corvane {

class ITransportByteSource {
 public:
  virtual ~ITransportByteSource() = default;
  // Copies up to size queued bytes without consuming them: the count, 0 on
  // a closed stream, or -1.
  virtual int Peek(uint8_t* buffer, int size) = 0;
  // Consumes up to size bytes: the count, 0 on a closed stream, or -1.
  virtual int Recv(uint8_t* buffer, int size) = 0;
  // Waits for all size bytes: size, or fewer (or -1) when the stream ended
  // or failed first.
  virtual int RecvExact(uint8_t* buffer, int size) = 0;
  // Sends some of the bytes: the count (at least 1), or 0 / -1 on failure.
  virtual int Send(const uint8_t* data, int size) = 0;
  // True when a read would not block within timeoutMs.
  virtual bool WaitReadable(uint32_t timeoutMs) = 0;
  // The error code of the last failed call, for log lines.
  virtual int LastError() = 0;
  // Backs off after a read that came up short, so that a peer stalled in
  // the middle of a frame does not make the reader spin.
  virtual void Pause(uint32_t ms) = 0;
  // The bytes queued do not complete what the reader looks for: the next
  // pass should wait for more of them rather than run again at once. By
  // default a short pause.
  virtual void AwaitMore() { Pause(10); }
  // Ends the stream from another thread, so that a read blocked in it
  // returns; never blocks.
  virtual void Abort() {}
};

}  // namespace corvane
