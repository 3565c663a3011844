// Fills a UUID from the kernel's random source. Only the identifier's
// fields are touched here; its text and wire forms are the serialization
// library's.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Scheduler.h"
#include "Uuid.h"

namespace corvane {
namespace {

void FillRandom(uint8_t* bytes, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = getrandom(bytes + got, size - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (got == size) return;
  // Kernels without getrandom: the same source through its device.
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && got < size) {
    ssize_t n = read(fd, bytes + got, size - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (fd >= 0) close(fd);
  // With no random source at all an identifier would not be unique; that
  // is not a state the process can continue in.
  if (got < size) std::abort();
}

}  // namespace

// A version-4 UUID from the kernel's random source. Only the fields are
// written: the dynamic-type check of the undefined-behaviour sanitizer would
// tie the platform to the UUID's type information, which the serialization
// library holds.
__attribute__((no_sanitize("vptr"))) UUID* DefaultScheduler::GenerateUUID(UUID* out) {
  if (!out) return out;
  uint8_t bytes[16];
  FillRandom(bytes, sizeof bytes);
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
