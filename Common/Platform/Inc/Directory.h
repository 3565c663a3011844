// The data folder, folder trees and folder scans.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The one path separator of this system. Paths given with "\" are read with
// "/" in its place.
constexpr char kPathSeparator = '/';

// base/<company or "Corvane">[/<user>][/<part1>][/<part2>], no trailing
// separator; "\" in company and parts reads as "/". base is
// $CORVANE_DATA_ROOT when set to an absolute path other than "/", else the
// first writable of /var/lib and $TMPDIR, else /tmp; never "/". The user is
// the effective user's login name (its uid when it has none). With create,
// every missing level is created so that everyone may write (mode 01777);
// folders that exist are left as they are.
std::string GetDataDirectory(std::string company, std::string part1, std::string part2, bool create,
                             bool perUser);

// The same folder as GetDataDirectory with create, opened: every level
// below the base is made (01777) or opened without following links. A level
// that is a symbolic link, not a folder, or owned by another user than root
// or this process's is not used: a Warning goes to standard error and the
// log, and -1 is returned. Otherwise the folder's descriptor, which the
// caller owns; *path (when given) gets the folder's path either way.
int OpenDataDirectory(std::string company, std::string part1, std::string part2, bool perUser,
                      std::string* path);

// "\" -> "/"; with trailingSeparator, appends "/" when missing.
void NormalizePath(std::string& path, bool trailingSeparator);
// Creates every missing level; true when the path is then a folder.
bool CreateDirectoryPath(const std::string& path);
// One folder that everyone may write (mode 01777). Always true.
bool CreateDirectoryForEveryone(const std::string& path);
bool IsDirectory(const std::string& path);
bool PathExists(const std::string& path);
// Removes a folder tree without a shell and without following symbolic
// links. Refuses "" and anything that is the root after normalising ("\",
// "//", "/.", "/.."); refuses a path that is a link or not a folder. False
// when the path is missing or on any error.
bool RemoveDirectoryTree(const std::string& path);

struct FileEntry {
  std::string name;         // as the file system gives it
  std::string path;         // folder it was found in, ending in a separator
  uint32_t size = 0;        // low 32 bits of the size
  int64_t lastWriteMs = 0;  // ms since 1970 UTC
};

bool RemoveFile(const FileEntry& entry);

class IFileEntry {
 public:
  virtual ~IFileEntry() = default;
  virtual void OnFile(const FileEntry& entry) = 0;
  virtual void OnDirectory(const FileEntry& entry) = 0;
};

class BaseDirectory {
 public:
  virtual ~BaseDirectory() = default;
  virtual void Scan(const std::string& folder, const std::string& subPath, bool recursive) = 0;
};

// Scans folder + subPath. Names are compared lower-cased with the filters but
// reported as found; symbolic links to folders are not followed. The text
// filter must occur in the sub-path being scanned; the suffix filter must end
// the name. In a recursive scan a folder that passes the filters also reaches
// OnFile. A folder that cannot be read reports nothing.
class Directory : public BaseDirectory {
 public:
  Directory(IFileEntry* callback, std::string textFilter, std::string suffixFilter);
  void Scan(const std::string& folder, const std::string& subPath, bool recursive) override;

 private:
  void ScanLevel(const std::string& folder, const std::string& subPath, bool recursive, int depth);

  IFileEntry* callback_;
  std::string textFilter_;
  std::string suffixFilter_;
};

}  // namespace corvane
