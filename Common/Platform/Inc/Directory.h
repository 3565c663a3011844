// The data folder, folder trees and folder scans.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The one path separator of this system. Paths given with "\" are read with
// "/" in its place.
constexpr char kPathSeparator = '/';

// base/<company or "Corvane">[/<user>][/<part1>][/<part2>], no trailing
// separator. base is $CORVANE_DATA_ROOT when set, else the first writable of
// /var/lib, $TMPDIR, $TMP, $TEMP, $XDG_DATA_HOME (or ~/.local/share), /tmp.
// With create, the whole path is created so that everyone may write.
std::string GetDataDirectory(std::string company, std::string part1, std::string part2, bool create,
                             bool perUser);

// "\" -> "/"; with trailingSeparator, appends "/" when missing.
void NormalizePath(std::string& path, bool trailingSeparator);
// Creates every missing level; true when the path is then a folder.
bool CreateDirectoryPath(const std::string& path);
// One folder that everyone may write (mode 01777). Always true.
bool CreateDirectoryForEveryone(const std::string& path);
bool IsDirectory(const std::string& path);
bool PathExists(const std::string& path);
// Removes a folder tree without a shell and without following symbolic
// links. Refuses "" and the root; false when the path is missing or on error.
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
// reported as found; symbolic links to folders are not followed.
class Directory : public BaseDirectory {
 public:
  Directory(IFileEntry* callback, std::string textFilter, std::string suffixFilter);
  void Scan(const std::string& folder, const std::string& subPath, bool recursive) override;

 private:
  IFileEntry* callback_;
  std::string textFilter_;
  std::string suffixFilter_;
};

}  // namespace corvane
