// The receiving half of a transport connection: finds start codes, reads
// binary frames, text frames or raw records from a byte source, and hands
// them to a sink. Used by one thread (the connection's receive thread);
// ReadState and LastActivityTime may be read from any thread.
//
// Memory: a binary body grows as its bytes arrive, never beyond the
// announced length, so an announced length costs nothing until the peer
// actually sends that much. Bodies past their first block count against the
// process's held-bytes budget; a reader shed by it aborts its source.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "ITransport.h"
#include "TransportByteSource.h"
#include "TransportHeldBytes.h"
#include "Uuid.h"

namespace corvane {

enum TransportReadState : int {
  MESSAGE_HEADER_READ = 0,
  MESSAGE_TYPE_READ = 1,
  MESSAGE_BODY_READ = 2,
  MESSAGE_DELIVER = 3,
};

class ITransportFrameSink {
 public:
  virtual ~ITransportFrameSink() = default;
  // A binary frame of any but the keep-alive types (the body), a text
  // message (nil type, one string) or a raw record (nil type). The reader
  // keeps its reference and releases it after the call.
  virtual void OnMessage(const UUID& messageType, IDataStream* data) = 0;
  // A settings frame; a value that the body did not hold is absent.
  virtual void OnKeepAliveSettings(std::optional<uint32_t> intervalMs, std::optional<uint32_t> timeoutMs) = 0;
  virtual void OnKeepAlive() = 0;
};

class TransportFrameReader {
 public:
  // source and sink must outlive the reader.
  TransportFrameReader(TransportMode mode, ITransportByteSource& source, ITransportFrameSink& sink);
  ~TransportFrameReader();
  TransportFrameReader(const TransportFrameReader&) = delete;
  TransportFrameReader& operator=(const TransportFrameReader&) = delete;

  // Host order; carried in every raw record.
  void SetAddresses(uint32_t peerIpv4, uint32_t localIpv4);

  // One pass of the mode's reader, run when at least one byte is readable.
  // Binary: at most one frame; text: frames back to back until a peek or a
  // start-code read comes back short; raw: one read. Every pass ends with
  // the reader at MESSAGE_HEADER_READ: a frame is read whole or abandoned.
  void ReadPass();

  int ReadState() const { return readState_.load(std::memory_order_relaxed); }
  // UTC ms of construction or of the last whole binary frame read.
  uint64_t LastActivityTime() const { return lastActivityTime_.load(std::memory_order_relaxed); }
  // No longer counted, and never again aborts the source; call once no
  // pass can run any more, before the source goes.
  void LeaveBudget();

 private:
  // Slides a 7-byte window to the next start code; false when the pass
  // must end (short peek or failed consume).
  bool FindStartCode(const uint8_t (&code)[7], bool anyCase);
  void ReadBinaryPass();
  void ReadTextPass();
  void ReadRawPass();
  bool GrowBody(uint32_t needed);
  void AbandonBody();
  void Deliver();
  void Touch();

  TransportMode mode_;
  ITransportByteSource& source_;
  ITransportFrameSink& sink_;
  uint32_t peerIpv4_ = 0;
  uint32_t localIpv4_ = 0;

  std::atomic<int> readState_{MESSAGE_HEADER_READ};
  std::atomic<uint64_t> lastActivityTime_{0};
  uint32_t messageLength_ = 0;
  uint32_t bytesReceived_ = 0;
  UUID messageType_;
  std::unique_ptr<uint8_t[]> messageBody_;
  uint32_t bodyCapacity_ = 0;

  class BudgetHolder final : public HeldBytesBudget::Holder {
   public:
    explicit BudgetHolder(ITransportByteSource& source) : source_(source) {}
    void Shed() override { source_.Abort(); }

   private:
    ITransportByteSource& source_;
  };
  BudgetHolder holder_;
  bool counted_ = false;
  void Count(uint64_t bytes);
};

}  // namespace corvane
