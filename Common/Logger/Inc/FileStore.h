// The rolling text log file store.
//
// Every logged message becomes one tab-separated line ending in CR LF:
//   time <TAB> thread id <TAB> level label <TAB> function <TAB> message <TAB> file <TAB> line
// Files are named <name>_<year>_<month>_<day>_<counter>.log after the local
// date at the moment a file is opened; a file that has grown past the size
// limit is closed and the next counter's file opened, and after every change
// of file only the seven newest files of the store are kept. The store never
// deletes the file it is writing to.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "Directory.h"
#include "Logger.h"
#include "RefCount.h"
#include "Scheduler.h"

namespace corvane {

// The 15-character label of a level flag (Config 1 ... Spew 16, All
// 0xFFFFFFFF); any other value gives "".
const char* GetLevelName(uint32_t levelFlags);

// Collects the entries of one folder scan, ordered by Compare; of entries
// that compare equal only the first is kept. Folders are ignored.
template <class Compare>
class FileFinder : public IFileEntry {
 public:
  void OnFile(const FileEntry& entry) override { files_.insert(entry); }
  void OnDirectory(const FileEntry&) override {}
  const std::set<FileEntry, Compare>& Files() const { return files_; }

 private:
  std::set<FileEntry, Compare> files_;
};

class FileStore : public ILogStore, public virtual IRefCountImpl {
 public:
  // Log files in their order, oldest first: prefix bytes, then date text
  // bytes, then the numeric index.
  struct FileCompareName {
    bool operator()(const FileEntry& a, const FileEntry& b) const;
  };

  // Splits "<prefix>_<yyyy>_<mm>_<dd>_<index>.log": the fourth "_" from the
  // end ends the prefix, the last one starts the index, which is read as an
  // unsigned decimal up to the first non-digit (clamped at 0xFFFFFFFF). A
  // name with fewer than four "_" gives "", "" and 0.
  static void ParseFileName(const std::string& fileName, std::string* prefix, std::string* date,
                            uint32_t* index);

  // Touches no file: the first Write opens one. A directory without a
  // trailing separator gets one. The folder is opened afresh for every
  // operation; while its path ends in a symbolic link, lines go nowhere
  // rather than into what the link points to.
  FileStore(std::string name, std::string directory, uint64_t maxBytes);
  // Writes, lists and deletes only inside the open folder directoryFd (which
  // the store owns), whatever directory leads to; -1: lines go nowhere.
  FileStore(std::string name, std::string directory, int directoryFd, uint64_t maxBytes);
  ~FileStore() override;

  // Writes one line; rolls over, opens and cleans up as needed. A line that
  // cannot be written is lost silently. timeMs is not used: the line carries
  // the time at which it is written.
  void Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t timeMs,
             uint32_t threadId, int line, const std::string& message) override;

  // For tests and diagnostics.
  uint32_t Counter();
  std::string CurrentFileName();

 private:
  FileStore(std::string name, std::string directory, int directoryFd, bool pinned, uint64_t maxBytes);
  void OpenNextFile();
  void DeleteOldFiles();
  std::string TodayText();
  std::string MakeFileName();

  const std::string name_;
  std::string directory_;
  const uint64_t maxBytes_;
  uint32_t counter_ = 0;
  int fd_ = -1;
  std::string currentName_;  // file name (without folder) of fd_
  std::unique_ptr<Scheduler::FastMutex> mutex_;
  // With pinned_, the folder every operation uses; otherwise directory_ is
  // opened afresh each time.
  const int folderFd_;
  const bool pinned_;
};

// Creates a store with one reference in *out; returns 0.
int CreateFileStore(const std::string& name, const std::string& directory, uint64_t maxBytes, ILogStore** out);
// The same for a folder already open (see the constructor); the store owns
// directoryFd from the call on.
int CreateFileStoreAt(const std::string& name, const std::string& directory, int directoryFd, uint64_t maxBytes,
                      ILogStore** out);

}  // namespace corvane
