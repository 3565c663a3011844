// IDataStreamV1 under interleaved appends and reads, as the protocol-2
// parser drives it, checked against a model of its contract: partial reads
// fill low bytes and fail the stream; the failed state is sticky until
// ReadBytes or Rewind; nothing allocates beyond the bytes present.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DataStreamV1.h"
#include "Result.h"

using corvane::IDataStreamV1;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Model {
  std::string bytes;
  size_t position = 0;
  bool failed = false;
  size_t Remaining() const { return bytes.size() - position; }
  int State() const { return failed ? corvane::Result_Fail : corvane::Result_Ok; }
};

template <class T>
void CheckTypedRead(IDataStreamV1* s, Model& m, int (IDataStreamV1::*read)(T*)) {
  T value{};
  std::memset(&value, 0xA5, sizeof value);
  uint8_t expected[sizeof(T)];
  std::memcpy(expected, &value, sizeof(T));
  const int result = (s->*read)(&value);
  if (m.failed) {
    Check(result == corvane::Result_Fail && std::memcmp(&value, expected, sizeof(T)) == 0);
    return;
  }
  const size_t n = std::min(sizeof(T), m.Remaining());
  std::memcpy(expected, m.bytes.data() + m.position, n);  // low bytes, little-endian host
  m.position += n;
  if (n < sizeof(T)) m.failed = true;
  Check(result == m.State());
  Check(std::memcmp(&value, expected, sizeof(T)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  IDataStreamV1* raw = nullptr;
  Check(corvane::CreateNetworkDataStreamV1(&raw) == corvane::Result_Ok);
  corvane::RefPtr<IDataStreamV1> stream(raw, false);
  IDataStreamV1* s = stream.Get();
  Model m;

  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 16)) {
      case 0:
      case 1: {
        // A delivery: appended at the end whatever the read position.
        std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
        const int result = s->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
        if (!m.failed) m.bytes += bytes;
        Check(result == m.State());
        break;
      }
      case 2: {
        const uint32_t value = in.ConsumeIntegral<uint32_t>();
        const int result = s->WriteUInt32(value);
        if (!m.failed) m.bytes.append(reinterpret_cast<const char*>(&value), 4);
        Check(result == m.State());
        break;
      }
      case 3: CheckTypedRead(s, m, &IDataStreamV1::ReadUInt8); break;
      case 4: CheckTypedRead(s, m, &IDataStreamV1::ReadInt16); break;
      case 5: CheckTypedRead(s, m, &IDataStreamV1::ReadUInt32); break;
      case 6: CheckTypedRead(s, m, &IDataStreamV1::ReadUInt64); break;
      case 7: CheckTypedRead(s, m, &IDataStreamV1::ReadDouble); break;
      case 8: {
        bool value = false;
        const int result = s->ReadBool(&value);
        if (m.failed || m.Remaining() == 0) {
          m.failed = true;
          Check(result == corvane::Result_Fail && !value);
        } else {
          Check(result == corvane::Result_Ok && value == (m.bytes[m.position] != 0));
          ++m.position;
        }
        break;
      }
      case 9: {
        std::string value = "sentinel";
        const int result = s->ReadString(&value);
        if (m.failed || m.Remaining() < 4) {
          if (!m.failed) m.position = m.bytes.size();
          m.failed = true;
          Check(result == corvane::Result_Fail && value.empty());
          break;
        }
        uint32_t length = 0;
        std::memcpy(&length, m.bytes.data() + m.position, 4);
        m.position += 4;
        const size_t count = std::min<size_t>(length, m.Remaining());
        Check(value == m.bytes.substr(m.position, count));
        m.position += count;
        Check(result == (count == length ? corvane::Result_Ok : corvane::Result_Fail));
        break;
      }
      case 10: {
        const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 100);
        std::string out(length, '\0');
        uint32_t received = 12345;
        Check(s->ReadBytes(out.data(), length, &received) == corvane::Result_Ok);
        const size_t count = m.failed ? 0 : std::min<size_t>(length, m.Remaining());
        Check(received == count && out.compare(0, count, m.bytes, m.position, count) == 0);
        m.position += count;
        m.failed = false;
        break;
      }
      case 11: {
        std::string out;
        uint32_t length = 0;
        const int result = s->ReadRemaining(&out, &length);
        const size_t from = m.failed ? 0 : m.position;
        Check(result == m.State() && out == m.bytes.substr(from) && length == out.size());
        break;
      }
      case 12: {
        uint32_t streamSize = 777, position = 888;
        Check(s->GetSize(&streamSize) == corvane::Result_Ok);
        if (m.failed) {
          Check(streamSize == 0xFFFFFFFFu);
        } else {
          Check(streamSize == (m.bytes.empty() ? 777u : m.bytes.size()));
        }
        const int result = s->GetPosition(&position);
        Check(result == m.State() && position == (m.failed ? 888u : m.position));
        break;
      }
      case 13: {
        const uint32_t position = in.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(m.bytes.size()) + 2);
        const int result = s->Seek(position);
        if (!m.failed) {
          if (position > m.bytes.size()) {
            m.failed = true;
          } else {
            m.position = position;
          }
        }
        Check(result == m.State());
        break;
      }
      case 14:
        Check(s->Rewind() == corvane::Result_Ok);
        if (!m.failed) m.position = 0;
        m.failed = false;
        break;
      case 15:
        Check(s->Clear() == m.State());
        m.bytes.clear();
        m.position = 0;
        break;
      default: {
        std::string value = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 32));
        const int result = s->WriteString(value);
        if (!m.failed) {
          const uint32_t length = static_cast<uint32_t>(value.size());
          m.bytes.append(reinterpret_cast<const char*>(&length), 4);
          m.bytes += value;
        }
        Check(result == m.State());
        break;
      }
    }
  }
  return 0;
}
