#include "ProcessStatistics.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane::platform {

namespace {

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

}  // namespace corvane::platform
