#include "LinuxFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace corvane::platform {

namespace {

// Folders nested deeper than this are not removed: each level holds one
// descriptor open while its children go.
constexpr int kMaxRemoveDepth = 256;

int64_t ModificationMs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool IsWritableFolder(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // The effective ids decide, as they do for the files made there.
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// Removes the entry `name` of the folder open as parentFd, which must be a
// real folder (O_NOFOLLOW), with everything below it.
bool RemoveTreeAt(int parentFd, const char* name, int depth) {
  int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return false;
  }
  // Read the whole listing first: removing while readdir walks the same
  // stream may skip entries.
  std::vector<std::string> names;
  bool ok = true;
  try {
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
      std::string_view n(entry->d_name);
      if (n != "." && n != "..") names.emplace_back(n);
    }
    if (errno != 0) ok = false;
  } catch (...) {
    ok = false;
  }

  for (const std::string& child : names) {
    struct stat st;
    if (::fstatat(fd, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (depth >= kMaxRemoveDepth || !RemoveTreeAt(fd, child.c_str(), depth + 1)) ok = false;
    } else if (::unlinkat(fd, child.c_str(), 0) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  ::closedir(dir);
  if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) ok = false;
  return ok;
}

}  // namespace

std::string CommonDataFolder() {
  std::string root = WithoutTrailingSeparators(Environment("CORVANE_DATA_ROOT"));
  // The administrator's choice is taken as given (created on demand), but
  // never a relative path, which would depend on the working folder, and
  // never the root.
  if (!root.empty() && root.front() == '/' && root != "/") return root;
  if (IsWritableFolder("/var/lib")) return "/var/lib";
  std::string temp = WithoutTrailingSeparators(Environment("TMPDIR"));
  if (temp != "/" && IsWritableFolder(temp)) return temp;
  return "/tmp";
}

std::string CurrentUserName() {
  const uid_t uid = ::geteuid();
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024;
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::vector<char> buffer(size);
    struct passwd pw;
    struct passwd* found = nullptr;
    int rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found);
    if (rc == 0 && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
      return std::string(found->pw_name);
    }
    if (rc != ERANGE) break;
    size *= 2;
  }
  return std::to_string(uid);
}

bool MakeFolderForEveryone(const std::string& path) {
  if (::mkdir(path.c_str(), 01777) != 0) return errno == EEXIST;
  // The umask strips bits from mkdir's mode. Set them on the folder just
  // made, through a descriptor, so that a link swapped in meanwhile is not
  // followed.
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    (void)::fchmod(fd, 01777);
    ::close(fd);
  }
  return true;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool RemoveTree(const std::string& path) {
  std::string p = WithoutTrailingSeparators(path);
  if (p.empty() || p == "/") return false;
  size_t slash = p.rfind('/');
  std::string parent = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : p.substr(0, slash);
  std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFd < 0) return false;
  bool ok = RemoveTreeAt(parentFd, name.c_str(), 0);
  ::close(parentFd);
  return ok;
}

bool RemoveOneFile(const std::string& path) { return !path.empty() && RemoveFile(path); }

namespace {

// Takes dir over and closes it.
bool ReadFolderEntries(DIR* dir, std::vector<FolderEntry>* out) {
  const int fd = ::dirfd(dir);
  bool ok = true;
  try {
    while (struct dirent* entry = ::readdir(dir)) {
      std::string_view n(entry->d_name);
      if (n == "." || n == "..") continue;
      struct stat st;
      // An entry that went away between listing and stat is skipped.
      if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      FolderEntry e;
      e.name.assign(n);
      e.isFolder = S_ISDIR(st.st_mode);
      e.size = e.isFolder ? 0 : static_cast<uint64_t>(st.st_size);
      e.lastWriteMs = ModificationMs(st);
      out->push_back(std::move(e));
    }
  } catch (...) {
    ok = false;
  }
  ::closedir(dir);
  return ok;
}

}  // namespace

bool ListFolder(const std::string& path, std::vector<FolderEntry>* out) {
  out->clear();
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  return ReadFolderEntries(dir, out);
}

bool ListFolderAt(int folderFd, std::vector<FolderEntry>* out) {
  out->clear();
  if (folderFd < 0) return false;
  // A descriptor of its own: the directory stream closes what it reads.
  int own = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return false;
  DIR* dir = ::fdopendir(own);
  if (dir == nullptr) {
    ::close(own);
    return false;
  }
  return ReadFolderEntries(dir, out);
}

int OpenFolderChain(const std::string& base, const std::vector<std::string>& parts, bool create,
                    std::string* refusal) {
  refusal->clear();
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::string path = WithoutTrailingSeparators(base);
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") continue;
    path += (path.back() == '/' ? "" : "/") + part;
    bool made = create && ::mkdirat(fd, part.c_str(), 01777) == 0;
    int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      int error = errno;
      struct stat st;
      if (::fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          (S_ISLNK(st.st_mode) || error == ELOOP || error == ENOTDIR)) {
        *refusal = path + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a folder");
      }
      ::close(fd);
      return -1;
    }
    ::close(fd);
    fd = next;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      ::close(fd);
      return -1;
    }
    if (made) {
      // The umask strips bits from mkdir's mode; set them on what was
      // opened, not on whatever the name points to now.
      (void)::fchmod(fd, 01777);
    } else if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
      // Another local user made it first, and could swap what is inside.
      *refusal = path + " is owned by another user";
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace corvane::platform
