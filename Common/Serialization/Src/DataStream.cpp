#include "DataStream.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <new>

#include "LittleEndian.h"
#include "Result.h"

namespace corvane {

namespace {

constexpr uint32_t kMinBufferCapacity = 64;
constexpr uint64_t kMaxStreamSize = std::numeric_limits<uint32_t>::max();

// A block of bytes shared by every chunk that refers to it: owned (and
// appended to in place), or a borrowed string that is never written. A
// buffer made by AppendEmpty has neither.
struct Buffer {
  std::unique_ptr<uint8_t[]> data;
  std::shared_ptr<const std::string> borrowed;
  uint32_t capacity = 0;
  const uint8_t* Bytes() const {
    if (data) return data.get();
    return borrowed ? reinterpret_cast<const uint8_t*>(borrowed->data()) : nullptr;
  }
};

// The bytes [begin, end) of a buffer. Never empty once stored.
struct Chunk {
  std::shared_ptr<Buffer> buffer;
  uint32_t begin = 0;
  uint32_t end = 0;
  uint32_t Length() const { return end - begin; }
};

class DataStream final : public IDataStream, public IRefCountImpl {
 public:
  DataStream() = default;

  int GetSize(uint32_t* out) override {
    if (!out) return Result_InvalidPointer;
    *out = size_;
    return Result_Ok;
  }

  int WriteInt8(int8_t value) override { return WriteValue(value); }
  int WriteUInt8(uint8_t value) override { return WriteValue(value); }
  int WriteInt16(int16_t value) override { return WriteValue(value); }
  int WriteUInt16(uint16_t value) override { return WriteValue(value); }
  int WriteInt32(int32_t value) override { return WriteValue(value); }
  int WriteUInt32(uint32_t value) override { return WriteValue(value); }
  int WriteInt64(int64_t value) override { return WriteValue(value); }
  int WriteUInt64(uint64_t value) override { return WriteValue(value); }
  int WriteFloat(float value) override { return WriteValue(value); }
  int WriteDouble(double value) override { return WriteValue(value); }
  int WriteBool(bool value) override { return WriteValue<uint8_t>(value ? 1 : 0); }

  int WriteString(const std::string& value) override {
    if (reading_) return Result_Fail;
    // Checked up front so that a string is written whole or not at all.
    if (value.size() > kMaxStreamSize || size_ + uint64_t{4} + value.size() > kMaxStreamSize) {
      return Result_Fail;
    }
    const auto length = static_cast<uint32_t>(value.size());
    int result = WriteValue(length);
    if (result < 0) return result;
    return Append(value.data(), length);
  }

  int Write(const void* data, uint32_t length) override {
    if (reading_) return Result_Fail;
    if (!data && length > 0) return Result_InvalidPointer;
    return Append(data, length);
  }

  int AttachBuffer(uint8_t* data, uint32_t length) override {
    if (reading_) return Result_Fail;
    if (!data && length > 0) return Result_InvalidPointer;
    if (size_ + uint64_t{length} > kMaxStreamSize) return Result_Fail;
    std::unique_ptr<uint8_t[]> block(data);
    // An empty chunk would share its offset with the next one; the block is
    // ours now, so it is simply freed.
    if (length == 0) return Result_Ok;
    auto buffer = std::make_shared<Buffer>();
    buffer->data = std::move(block);
    buffer->capacity = length;
    AddChunk(std::move(buffer), 0, length);
    return Result_Ok;
  }

  int AppendEmpty(uint32_t length) override {
    if (reading_) return Result_Fail;
    if (size_ + uint64_t{length} > kMaxStreamSize) return Result_Fail;
    if (length == 0) return Result_Ok;
    auto buffer = std::make_shared<Buffer>();
    buffer->capacity = length;
    AddChunk(std::move(buffer), 0, length);
    return Result_Ok;
  }

  int ReadInt8(int8_t* out) override { return ReadValue(out); }
  int ReadUInt8(uint8_t* out) override { return ReadValue(out); }
  int ReadInt16(int16_t* out) override { return ReadValue(out); }
  int ReadUInt16(uint16_t* out) override { return ReadValue(out); }
  int ReadInt32(int32_t* out) override { return ReadValue(out); }
  int ReadUInt32(uint32_t* out) override { return ReadValue(out); }
  int ReadInt64(int64_t* out) override { return ReadValue(out); }
  int ReadUInt64(uint64_t* out) override { return ReadValue(out); }
  int ReadFloat(float* out) override { return ReadValue(out); }
  int ReadDouble(double* out) override { return ReadValue(out); }

  int ReadBool(bool* out) override {
    if (!out) return Result_InvalidPointer;
    uint8_t byte = 0;
    int result = ReadValue(&byte);
    if (result < 0) return result;
    *out = byte != 0;
    return Result_Ok;
  }

