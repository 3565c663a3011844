// Files and the raw clock for the libraries above the platform layer, so that
// no OS header is needed outside it. Descriptors are plain ints owned by the
// caller (CloseFile); -1 means none. Every call retries after a signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::platform {

struct FolderEntry {
  std::string name;
  bool isFolder = false;  // a real folder; a link to one is not
  uint64_t size = 0;
  int64_t lastWriteMs = 0;  // ms since 1970 UTC
};

// Writes all size bytes, continuing after a short write. False when the
// descriptor takes no more (error, full disk). Async-signal-safe: the crash
// handler writes with it.
bool WriteFully(int fd, const void* data, size_t size) noexcept;

// Up to size bytes from offset, without moving the file position. The count
// read, 0 at the end, -1 on error.
int64_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset) noexcept;

void CloseFile(int fd) noexcept;

// Opens path for appending, creating it (0644) and never following a link in
// its last component. One WriteFully on it lands whole in the file beside
// other processes' appends.
int OpenAppendFile(const std::string& path) noexcept;

// The same inside the open folder folderFd, and without blocking: a FIFO
// planted under the name fails instead of waiting for a reader.
int OpenAppendFileAt(int folderFd, const std::string& name) noexcept;

// Creates or empties path for this user only (0600), not following a link in
// its last component; readable as well as writable when readable is set.
int CreatePrivateFile(const std::string& path, bool readable) noexcept;

// The same inside the open folder folderFd.
int CreatePrivateFileAt(int folderFd, const std::string& name, bool readable) noexcept;

// Opens name inside folderFd for writing from its start, creating it for this
// user only (0600) when missing but keeping what it holds: the writer cuts
// the rest with SetFileLength. Emptying on open instead would, on some file
// systems, flush the file to disk when it is closed. Refuses a link, a file
// that is not regular or not this user's, and never blocks on a FIFO.
int OpenRewriteFileAt(int folderFd, const std::string& name) noexcept;

// Cuts (or extends) an open file to length bytes.
bool SetFileLength(int fd, uint64_t length) noexcept;

// The size of an open file and whether it is a regular file. False when the
// descriptor cannot be queried.
bool FileStatus(int fd, uint64_t* size, bool* isRegular) noexcept;

// True when something (file, folder, link target) is at path.
bool PathExists(const std::string& path) noexcept;

// The whole content of a regular file of at most maxBytes (links followed).
// False only when path cannot be opened; what is not a regular file, is
// larger or fails to read gives true with *out empty, as an empty file would.
bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string* out);

// The process's current folder, however long; "" when it cannot be had.
std::string CurrentDirectory();

bool RemoveFile(const std::string& path) noexcept;
bool RemoveFileAt(int folderFd, const std::string& name) noexcept;

// Opens a folder for the ...At calls. A symbolic link as its last component
// (trailing separators aside) is refused, so nothing is written through a
// link planted in its place; links above it are followed.
int OpenFolder(const std::string& path) noexcept;

// The entries of the open folder except "." and "..", links not followed.
// False when it cannot be read.
bool ListFolderAt(int folderFd, std::vector<FolderEntry>* out);

// The kernel's monotonic clock in nanoseconds: not stepped, and not moved by
// the scheduler's test offset.
int64_t MonotonicNanoseconds() noexcept;

}  // namespace corvane::platform
