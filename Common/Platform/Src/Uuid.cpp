#include "Uuid.h"

#include <sys/random.h>

#include <cstring>

#include "Scheduler.h"

namespace corvane {

// A version-4 UUID from the kernel's random source.
UUID* DefaultScheduler::GenerateUUID(UUID* out) {
  if (!out) return out;
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  std::memcpy(&out->Data1, bytes, 4);
  std::memcpy(&out->Data2, bytes + 4, 2);
  std::memcpy(&out->Data3, bytes + 6, 2);
  std::memcpy(out->Data4, bytes + 8, 8);
  // Version 4 in the text form's third group, RFC 4122 variant in the fourth.
  out->Data3 = static_cast<uint16_t>((out->Data3 & 0x0FFF) | 0x4000);
  out->Data4[0] = static_cast<uint8_t>((out->Data4[0] & 0x3F) | 0x80);
  return out;
}

}  // namespace corvane
