#include "DataStreamV1.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "LittleEndian.h"
#include "Result.h"

namespace corvane {

namespace {
constexpr uint64_t kMaxStreamSize = std::numeric_limits<uint32_t>::max();
}  // namespace

int CreateNetworkDataStreamV1(IDataStreamV1** out) {
  if (!out) return Result_InvalidPointer;
  *out = new NetworkDataStreamV1();
  return Result_Ok;
}

int NetworkDataStreamV1::StateResult() const { return failed_ ? Result_Fail : Result_Ok; }

int NetworkDataStreamV1::GetSize(uint32_t* out) {
  if (!out) return Result_InvalidPointer;
  // Position queries on a failed stream answer -1, and callers read that as
  // the signal to replace the stream; it is not an error result.
  if (failed_) {
    *out = 0xFFFFFFFFu;
    return Result_Ok;
  }
  if (data_.empty()) return Result_Ok;
  *out = static_cast<uint32_t>(data_.size());
  return Result_Ok;
}

int NetworkDataStreamV1::Append(const void* data, size_t length) {
  // A write on a failed stream appends nothing (and would add the bad bit,
  // which only ReadBytes and Rewind clear, as they clear everything).
  if (failed_) return Result_Fail;
  if (data_.size() + uint64_t{length} > kMaxStreamSize) {
    failed_ = true;
    return Result_Fail;
  }
  data_.append(static_cast<const char*>(data), length);
  return Result_Ok;
}

template <class T>
int NetworkDataStreamV1::WriteValue(T value) {
  uint8_t bytes[sizeof(T)];
  le::Store(bytes, value);
  return Append(bytes, sizeof bytes);
}

int NetworkDataStreamV1::WriteInt8(int8_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteUInt8(uint8_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteInt16(int16_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteUInt16(uint16_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteInt32(int32_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteUInt32(uint32_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteInt64(int64_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteUInt64(uint64_t value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteFloat(float value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteDouble(double value) { return WriteValue(value); }
int NetworkDataStreamV1::WriteBool(bool value) { return WriteValue<uint8_t>(value ? 1 : 0); }

int NetworkDataStreamV1::WriteString(const std::string& value) {
  if (failed_) return Result_Fail;
  // A length field that cannot hold the length would corrupt everything
  // after it; such a string is refused before anything is written.
  if (value.size() > kMaxStreamSize || data_.size() + uint64_t{4} + value.size() > kMaxStreamSize) {
    failed_ = true;
    return Result_Fail;
  }
  int result = WriteValue(static_cast<uint32_t>(value.size()));
  if (result < 0) return result;
  return Append(value.data(), value.size());
}

int NetworkDataStreamV1::Write(const void* data, uint32_t length) {
  if (!data && length > 0) return Result_InvalidPointer;
  if (length == 0) return StateResult();
  return Append(data, length);
}

template <class T>
int NetworkDataStreamV1::ReadValue(T* out) {
  if (!out) return Result_InvalidPointer;
  if (failed_) return Result_Fail;
  const size_t available = data_.size() - readPosition_;
  const auto* in = reinterpret_cast<const uint8_t*>(data_.data()) + readPosition_;
  if (available >= sizeof(T)) {
    *out = le::Load<T>(in);
    readPosition_ += sizeof(T);
    return Result_Ok;
  }
  // A short read stores the bytes it got over the low part of the value,
  // consumes them and fails the stream.
  if (available > 0) {
    uint8_t bytes[sizeof(T)];
    le::Store(bytes, *out);
    std::memcpy(bytes, in, available);
    *out = le::Load<T>(bytes);
  }
  readPosition_ += available;
  failed_ = true;
  return Result_Fail;
}

int NetworkDataStreamV1::ReadInt8(int8_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadUInt8(uint8_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadInt16(int16_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadUInt16(uint16_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadInt32(int32_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadUInt32(uint32_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadInt64(int64_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadUInt64(uint64_t* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadFloat(float* out) { return ReadValue(out); }
int NetworkDataStreamV1::ReadDouble(double* out) { return ReadValue(out); }

int NetworkDataStreamV1::ReadBool(bool* out) {
  if (!out) return Result_InvalidPointer;
  uint8_t byte = 0;
  int result = ReadValue(&byte);
  // A one-byte read is never partial: on failure nothing was stored.
  if (result == Result_Ok) *out = byte != 0;
  return result;
}

int NetworkDataStreamV1::ReadString(std::string* out) {
  if (!out) return Result_InvalidPointer;
  uint32_t length = 0;
  if (ReadValue(&length) < 0) {
    // The length field itself ran short: its bytes mean nothing, so nothing
    // is read after it and the stream keeps its failed state.
    out->clear();
    return Result_Fail;
  }
  // Only what the stream holds is taken (and allocated); a shorter string
  // than announced is the failure.
  const size_t available = data_.size() - readPosition_;
  const size_t count = std::min<size_t>(length, available);
  out->assign(data_, readPosition_, count);
  readPosition_ += count;
  failed_ = false;  // the byte read clears the state, as ReadBytes does
  return count == length ? Result_Ok : Result_Fail;
}

int NetworkDataStreamV1::ReadBytes(void* out, uint32_t length, uint32_t* received) {
  if ((!out && length > 0) || !received) return Result_InvalidPointer;
  size_t count = 0;
  if (!failed_) {
    count = std::min<size_t>(length, data_.size() - readPosition_);
    if (count > 0) std::memcpy(out, data_.data() + readPosition_, count);
    readPosition_ += count;
  }
  *received = static_cast<uint32_t>(count);
  failed_ = false;
  return Result_Ok;
}

int NetworkDataStreamV1::ReadRemaining(std::string* out, uint32_t* length) {
  if (!out || !length) return Result_InvalidPointer;
  const size_t from = failed_ ? 0 : readPosition_;
  out->assign(data_, from, std::string::npos);
  *length = static_cast<uint32_t>(out->size());
  return StateResult();
}

int NetworkDataStreamV1::GetPosition(uint32_t* out) {
  if (!out) return Result_InvalidPointer;
  if (failed_) return Result_Fail;
  *out = static_cast<uint32_t>(readPosition_);
  return Result_Ok;
}

int NetworkDataStreamV1::Seek(uint32_t position) {
  if (failed_) return Result_Fail;
  if (position > data_.size()) {
    failed_ = true;
    return Result_Fail;
  }
  readPosition_ = position;
  return Result_Ok;
}

int NetworkDataStreamV1::Clear() {
  data_.clear();
  readPosition_ = 0;
  return StateResult();
}

int NetworkDataStreamV1::Rewind() {
  if (!failed_) readPosition_ = 0;
  failed_ = false;
  return Result_Ok;
}

}  // namespace corvane