  int ReadString(std::string* out) override {
    if (!out) return Result_InvalidPointer;
    const uint32_t start = position_;
    uint32_t length = 0;
    int result = ReadValue(&length);
    if (result < 0) return result;
    if (length > kMaxStringLength) {
      position_ = start;
      return Result_Fail;
    }
    // The length comes from a peer: nothing is reserved before the bytes are
    // known to be there.
    if (length > size_ - position_) return Result_Fail;
    std::string value(length, '\0');
    CopyOut(value.data(), length);
    out->swap(value);
    return Result_Ok;
  }

  int Read(void* out, uint32_t length) override {
    if (!out && length > 0) return Result_InvalidPointer;
    reading_ = true;
    if (length > size_ - position_) return Result_Fail;
    CopyOut(static_cast<uint8_t*>(out), length);
    return Result_Ok;
  }

  int GetPosition(uint32_t* out) override {
    if (!out) return Result_InvalidPointer;
    reading_ = true;
    *out = position_;
    return Result_Ok;
  }

  int Seek(uint32_t position) override {
    if (position > size_) return Result_InvalidArgument;
    reading_ = true;
    position_ = position;
    return Result_Ok;
  }

  int GetHash(uint32_t* out) override {
    if (!out) return Result_InvalidPointer;
    reading_ = true;
    uint32_t hash = 0;
    uint32_t offset = position_;
    while (offset < size_) {
      auto it = Locate(offset);
      const Chunk& chunk = it->second;
      const uint32_t skip = offset - it->first;
      const uint32_t count = chunk.Length() - skip;
      if (const uint8_t* data = chunk.buffer->Bytes()) {
        const uint8_t* p = data + chunk.begin + skip;
        for (uint32_t i = 0; i < count; ++i) hash = hash * 37u + p[i];
      }
      offset += count;
    }
    *out = hash;
    return Result_Ok;
  }

  int Clear() override {
    chunks_.clear();
    cursor_ = chunks_.end();
    size_ = 0;
    position_ = 0;
    reading_ = false;
    return Result_Ok;
  }

  // Used by the free functions, which build streams from other streams'
  // chunks. Callers guarantee the chunk is non-empty and fits in 4 GiB.
  void AddChunk(std::shared_ptr<Buffer> buffer, uint32_t begin, uint32_t end) {
    chunks_.emplace_hint(chunks_.end(), size_, Chunk{std::move(buffer), begin, end});
    size_ += end - begin;
  }
  void SetReading() { reading_ = true; }
  bool Reading() const { return reading_; }
  uint32_t Size() const { return size_; }
  const std::map<uint32_t, Chunk>& Chunks() const { return chunks_; }

 private:
  ~DataStream() override = default;

  template <class T>
  int WriteValue(T value) {
    if (reading_) return Result_Fail;
    uint8_t bytes[sizeof(T)];
    le::Store(bytes, value);
    return Append(bytes, sizeof bytes);
  }

  template <class T>
  int ReadValue(T* out) {
    if (!out) return Result_InvalidPointer;
    reading_ = true;
    if (sizeof(T) > size_ - position_) return Result_Fail;
    uint8_t bytes[sizeof(T)];
    CopyOut(bytes, sizeof bytes);
    *out = le::Load<T>(bytes);
    return Result_Ok;
  }

  // Writing-mode append; the caller has checked the mode and the pointer.
  int Append(const void* data, uint32_t length) {
    if (length == 0) return Result_Ok;
    if (size_ + uint64_t{length} > kMaxStreamSize) return Result_Fail;
    if (!chunks_.empty()) {
      Chunk& last = chunks_.rbegin()->second;
      Buffer& buffer = *last.buffer;
      if (buffer.data && uint64_t{last.end} + length <= buffer.capacity) {
        std::memcpy(buffer.data.get() + last.end, data, length);
        last.end += length;
        size_ += length;
        return Result_Ok;
      }
    }
    auto buffer = std::make_shared<Buffer>();
    buffer->capacity = std::max(length, kMinBufferCapacity);
    buffer->data.reset(new (std::nothrow) uint8_t[buffer->capacity]);
    if (!buffer->data) return Result_Fail;
    std::memcpy(buffer->data.get(), data, length);
    AddChunk(std::move(buffer), 0, length);
    return Result_Ok;
  }

  // The chunk holding stream offset `offset` (< size_). Reads move forward
  // chunk by chunk, so the chunk found last and its successor are tried
  // before a search of the map.
  std::map<uint32_t, Chunk>::const_iterator Locate(uint32_t offset) {
    auto holds = [offset](std::map<uint32_t, Chunk>::const_iterator it) {
      return it->first <= offset && offset - it->first < it->second.Length();
    };
    if (cursor_ != chunks_.end()) {
      if (holds(cursor_)) return cursor_;
      auto next = std::next(cursor_);
      if (next != chunks_.end() && holds(next)) return cursor_ = next;
    }
    cursor_ = std::prev(chunks_.upper_bound(offset));
    return cursor_;
  }

