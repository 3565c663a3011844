#include "ProcessStatistics.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane::platform {

namespace {

// /proc files report a size of 0, so they are read to the end.
bool ReadSmallFile(const char* path, std::string* out) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > (1u << 20)) break;  // the "cpu" line comes first
  }
  ::close(fd);
  return ok;
}

// The number after "<key>:" in /proc/self/status, or -1.
int64_t ReadStatusValue(const char* key) {
  FILE* file = std::fopen("/proc/self/status", "re");
  if (file == nullptr) return -1;
  const size_t keyLength = std::strlen(key);
  char line[256];
  int64_t value = -1;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
      char* end = nullptr;
      const long long parsed = std::strtoll(line + keyLength + 1, &end, 10);
      if (end != line + keyLength + 1) value = parsed;
      break;
    }
  }
  std::fclose(file);
  return value;
}

}  // namespace

int GetProcessThreadCount() { return static_cast<int>(ReadStatusValue("Threads")); }

int GetProcessHandleCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  // The listing's own descriptor is not one of the process's.
  return count > 0 ? count - 1 : 0;
}

int64_t GetProcessWorkingSetBytes() {
  const int64_t kilobytes = ReadStatusValue("VmRSS");
  return kilobytes < 0 ? -1 : kilobytes * 1024;
}

bool ReadSystemCpuStat(std::string* out) { return ReadSmallFile("/proc/stat", out); }

bool ReadProcessCpuStat(std::string* out) { return ReadSmallFile("/proc/self/stat", out); }

void ReleaseFreeMemory() { malloc_trim(0); }

}  // namespace corvane::platform
