// Typed reads of IDataStream over fuzzer-built streams (written pieces,
// attached blocks, storage-less chunks, concatenations, sub-streams),
// checked against a flat byte model: every result, value and position must
// agree, and nothing may allocate beyond the bytes present.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DataStream.h"
#include "Result.h"

using corvane::IDataStream;
using corvane::RefPtr;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Model {
  std::vector<uint8_t> bytes;
  std::vector<bool> stored;  // false for the bytes of storage-less chunks
  uint32_t position = 0;
  bool reading = false;
  void Append(const std::vector<uint8_t>& more, bool withStorage) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    stored.insert(stored.end(), more.size(), withStorage);
  }
  void Append(const Model& other) {
    bytes.insert(bytes.end(), other.bytes.begin(), other.bytes.end());
    stored.insert(stored.end(), other.stored.begin(), other.stored.end());
  }
  uint32_t Remaining() const { return static_cast<uint32_t>(bytes.size()) - position; }
};

RefPtr<IDataStream> NewStream() {
  IDataStream* raw = nullptr;
  Check(corvane::CreateDataStream(&raw) == corvane::Result_Ok);
  return RefPtr<IDataStream>(raw, false);
}

// Appends fuzzer-chosen pieces in the ways a stream can grow.
void Build(FuzzedDataProvider& in, IDataStream* stream, Model& model) {
  const int pieces = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < pieces; ++i) {
    const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 200);
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: {
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
        Check(stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size())) == corvane::Result_Ok);
        model.Append(bytes, true);
        break;
      }
      case 1: {
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
        auto* block = new uint8_t[bytes.size() + 1];
        if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
        Check(stream->AttachBuffer(block, static_cast<uint32_t>(bytes.size())) == corvane::Result_Ok);
        model.Append(bytes, true);
        break;
      }
      case 2:
        Check(stream->AppendEmpty(length) == corvane::Result_Ok);
        model.Append(std::vector<uint8_t>(length, 0), false);
        break;
      default:
        // Byte-at-a-time writes fill buffers in place.
        for (uint32_t j = 0; j < length % 70; ++j) {
          const uint8_t b = in.ConsumeIntegral<uint8_t>();
          Check(stream->WriteUInt8(b) == corvane::Result_Ok);
          model.Append(std::vector<uint8_t>{b}, true);
        }
        break;
    }
  }
}

template <class T>
void CheckTypedRead(IDataStream* s, Model& m, int (IDataStream::*read)(T*)) {
  T value{};
  std::memset(&value, 0xA5, sizeof value);
  T before = value;
  const int result = (s->*read)(&value);
  m.reading = true;
  if (m.Remaining() < sizeof(T)) {
    Check(result == corvane::Result_Fail);
    Check(std::memcmp(&value, &before, sizeof(T)) == 0);
    return;
  }
  Check(result == corvane::Result_Ok);
  uint8_t expected[sizeof(T)];
  std::memcpy(expected, m.bytes.data() + m.position, sizeof(T));  // little-endian host
  Check(std::memcmp(&value, expected, sizeof(T)) == 0);
  m.position += sizeof(T);
}