  // Copies `length` bytes from the position, which the caller has checked
  // are there, and advances the position.
  void CopyOut(uint8_t* out, uint32_t length) {
    while (length > 0) {
      auto it = Locate(position_);
      const Chunk& chunk = it->second;
      const uint32_t skip = position_ - it->first;
      const uint32_t count = std::min(length, chunk.Length() - skip);
      if (const uint8_t* data = chunk.buffer->Bytes()) {
        std::memcpy(out, data + chunk.begin + skip, count);
      } else {
        std::memset(out, 0, count);
      }
      out += count;
      length -= count;
      position_ += count;
    }
  }
  void CopyOut(char* out, uint32_t length) { CopyOut(reinterpret_cast<uint8_t*>(out), length); }

  // Stream offset of each chunk's first byte -> chunk; the chunks tile
  // [0, size_) without gaps.
  std::map<uint32_t, Chunk> chunks_;
  std::map<uint32_t, Chunk>::const_iterator cursor_ = chunks_.end();
  uint32_t size_ = 0;
  uint32_t position_ = 0;
  bool reading_ = false;
};

DataStream* AsDataStream(IDataStream* stream) { return dynamic_cast<DataStream*>(stream); }

}  // namespace

int CreateDataStream(IDataStream** out) {
  if (!out) return Result_InvalidPointer;
  *out = new DataStream();
  return Result_Ok;
}

int ConcatenateDataStreams(const std::vector<IDataStream*>& parts, IDataStream** out) {
  if (!out) return Result_InvalidPointer;
  uint64_t total = 0;
  for (IDataStream* part : parts) {
    if (!part) return Result_InvalidPointer;
    DataStream* stream = AsDataStream(part);
    if (!stream) return Result_InvalidArgument;
    total += stream->Size();
  }
  if (total > kMaxStreamSize) return Result_InvalidArgument;

  RefPtr<DataStream> result(new DataStream(), false);
  for (IDataStream* part : parts) {
    for (const auto& [offset, chunk] : AsDataStream(part)->Chunks()) {
      result->AddChunk(chunk.buffer, chunk.begin, chunk.end);
    }
  }
  result->SetReading();
  *out = result.Detach();
  return Result_Ok;
}

int ConcatenateDataStreams(IDataStream* first, IDataStream* second, IDataStream** out) {
  return ConcatenateDataStreams(std::vector<IDataStream*>{first, second}, out);
}

int CreateSubStream(IDataStream* source, uint32_t begin, uint32_t end, IDataStream** out) {
  if (!source || !out) return Result_InvalidPointer;
  DataStream* stream = AsDataStream(source);
  if (!stream) return Result_InvalidArgument;
  if (end < begin || end > stream->Size()) return Result_InvalidArgument;

  RefPtr<DataStream> result(new DataStream(), false);
  const auto& chunks = stream->Chunks();
  if (begin < end) {
    for (auto it = std::prev(chunks.upper_bound(begin)); it != chunks.end() && it->first < end; ++it) {
      const uint32_t chunkStart = it->first;
      const uint32_t chunkEnd = chunkStart + it->second.Length();
      const uint32_t from = std::max(begin, chunkStart);
      const uint32_t to = std::min(end, chunkEnd);
      if (from >= to) continue;  // never store an empty piece
      const Chunk& chunk = it->second;
      result->AddChunk(chunk.buffer, chunk.begin + (from - chunkStart), chunk.begin + (to - chunkStart));
    }
  }
  result->SetReading();
  *out = result.Detach();
  return Result_Ok;
}

int AppendSharedBytes(IDataStream* stream, std::shared_ptr<const std::string> bytes) {
  if (!stream || !bytes) return Result_InvalidPointer;
  DataStream* dataStream = AsDataStream(stream);
  if (!dataStream) return Result_InvalidArgument;
  if (dataStream->Reading() || uint64_t{dataStream->Size()} + bytes->size() > kMaxStreamSize) return Result_Fail;
  if (bytes->empty()) return Result_Ok;
  const auto size = static_cast<uint32_t>(bytes->size());
  auto buffer = std::make_shared<Buffer>();
  buffer->capacity = size;
  buffer->borrowed = std::move(bytes);
  dataStream->AddChunk(std::move(buffer), 0, size);
  return Result_Ok;
}

int GetDataStreamSpans(IDataStream* stream, std::vector<DataStreamSpan>* out) {
  if (!stream || !out) return Result_InvalidPointer;
  DataStream* dataStream = AsDataStream(stream);
  if (!dataStream) return Result_InvalidArgument;
  out->clear();
  for (const auto& [offset, chunk] : dataStream->Chunks()) {
    const uint8_t* bytes = chunk.buffer->Bytes();
    if (!bytes) return Result_Fail;
    out->push_back(DataStreamSpan{bytes + chunk.begin, chunk.Length()});
  }
  return Result_Ok;
}

int GetDataStreamBufferCapacities(IDataStream* stream, std::vector<uint32_t>* out) {
  if (!stream || !out) return Result_InvalidPointer;
  DataStream* dataStream = AsDataStream(stream);
  if (!dataStream) return Result_InvalidArgument;
  out->clear();
  for (const auto& [offset, chunk] : dataStream->Chunks()) out->push_back(chunk.buffer->capacity);
  return Result_Ok;
}

}  // namespace corvane
