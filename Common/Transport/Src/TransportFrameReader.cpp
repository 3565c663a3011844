#include "TransportFrameReader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string>

#include "DataStream.h"
#include "Logger.h"
#include "Scheduler.h"
#include "TransportFrames.h"

namespace corvane {

namespace {

constexpr uint32_t kShortReadPauseMs = 10;
// First size of a body block; it doubles from there up to the frame's length.
constexpr uint32_t kInitialBodyBlock = 64 * 1024;

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

TransportFrameReader::TransportFrameReader(TransportMode mode, ITransportByteSource& source,
                                           ITransportFrameSink& sink)
    : mode_(mode), source_(source), sink_(sink), holder_(source) {
  Touch();
}

TransportFrameReader::~TransportFrameReader() { LeaveBudget(); }

void TransportFrameReader::LeaveBudget() {
  HeldBytesBudget::Process().Remove(&holder_);
  counted_ = false;
}

void TransportFrameReader::Count(uint64_t bytes) {
  // A first block is every connection's own; only what a peer makes a body
  // grow beyond it counts.
  if (bytes <= kInitialBodyBlock && !counted_) return;
  counted_ = bytes > kInitialBodyBlock;
  HeldBytesBudget::Process().Set(&holder_, counted_ ? bytes : 0, HeldBytesBudget::Kind::kUnfinished);
}

void TransportFrameReader::SetAddresses(uint32_t peerIpv4, uint32_t localIpv4) {
  peerIpv4_ = peerIpv4;
  localIpv4_ = localIpv4;
}

void TransportFrameReader::Touch() { lastActivityTime_.store(static_cast<uint64_t>(CurrentUtcTimeMs())); }

void TransportFrameReader::ReadPass() {
  if (mode_.framed) {
    ReadBinaryPass();
  } else if (mode_.handshake) {
    ReadTextPass();
  } else {
    ReadRawPass();
  }
}

bool TransportFrameReader::FindStartCode(const uint8_t (&code)[7], bool anyCase) {
  uint8_t window[kStartCodeSize];
  for (;;) {
    const int n = source_.Peek(window, static_cast<int>(kStartCodeSize));
    if (n < static_cast<int>(kStartCodeSize)) {
      // The rest stays queued for the next pass, which waits for more: a
      // peer that stalls inside a start code must not make this thread spin.
      source_.AwaitMore();
      return false;
    }
    if (anyCase) {
      for (uint8_t& c : window) c = static_cast<uint8_t>(std::toupper(c));
    }
    if (std::memcmp(window, code, kStartCodeSize) == 0) break;
    uint8_t skipped = 0;
    if (source_.Recv(&skipped, 1) != 1) return false;
  }
  // The start code itself: the peeked bytes are still queued.
  return source_.RecvExact(window, static_cast<int>(kStartCodeSize)) == static_cast<int>(kStartCodeSize);
}

void TransportFrameReader::ReadBinaryPass() {
  for (;;) {
    switch (readState_.load(std::memory_order_relaxed)) {
      case MESSAGE_HEADER_READ: {
        if (!FindStartCode(kBinaryStartCode, false)) return;
        uint8_t length[4];
        if (source_.RecvExact(length, 4) != 4) return;
        const uint32_t announced = LittleEndian32(length);
        // Dropped silently: the body is skipped by the next start-code search.
        if (announced > kMaxMessageBody) return;
        messageLength_ = announced;
        bytesReceived_ = 0;
        readState_.store(MESSAGE_TYPE_READ);
        break;
      }
      case MESSAGE_TYPE_READ: {
        uint8_t raw[16];
        RefPtr<IDataStream> typeStream;
        if (source_.RecvExact(raw, 16) != 16 || Failed(CreateDataStream(typeStream.Receive())) ||
            Failed(typeStream->Write(raw, 16)) || Failed(messageType_.Deserialize(typeStream.Get()))) {
          readState_.store(MESSAGE_HEADER_READ);
          return;
        }
        readState_.store(messageLength_ != 0 ? MESSAGE_BODY_READ : MESSAGE_DELIVER);
        break;
      }
      case MESSAGE_BODY_READ: {
        const uint32_t chunk = std::min(messageLength_ - bytesReceived_, kBodyReadChunk);
        if (!GrowBody(bytesReceived_ + chunk)) return;
        const int n = source_.Recv(messageBody_.get() + bytesReceived_, static_cast<int>(chunk));
        if (n < 1) {
          AbandonBody();
          return;
        }
        bytesReceived_ += static_cast<uint32_t>(n);
        if (bytesReceived_ >= messageLength_) readState_.store(MESSAGE_DELIVER);
        break;
      }
      default:
        Deliver();
        readState_.store(MESSAGE_HEADER_READ);
        return;
    }
  }
}

bool TransportFrameReader::GrowBody(uint32_t needed) {
  if (needed <= bodyCapacity_) return true;
  uint64_t capacity = std::max<uint64_t>({needed, uint64_t{bodyCapacity_} * 2, kInitialBodyBlock});
  capacity = std::min<uint64_t>(capacity, messageLength_);
  // Counted before it exists, old block included while both are held, so a
  // shed can come before the memory does.
  Count(capacity + bodyCapacity_);
  std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
  if (!grown) {
    LOG_SEVERE("MESSAGE_BODY_READ unable to new memory of size %d", static_cast<int>(messageLength_ + 16));
    AbandonBody();
    return false;
  }
  if (bytesReceived_ != 0) std::memcpy(grown.get(), messageBody_.get(), bytesReceived_);
  messageBody_ = std::move(grown);
  bodyCapacity_ = static_cast<uint32_t>(capacity);
  Count(bodyCapacity_);
  return true;
}

void TransportFrameReader::AbandonBody() {
  messageBody_.reset();
  bodyCapacity_ = 0;
  Count(0);
  bytesReceived_ = 0;
  readState_.store(MESSAGE_HEADER_READ);
  source_.Pause(kShortReadPauseMs);
}

void TransportFrameReader::Deliver() {
  // Only a whole frame is activity: a peer that stops inside one is silent.
  Touch();
  std::unique_ptr<uint8_t[]> body = std::move(messageBody_);
  bodyCapacity_ = 0;
  Count(0);
  RefPtr<IDataStream> stream;
  if (Failed(CreateDataStream(stream.Receive()))) return;
  if (messageLength_ != 0 && Succeeded(stream->AttachBuffer(body.get(), messageLength_))) body.release();
  if (messageType_ == KeepAliveConfigMessageType) {
    std::optional<uint32_t> interval;
    std::optional<uint32_t> timeout;
    uint32_t value = 0;
    if (Succeeded(stream->ReadUInt32(&value))) interval = value;
    if (Succeeded(stream->ReadUInt32(&value))) timeout = value;
    sink_.OnKeepAliveSettings(interval, timeout);
  } else if (messageType_ == KeepAliveMessageType) {
    sink_.OnKeepAlive();
  } else {
    sink_.OnMessage(messageType_, stream.Get());
  }
}

void TransportFrameReader::ReadTextPass() {
  for (;;) {
    if (!FindStartCode(kTextStartCode, true)) return;
    char text[kTextReadLimit + 1];
    uint32_t count = 0;
    bool ended = false;
    for (uint32_t reads = 0; reads < kTextReadLimit && !ended; ++reads) {
      uint8_t c = 0;
      if (source_.Recv(&c, 1) != 1) continue;
      text[count++] = static_cast<char>(c);
      ended = c == ';';
    }
    if (!ended) return;
    // The text is taken as a zero-terminated string: a NUL cuts it there.
    RefPtr<IDataStream> stream;
    if (Succeeded(BuildTextDelivery(std::string(text, strnlen(text, count)), stream.Receive()))) {
      sink_.OnMessage(UUID(), stream.Get());
    }
  }
}

void TransportFrameReader::ReadRawPass() {
  auto buffer = std::make_unique<uint8_t[]>(kRawReadSize);
  const int n = source_.Recv(buffer.get(), static_cast<int>(kRawReadSize));
  if (n < 1) return;
  RefPtr<IDataStream> record;
  if (Succeeded(BuildRawRecord(peerIpv4_, localIpv4_, buffer.get(), static_cast<uint32_t>(n), record.Receive()))) {
    sink_.OnMessage(UUID(), record.Get());
  }
}

}  // namespace corvane
