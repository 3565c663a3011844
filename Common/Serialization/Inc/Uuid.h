// 128-bit identifiers of displays, connections, message types, RPC objects
// and calls, laid out as the Windows GUID.
//
// Wire form (16 bytes, through the stream's own little-endian integer
// operations): Data1 u32, Data2 u16, Data3 u16, then the Data4 bytes in
// order. Text form: lower-case "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x".
//
// Ordering is visible outside the process (it fixes the order of display
// lists): Data1, Data2, Data3 as numbers, then the Data4 bytes unsigned.
// It is not a byte-wise compare of the 16 bytes.
//
// The random bytes of a new identifier come from the platform's scheduler;
// everything else (text, order, wire form) lives here, beside the data
// streams its wire form is built on.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "Serialize.h"

namespace corvane {

class IDataStreamV1;

class UUID : public ISerialize {
 public:
  // The nil UUID (all zero).
  UUID() = default;
  UUID(const UUID&) = default;
  UUID& operator=(const UUID&) = default;
  ~UUID() override = default;
  // Same as Parse(text).
  explicit UUID(std::string_view text);
  // `last` fills Data4 most significant byte first, so the text form's last
  // 16 hex digits read as that number.
  UUID(uint32_t data1, uint16_t data2, uint16_t data3, uint64_t last);

  // Lenient by design (handshakes and application data rely on it), and
  // defined for every input. Starting from nil: no hyphen gives nil; the text
  // before the first hyphen is Data1; the text between the first and second
  // hyphen is Data2; between the second and third, Data3; only with a fourth
  // hyphen, the text between the third and fourth joined with everything
  // after the fourth is read as one 64-bit number into Data4 (most
  // significant byte first). Each group is read as a standard hexadecimal
  // stream extraction into a field of its width: leading blanks skipped, a
  // sign and "0x" accepted, reading stops at the first non-hex character,
  // overflow gives the field's maximum, no digits gives 0.
  static UUID Parse(std::string_view text);

  bool operator==(const UUID& other) const;
  bool operator!=(const UUID& other) const { return !(*this == other); }
  bool operator<(const UUID& other) const;

  std::string ToString() const;

  // Replaces the value with a new random (version-4) UUID.
  void Generate();

  // 0, or the first failing stream result (a short stream fails and leaves
  // the value untouched); a null stream gives Result_InvalidPointer.
  int Deserialize(IDataStream* stream) override;
  int Serialize(IDataStream* stream) const override;
  // The same layout read with the older stream's 4-, 2- and 1-byte reads.
  int Deserialize(IDataStreamV1* stream);

  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

std::ostream& operator<<(std::ostream& os, const UUID& uuid);

}  // namespace corvane
