// The identifier's text, order and wire form. The class is declared in the
// platform library because the scheduler there fills new identifiers and its
// interface hands them out; the wire form is built on the data streams, which
// sit above the platform, so these members live here rather than beside the
// declaration. Every user of UUID links this library.
#include "Uuid.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <ostream>
#include <sstream>

#include "DataStream.h"
#include "DataStreamV1.h"
#include "Result.h"
#include "Scheduler.h"

namespace corvane {

namespace {

// One group of the text form, read exactly as a hexadecimal stream
// extraction into a field of type T would read it. Peers and stored
// application data were written against those rules (blanks, signs, "0x",
// trailing junk, saturation on overflow), so they are used as they are.
template <class T>
T ReadHexGroup(std::string_view text) {
  std::istringstream in{std::string(text)};
  in.imbue(std::locale::classic());  // no digit grouping from a global locale
  T value = 0;
  in >> std::hex >> value;
  return value;
}


}  // namespace

UUID::UUID(std::string_view text) : UUID(Parse(text)) {}

UUID::UUID(uint32_t data1, uint16_t data2, uint16_t data3, uint64_t last)
    : Data1(data1), Data2(data2), Data3(data3) {
  for (int i = 0; i < 8; ++i) Data4[i] = static_cast<uint8_t>(last >> (8 * (7 - i)));
}

UUID UUID::Parse(std::string_view text) {
  UUID result;
  const size_t h1 = text.find('-');
  if (h1 == std::string_view::npos) return result;
  result.Data1 = ReadHexGroup<uint32_t>(text.substr(0, h1));

  const size_t h2 = text.find('-', h1 + 1);
  if (h2 == std::string_view::npos) return result;
  result.Data2 = ReadHexGroup<uint16_t>(text.substr(h1 + 1, h2 - h1 - 1));

  const size_t h3 = text.find('-', h2 + 1);
  if (h3 == std::string_view::npos) return result;
  result.Data3 = ReadHexGroup<uint16_t>(text.substr(h2 + 1, h3 - h2 - 1));

  const size_t h4 = text.find('-', h3 + 1);
  if (h4 == std::string_view::npos) return result;
  std::string last(text.substr(h3 + 1, h4 - h3 - 1));
  last.append(text.substr(h4 + 1));
  const uint64_t value = ReadHexGroup<uint64_t>(last);
  for (int i = 0; i < 8; ++i) result.Data4[i] = static_cast<uint8_t>(value >> (8 * (7 - i)));
  return result;
}

bool UUID::operator==(const UUID& other) const {
  return Data1 == other.Data1 && Data2 == other.Data2 && Data3 == other.Data3 &&
         std::memcmp(Data4, other.Data4, sizeof Data4) == 0;
}

bool UUID::operator<(const UUID& other) const {
  if (Data1 != other.Data1) return Data1 < other.Data1;
  if (Data2 != other.Data2) return Data2 < other.Data2;
  if (Data3 != other.Data3) return Data3 < other.Data3;
  // memcmp compares as unsigned char, byte by byte from the first.
  return std::memcmp(Data4, other.Data4, sizeof Data4) < 0;
}

namespace {

// Both stream kinds read the wire form with the same integer reads; the value
// changes only when all 16 bytes were there.
template <class Stream>
int ReadWireForm(Stream* stream, UUID* out) {
  if (!stream) return Result_InvalidPointer;
  UUID value;
  int result = stream->ReadUInt32(&value.Data1);
  if (result >= 0) result = stream->ReadUInt16(&value.Data2);
  if (result >= 0) result = stream->ReadUInt16(&value.Data3);
  for (int i = 0; i < 8 && result >= 0; ++i) result = stream->ReadUInt8(&value.Data4[i]);
  if (result < 0) return result;
  *out = value;
  return Result_Ok;
}

}  // namespace

std::string UUID::ToString() const {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Data1, Data2, Data3,
                Data4[0], Data4[1], Data4[2], Data4[3], Data4[4], Data4[5], Data4[6], Data4[7]);
  return std::string(text, 36);
}

void UUID::Generate() {
  uint8_t bytes[16];
  GetDefaultScheduler()->GenerateUUID(bytes);
  std::memcpy(&Data1, bytes, 4);
  std::memcpy(&Data2, bytes + 4, 2);
  std::memcpy(&Data3, bytes + 6, 2);
  std::memcpy(Data4, bytes + 8, 8);
  // Version 4 in the text form's third group, RFC 4122 variant in the fourth.
  Data3 = static_cast<uint16_t>((Data3 & 0x0FFF) | 0x4000);
  Data4[0] = static_cast<uint8_t>((Data4[0] & 0x3F) | 0x80);
}

int UUID::Deserialize(IDataStream* stream) { return ReadWireForm(stream, this); }

int UUID::Serialize(IDataStream* stream) const {
  if (!stream) return Result_InvalidPointer;
  int result = stream->WriteUInt32(Data1);
  if (result >= 0) result = stream->WriteUInt16(Data2);
  if (result >= 0) result = stream->WriteUInt16(Data3);
  for (int i = 0; i < 8 && result >= 0; ++i) result = stream->WriteUInt8(Data4[i]);
  return result < 0 ? result : Result_Ok;
}

int UUID::Deserialize(IDataStreamV1* stream) { return ReadWireForm(stream, this); }

std::ostream& operator<<(std::ostream& os, const UUID& uuid) { return os << uuid.ToString(); }

}  // namespace corvane
