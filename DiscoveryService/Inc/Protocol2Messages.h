// The messages of discovery protocol 2 (TCP 53202) and the per-connection
// parser that reads them.
//
// Every message but the ping starts with the start code "CRVTDS", a u32
// little-endian size (the bytes after the size field) and an instruction
// byte:
//   publish   1  the display record (id, name, ipv4, port, flags, appData),
//                size 35 + name length + appData length
//   subscribe 2  nothing more; 11 bytes in all
//   remove    3  the display id; 27 bytes in all (sent by the registry only)
// The ping is the 6 bytes "CRVPNG" alone and is skipped wherever a start code
// is expected. The size only gates the body: a reader waits until that many
// bytes have arrived, then reads exactly what the instruction needs, and the
// next start code is expected right after it. Sizes of 1024 and more are
// rejected.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DataStreamV1.h"
#include "DisplayInfo.h"
#include "RefCount.h"
#include "Uuid.h"

namespace corvane::talvenor::server {

// The one start code of the process; writers take its bytes from here.
extern const std::string kDiscoveryStartCode;  // "CRVTDS"
extern const std::string kDiscoveryPingCode;   // "CRVPNG"

constexpr uint32_t kDiscoveryStartCodeLength = 6;
// A size field of this value or more is rejected.
constexpr uint32_t kMaxDiscoveryMessageSize = 1024;
constexpr uint32_t kRemoveMessageLength = 27;

enum DiscoveryInstruction : uint8_t {
  DiscoveryInstruction_Publish = 1,
  DiscoveryInstruction_Subscribe = 2,
  DiscoveryInstruction_Remove = 3,
};

enum ParserState : uint32_t {
  ParserState_StartCode = 0,
  ParserState_Size = 1,
  ParserState_Body = 2,
};

// The size field of a record's publish message (1 + 34 + the two strings).
uint64_t PublishMessageSize(const IDiscoveryService::DisplayInfo& record);
// Whether a reader takes the record's publish: its size field is below
// kMaxDiscoveryMessageSize.
inline bool FitsPublishMessage(const IDiscoveryService::DisplayInfo& record) {
  return PublishMessageSize(record) < kMaxDiscoveryMessageSize;
}

// The publish message of a record, as the registry sends it to subscribers.
// secondaryName is never carried. Empty for a record that does not fit:
// no reader would take it, and the bytes after its size field would be read
// as the next start code.
std::vector<uint8_t> BuildPublishBytes(const IDiscoveryService::DisplayInfo& record);

// The 27-byte removal message of a display id.
std::vector<uint8_t> BuildRemoveBytes(const UUID& id);

// Reads the messages of one connection as its bytes arrive. Append the bytes
// of each delivery, then call Next until it returns Wait: every complete
// message is handed out at once, and what stays unread when it waits is at
// most one incomplete message: fewer than kMaxDiscoveryMessageSize bytes.
// A record whose strings reach past the bytes received fails to read rather
// than waiting for them (the size field, not the strings, says how much to
// wait for).
//
// Not thread-safe: one connection's bytes are parsed on one thread.
class Protocol2Parser {
 public:
  enum class Outcome {
    // Needs more bytes.
    Wait,
    // A record was read into *record.
    Publish,
    Subscribe,
    // The 6 bytes where a start code belongs are neither "CRVTDS" nor
    // "CRVPNG". The connection is to be dropped; the parser takes nothing
    // more (Append is ignored and Next returns Wait).
    InvalidStartCode,
    // A size of kMaxDiscoveryMessageSize or more; the bytes after the size
    // field are read as the next start code.
    SizeTooLarge,
    // Cannot happen while the parser waits for the instruction byte; kept so
    // that a failed read is reported rather than misread.
    InstructionReadFailed,
    // An instruction other than publish or subscribe; the bytes after it are
    // read as the next start code.
    InvalidInstruction,
    // The record of a publish could not be read (the stream ended inside it).
    // Everything not yet read is dropped and the next byte that arrives is
    // expected to begin a start code.
    RecordReadFailed,
  };

  Protocol2Parser() = default;
  Protocol2Parser(const Protocol2Parser&) = delete;
  Protocol2Parser& operator=(const Protocol2Parser&) = delete;
  Protocol2Parser(Protocol2Parser&&) = default;
  Protocol2Parser& operator=(Protocol2Parser&&) = default;

  void Append(const uint8_t* data, uint32_t length);
  Outcome Next(IDiscoveryService::DisplayInfo* record);

  ParserState parserState() const { return parserState_; }
  uint32_t expectedSize() const { return expectedSize_; }
  // Bytes received and not yet read or dropped.
  uint32_t UnreadBytes() const { return written_ - position_; }
  // Bytes held by the receive stream (read ones included, until compaction).
  uint32_t StreamBytes() const { return written_; }
  // Running totals over the connection's life, for self-checks: every byte
  // appended is read once or dropped once.
  uint64_t TotalAppended() const { return totalAppended_; }
  uint64_t TotalConsumed() const { return totalConsumed_; }
  uint64_t TotalDropped() const { return totalDropped_; }

 private:
  // Moves the unread bytes into a fresh stream once the read ones pile up.
  void Compact();
  // Replaces the stream with an empty one, dropping every unread byte.
  void Reset();
  bool Read(void* out, uint32_t length);
  Outcome WaitForMore();

  ParserState parserState_ = ParserState_StartCode;
  uint32_t expectedSize_ = 0;
  RefPtr<IDataStreamV1> receiveStream_;
  // Mirrors of the stream's write and read positions, so that no step asks
  // the stream (whose queries fail while a failed read is pending).
  uint32_t written_ = 0;
  uint32_t position_ = 0;
  bool dropped_ = false;
  uint64_t totalAppended_ = 0;
  uint64_t totalConsumed_ = 0;
  uint64_t totalDropped_ = 0;
};

}  // namespace corvane::talvenor::server