uint32_t ModelHash(const Model& m) {
  uint32_t h = 0;
  for (size_t i = m.position; i < m.bytes.size(); ++i) {
    if (m.stored[i]) h = h * 37u + m.bytes[i];
  }
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  auto first = NewStream();
  Model m;
  Build(in, first.Get(), m);

  RefPtr<IDataStream> stream = first;
  if (in.ConsumeBool()) {
    // Joined with a second part; the first part's read position must not
    // matter.
    auto second = NewStream();
    Model tail;
    Build(in, second.Get(), tail);
    uint32_t ignored = 0;
    first->Read(&ignored, in.ConsumeIntegralInRange<uint32_t>(0, 4));
    IDataStream* joined = nullptr;
    Check(corvane::ConcatenateDataStreams(first.Get(), second.Get(), &joined) == corvane::Result_Ok);
    stream.Attach(joined);
    m.Append(tail);
    m.position = 0;
    m.reading = true;
  }

  while (in.remaining_bytes() > 0) {
    IDataStream* s = stream.Get();
    switch (in.ConsumeIntegralInRange(0, 15)) {
      case 0: CheckTypedRead(s, m, &IDataStream::ReadUInt8); break;
      case 1: CheckTypedRead(s, m, &IDataStream::ReadInt16); break;
      case 2: CheckTypedRead(s, m, &IDataStream::ReadUInt32); break;
      case 3: CheckTypedRead(s, m, &IDataStream::ReadInt64); break;
      case 4: CheckTypedRead(s, m, &IDataStream::ReadFloat); break;
      case 5: CheckTypedRead(s, m, &IDataStream::ReadDouble); break;
      case 6: {
        bool value = false;
        const int result = s->ReadBool(&value);
        m.reading = true;
        if (m.Remaining() < 1) {
          Check(result == corvane::Result_Fail && !value);
        } else {
          Check(result == corvane::Result_Ok && value == (m.bytes[m.position] != 0));
          ++m.position;
        }
        break;
      }
      case 7: {
        std::string value = "sentinel";
        const int result = s->ReadString(&value);
        m.reading = true;
        if (m.Remaining() < 4) {
          Check(result == corvane::Result_Fail && value == "sentinel");
          break;
        }
        uint32_t length = 0;
        std::memcpy(&length, m.bytes.data() + m.position, 4);
        if (length > IDataStream::kMaxStringLength) {
          Check(result == corvane::Result_Fail && value == "sentinel");
        } else if (length > m.Remaining() - 4) {
          Check(result == corvane::Result_Fail && value == "sentinel");
          m.position += 4;
        } else {
          Check(result == corvane::Result_Ok);
          Check(value.size() == length &&
                (length == 0 || std::memcmp(value.data(), m.bytes.data() + m.position + 4, length) == 0));
          m.position += 4 + length;
        }
        break;
      }
      case 8: {
        const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 600);
        std::vector<uint8_t> out(length, 0x5A);
        const int result = s->Read(out.data(), length);
        m.reading = true;
        if (m.Remaining() < length) {
          Check(result == corvane::Result_Fail);
          for (uint8_t b : out) Check(b == 0x5A);
        } else {
          Check(result == corvane::Result_Ok);
          Check(length == 0 || std::memcmp(out.data(), m.bytes.data() + m.position, length) == 0);
          m.position += length;
        }
        break;
      }
      case 9: {
        const uint32_t position = in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(m.bytes.size()) + 2);
        const int result = s->Seek(position);
        if (position > m.bytes.size()) {
          Check(result == corvane::Result_InvalidArgument);
        } else {
          Check(result == corvane::Result_Ok);
          m.position = position;
          m.reading = true;
        }
        break;
      }
      case 10: {
        uint32_t hash = 0;
        Check(s->GetHash(&hash) == corvane::Result_Ok && hash == ModelHash(m));
        m.reading = true;
        break;
      }
      case 11: {
        uint32_t position = 0, streamSize = 0;
        Check(s->GetPosition(&position) == corvane::Result_Ok && position == m.position);
        m.reading = true;
        Check(s->GetSize(&streamSize) == corvane::Result_Ok && streamSize == m.bytes.size());
        break;
      }
      case 12: {
        // Cut a sub-stream and carry on in it.
        const uint32_t total = static_cast<uint32_t>(m.bytes.size());
        const uint32_t begin = in.ConsumeIntegralInRange<uint32_t>(0, total + 1);
        const uint32_t end = in.ConsumeIntegralInRange<uint32_t>(0, total + 1);
        IDataStream* sub = nullptr;
        const int result = corvane::CreateSubStream(s, begin, end, &sub);
        if (end < begin || end > total) {
          Check(result == corvane::Result_InvalidArgument && sub == nullptr);
        } else {
          Check(result == corvane::Result_Ok);
          stream.Attach(sub);
          m.bytes = std::vector<uint8_t>(m.bytes.begin() + begin, m.bytes.begin() + end);
          m.stored = std::vector<bool>(m.stored.begin() + begin, m.stored.begin() + end);
          m.position = 0;
          m.reading = true;
        }
        break;
      }
      case 13: {
        // Join the stream with itself: buffers shared twice.
        if (m.bytes.size() > 4096) break;
        IDataStream* joined = nullptr;
        Check(corvane::ConcatenateDataStreams(std::vector<IDataStream*>{s, s}, &joined) == corvane::Result_Ok);
        stream.Attach(joined);
        const Model copy = m;
        m.Append(copy);
        m.position = 0;
        m.reading = true;
        break;
      }
      case 14:
        // Reading mode refuses writes; writing mode appends.
        if (m.reading) {
          Check(s->WriteUInt32(0x04030201) == corvane::Result_Fail);
        } else {
          Check(s->WriteUInt32(0x04030201) == corvane::Result_Ok);
          m.Append(std::vector<uint8_t>{1, 2, 3, 4}, true);
        }
        break;
      default: {
        // Start over: Clear returns the stream to writing.
        Check(s->Clear() == corvane::Result_Ok);
        m = Model{};
        Build(in, s, m);
        break;
      }
    }
  }
  return 0;
}
