// The random bytes of new identifiers, from the kernel's random source.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Scheduler.h"

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

void DefaultScheduler::GenerateUUID(uint8_t (&out)[16]) { FillRandom(out, sizeof out); }

}  // namespace corvane
