#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::platform {

bool WriteFully(int fd, const void* data, size_t size) noexcept {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, next, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int64_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset) noexcept {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int64_t>(n);
  }
}

void CloseFile(int fd) noexcept {
  if (fd >= 0) ::close(fd);
}

int OpenAppendFile(const std::string& path) noexcept {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
}

int OpenAppendFileAt(int folderFd, const std::string& name) noexcept {
  return ::openat(folderFd, name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
}

int CreatePrivateFile(const std::string& path, bool readable) noexcept {
  return CreatePrivateFileAt(AT_FDCWD, path, readable);
}

int CreatePrivateFileAt(int folderFd, const std::string& name, bool readable) noexcept {
  const int access = readable ? O_RDWR : O_WRONLY;
  return ::openat(folderFd, name.c_str(), access | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int OpenRewriteFileAt(int folderFd, const std::string& name) noexcept {
  int fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SetFileLength(int fd, uint64_t length) noexcept {
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool FileStatus(int fd, uint64_t* size, bool* isRegular) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *isRegular = S_ISREG(st.st_mode);
  return true;
}

bool PathExists(const std::string& path) noexcept {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string* out) {
  out->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  uint64_t size = 0;
  bool regular = false;
  bool ok = FileStatus(fd, &size, &regular) && regular && size <= maxBytes;
  if (ok) {
    // One byte more than the size told: a file that grew meanwhile is
    // refused rather than cut.
    out->resize(static_cast<size_t>(size) + 1);
    size_t got = 0;
    for (;;) {
      const int64_t n = ReadAt(fd, out->data() + got, out->size() - got, got);
      if (n < 0) ok = false;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      if (got == out->size()) {
        ok = false;
        break;
      }
    }
    out->resize(got);
  }
  CloseFile(fd);
  if (!ok) out->clear();
  return true;
}

std::string CurrentDirectory() {
  std::string buffer(4096, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.c_str();
    if (errno != ERANGE) return "";
    buffer.resize(buffer.size() * 2);
  }
}

bool RemoveFile(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

bool RemoveFileAt(int folderFd, const std::string& name) noexcept {
  return ::unlinkat(folderFd, name.c_str(), 0) == 0;
}

int OpenFolder(const std::string& path) noexcept {
  // A trailing "/" would make the kernel resolve a link in the last
  // component despite O_NOFOLLOW.
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  try {
    return ::open(path.substr(0, end).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } catch (...) {
    return -1;
  }
}

int64_t MonotonicNanoseconds() noexcept {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace corvane::platform
