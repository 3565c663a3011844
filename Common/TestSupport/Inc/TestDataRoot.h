// Temporary folders for tests, and the two environment roots the framework
// reads: CORVANE_DATA_ROOT (data folder, logs, crash log) and
// CORVANE_REGISTRY_ROOT (the configuration file).
#pragma once

#include <string>

namespace corvane::test {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents. Path()
// is empty when the folder could not be made.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "tds-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A temporary folder set as CORVANE_DATA_ROOT for its scope; the previous
// value is put back and the folder removed afterwards.
class TempDataRoot {
 public:
  TempDataRoot();
  ~TempDataRoot();
  TempDataRoot(const TempDataRoot&) = delete;
  TempDataRoot& operator=(const TempDataRoot&) = delete;
  const std::string& Path() const { return folder_.Path(); }
  std::string operator/(const std::string& name) const { return folder_ / name; }

 private:
  TempFolder folder_;
  bool hadPrevious_ = false;
  std::string previous_;
};

// A temporary folder (with its Corvane sub-folder) set as
// CORVANE_REGISTRY_ROOT for its scope; the previous value is put back and
// the folder removed afterwards.
class TempConfigRoot {
 public:
  TempConfigRoot();
  ~TempConfigRoot();
  TempConfigRoot(const TempConfigRoot&) = delete;
  TempConfigRoot& operator=(const TempConfigRoot&) = delete;
  const std::string& Path() const { return folder_.Path(); }
  // <root>/Corvane/DirectoryService.conf
  std::string File() const;
  // Replaces the whole file at once (written aside, then renamed), so a
  // reader never sees half of it.
  bool Write(const std::string& text);
  // Truncates and rewrites the file in place, as an editor does.
  bool WriteInPlace(const std::string& text);

 private:
  TempFolder folder_;
  bool hadPrevious_ = false;
  std::string previous_;
};

}  // namespace corvane::test
