#include "Protocol2Messages.h"

#include <algorithm>
#include <cstring>

#include "DataStream.h"

namespace corvane::talvenor::server {

const std::string kDiscoveryStartCode = "CRVTDS";
const std::string kDiscoveryPingCode = "CRVPNG";

namespace {

// Unread bytes are carried into a fresh stream once the stream holds more
// than this, so a long-lived connection does not keep every byte it sent.
constexpr uint32_t kCompactionThreshold = 4096;

std::vector<uint8_t> StreamBytes(IDataStream* stream) {
  uint32_t size = 0;
  stream->GetSize(&size);
  std::vector<uint8_t> bytes(size);
  if (size != 0 && stream->Read(bytes.data(), size) < 0) bytes.clear();
  return bytes;
}

}  // namespace

uint64_t PublishMessageSize(const IDiscoveryService::DisplayInfo& record) {
  // The instruction byte and the record: 1 + 34 + strings.
  return 35 + static_cast<uint64_t>(record.name.size()) + record.appData.size();
}

std::vector<uint8_t> BuildPublishBytes(const IDiscoveryService::DisplayInfo& record) {
  const uint64_t size = PublishMessageSize(record);
  if (size >= kMaxDiscoveryMessageSize) return {};
  RefPtr<IDataStream> stream;
  if (CreateDataStream(stream.Receive()) < 0) return {};
  stream->Write(kDiscoveryStartCode.data(), static_cast<uint32_t>(kDiscoveryStartCode.size()));
  stream->WriteUInt32(static_cast<uint32_t>(size));
  stream->WriteUInt8(DiscoveryInstruction_Publish);
  record.Serialize(stream.Get());
  return StreamBytes(stream.Get());
}

std::vector<uint8_t> BuildRemoveBytes(const UUID& id) {
  RefPtr<IDataStream> stream;
  if (CreateDataStream(stream.Receive()) < 0) return {};
  stream->Write(kDiscoveryStartCode.data(), static_cast<uint32_t>(kDiscoveryStartCode.size()));
  stream->WriteUInt32(17);
  stream->WriteUInt8(DiscoveryInstruction_Remove);
  id.Serialize(stream.Get());
  return StreamBytes(stream.Get());
}

void Protocol2Parser::Append(const uint8_t* data, uint32_t length) {
  totalAppended_ += length;
  if (dropped_) {
    totalDropped_ += length;
    return;
  }
  if (!receiveStream_ && CreateNetworkDataStreamV1(receiveStream_.Receive()) < 0) {
    totalDropped_ += length;
    return;
  }
  if (written_ > kCompactionThreshold) Compact();
  if (length != 0 && receiveStream_->Write(data, length) >= 0) {
    written_ += length;
  } else {
    totalDropped_ += length;
  }
}

void Protocol2Parser::Compact() {
  std::string remainder;
  uint32_t length = 0;
  receiveStream_->ReadRemaining(&remainder, &length);
  RefPtr<IDataStreamV1> fresh;
  if (CreateNetworkDataStreamV1(fresh.Receive()) < 0) return;
  if (length != 0) fresh->Write(remainder.data(), length);
  receiveStream_ = std::move(fresh);
  written_ = length;
  position_ = 0;
}

void Protocol2Parser::Reset() {
  totalDropped_ += written_ - position_;
  receiveStream_.Reset();
  written_ = 0;
  position_ = 0;
  parserState_ = ParserState_StartCode;
  expectedSize_ = 0;
}

Protocol2Parser::Outcome Protocol2Parser::WaitForMore() {
  // An idle connection keeps at most the threshold, not its last delivery.
  if (written_ > kCompactionThreshold) Compact();
  return Outcome::Wait;
}

bool Protocol2Parser::Read(void* out, uint32_t length) {
  uint32_t received = 0;
  receiveStream_->ReadBytes(out, length, &received);
  position_ += received;
  totalConsumed_ += received;
  return received == length;
}

Protocol2Parser::Outcome Protocol2Parser::Next(IDiscoveryService::DisplayInfo* record) {
  if (dropped_ || !receiveStream_) return Outcome::Wait;
  while (true) {
    switch (parserState_) {
      case ParserState_StartCode: {
        if (UnreadBytes() < kDiscoveryStartCodeLength) return WaitForMore();
        char code[kDiscoveryStartCodeLength];
        Read(code, kDiscoveryStartCodeLength);
        if (std::memcmp(code, kDiscoveryStartCode.data(), kDiscoveryStartCodeLength) == 0) {
          parserState_ = ParserState_Size;
        } else if (std::memcmp(code, kDiscoveryPingCode.data(), kDiscoveryStartCodeLength) != 0) {
          Reset();
          dropped_ = true;
          return Outcome::InvalidStartCode;
        }
        break;
      }
      case ParserState_Size: {
        if (UnreadBytes() < 4) return WaitForMore();
        uint8_t bytes[4];
        Read(bytes, 4);
        uint32_t size = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
        if (size >= kMaxDiscoveryMessageSize) {
          parserState_ = ParserState_StartCode;
          expectedSize_ = 0;
          return Outcome::SizeTooLarge;
        }
        expectedSize_ = size;
        parserState_ = ParserState_Body;
        break;
      }
      case ParserState_Body: {
        // A size of 0 still announces an instruction byte: wait for it too.
        if (UnreadBytes() < std::max<uint32_t>(expectedSize_, 1)) return WaitForMore();
        parserState_ = ParserState_StartCode;
        expectedSize_ = 0;
        uint8_t instruction = 0;
        if (!Read(&instruction, 1)) {
          Reset();
          return Outcome::InstructionReadFailed;
        }
        if (instruction == DiscoveryInstruction_Subscribe) return Outcome::Subscribe;
        if (instruction != DiscoveryInstruction_Publish) return Outcome::InvalidInstruction;
        *record = IDiscoveryService::DisplayInfo();
        if (record->Deserialize(receiveStream_.Get()) < 0) {
          Reset();
          return Outcome::RecordReadFailed;
        }
        uint32_t position = position_;
        receiveStream_->GetPosition(&position);
        totalConsumed_ += position - position_;
        position_ = position;
        return Outcome::Publish;
      }
    }
  }
}

}  // namespace corvane::talvenor::server
