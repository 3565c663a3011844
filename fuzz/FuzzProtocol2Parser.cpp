// The protocol-2 parser of one connection, fed random bytes in random
// deliveries. Each input is a run of (length byte, that many bytes) pairs; a
// length byte of 0 takes the rest of the input as one delivery.
//
// Checked after every delivery: no crash, a waiting parser holds less than
// one message and at most 4096 stream bytes, every byte appended is read
// once or dropped once, and the outcomes, records and bytes read match a
// plain reference reader written straight from the message layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Protocol2Messages.h"

namespace {

using corvane::talvenor::server::IDiscoveryService;
using corvane::talvenor::server::kMaxDiscoveryMessageSize;
using corvane::talvenor::server::Protocol2Parser;
using Outcome = Protocol2Parser::Outcome;
using DisplayInfo = IDiscoveryService::DisplayInfo;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
      abort();                                                            \
    }                                                                     \
  } while (0)

// The message layout read directly from a byte string.
class ReferenceReader {
 public:
  void Append(const uint8_t* data, size_t length) {
    if (!dropped_) buffer_.append(reinterpret_cast<const char*>(data), length);
  }

  Outcome Next(DisplayInfo* record) {
    while (true) {
      size_t left = buffer_.size() - position_;
      if (dropped_) return Outcome::Wait;
      if (state_ == 0) {
        if (left < 6) return Outcome::Wait;
        std::string code = buffer_.substr(position_, 6);
        Take(6);
        if (code == "CRVTDS") {
          state_ = 1;
        } else if (code != "CRVPNG") {
          dropped_ = true;
          return Outcome::InvalidStartCode;
        }
      } else if (state_ == 1) {
        if (left < 4) return Outcome::Wait;
        uint32_t size = U32(position_);
        Take(4);
        state_ = 0;
        if (size >= kMaxDiscoveryMessageSize) return Outcome::SizeTooLarge;
        expected_ = size;
        state_ = 2;
      } else {
        if (left < (expected_ == 0 ? 1 : expected_)) return Outcome::Wait;
        state_ = 0;
        uint8_t instruction = static_cast<uint8_t>(buffer_[position_]);
        Take(1);
        if (instruction == 2) return Outcome::Subscribe;
        if (instruction != 1) return Outcome::InvalidInstruction;
        if (!ReadRecord(record)) {
          // Everything unread goes; the next byte to arrive starts afresh.
          buffer_.clear();
          position_ = 0;
          return Outcome::RecordReadFailed;
        }
        return Outcome::Publish;
      }
    }
  }

  uint64_t consumed() const { return consumed_; }

 private:
  uint32_t U32(size_t at) const {
    return static_cast<uint8_t>(buffer_[at]) | (static_cast<uint8_t>(buffer_[at + 1]) << 8) |
           (static_cast<uint8_t>(buffer_[at + 2]) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(buffer_[at + 3])) << 24);
  }
  void Take(size_t n) {
    position_ += n;
    consumed_ += n;
  }
  bool ReadRecord(DisplayInfo* record) {
    size_t at = position_;
    auto have = [&](uint64_t n) { return buffer_.size() - at >= n; };
    if (!have(20)) return false;
    DisplayInfo out;
    out.id.Data1 = U32(at);
    out.id.Data2 = static_cast<uint16_t>(static_cast<uint8_t>(buffer_[at + 4]) |
                                         (static_cast<uint8_t>(buffer_[at + 5]) << 8));
    out.id.Data3 = static_cast<uint16_t>(static_cast<uint8_t>(buffer_[at + 6]) |
                                         (static_cast<uint8_t>(buffer_[at + 7]) << 8));
    std::memcpy(out.id.Data4, buffer_.data() + at + 8, 8);
    at += 16;
    uint32_t nameLength = U32(at);
    at += 4;
    if (!have(nameLength)) return false;
    out.name = buffer_.substr(at, nameLength);
    at += nameLength;
    if (!have(14)) return false;
    out.ipv4 = U32(at);
    out.port = static_cast<uint16_t>(static_cast<uint8_t>(buffer_[at + 4]) |
                                     (static_cast<uint8_t>(buffer_[at + 5]) << 8));
    out.flags = U32(at + 6);
    uint32_t appLength = U32(at + 10);
    at += 14;
    if (!have(appLength)) return false;
    out.appData = buffer_.substr(at, appLength);
    at += appLength;
    consumed_ += at - position_;
    position_ = at;
    *record = out;
    return true;
  }

  std::string buffer_;
  size_t position_ = 0;
  int state_ = 0;
  uint32_t expected_ = 0;
  bool dropped_ = false;
  uint64_t consumed_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Protocol2Parser parser;
  ReferenceReader reference;
  size_t at = 0;
  while (at < size) {
    size_t length = data[at++];
    if (length == 0 || length > size - at) length = size - at;
    parser.Append(data + at, static_cast<uint32_t>(length));
    reference.Append(data + at, length);
    at += length;
    while (true) {
      DisplayInfo record;
      DisplayInfo expectedRecord;
      Outcome outcome = parser.Next(&record);
      Outcome expected = reference.Next(&expectedRecord);
      CHECK(outcome == expected);
      CHECK(parser.TotalConsumed() == reference.consumed());
      if (outcome == Outcome::Publish) CHECK(record == expectedRecord);
      if (outcome == Outcome::Wait) break;
    }
    CHECK(parser.TotalAppended() == parser.TotalConsumed() + parser.TotalDropped() + parser.UnreadBytes());
    CHECK(parser.UnreadBytes() < kMaxDiscoveryMessageSize);
    CHECK(parser.StreamBytes() <= 4096);
  }
  return 0;
}
