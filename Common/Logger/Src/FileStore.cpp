#include "FileStore.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "FileIo.h"
#include "Locks.h"
#include "Result.h"

namespace corvane {

namespace {

constexpr int kOpenAttempts = 5;
constexpr size_t kFilesKept = 7;

void AppendInt(std::string& out, int64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof(buf), value);
  out.append(buf, res.ptr);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The store's folder for one operation: the one the store was given, or the
// path opened afresh.
class FolderHandle {
 public:
  FolderHandle(int pinned, bool isPinned, const std::string& path)
      : fd_(isPinned ? pinned : platform::OpenFolder(path)), owned_(!isPinned) {}
  ~FolderHandle() {
    if (owned_) platform::CloseFile(fd_);
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
  bool owned_;
};

bool EndsWithLog(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return tail == ".log";
}

// The ".log" entries (not folders) of the open folder, without following
// anything out of it.
void ListLogFiles(int folderFd, const std::string& directory, FileFinder<FileStore::FileCompareName>* finder) {
  std::vector<platform::FolderEntry> entries;
  platform::ListFolderAt(folderFd, &entries);
  for (platform::FolderEntry& found : entries) {
    if (found.isFolder || !EndsWithLog(found.name)) continue;
    FileEntry entry;
    entry.name = std::move(found.name);
    entry.path = directory;
    entry.size = static_cast<uint32_t>(found.size);
    entry.lastWriteMs = found.lastWriteMs;
    finder->OnFile(entry);
  }
}

}  // namespace

const char* GetLevelName(uint32_t levelFlags) { return LogFlagLabel(levelFlags); }

bool FileStore::FileCompareName::operator()(const FileEntry& a, const FileEntry& b) const {
  std::string prefixA, dateA, prefixB, dateB;
  uint32_t indexA = 0, indexB = 0;
  ParseFileName(a.name, &prefixA, &dateA, &indexA);
  ParseFileName(b.name, &prefixB, &dateB, &indexB);
  if (int c = prefixA.compare(prefixB); c != 0) return c < 0;
  if (int c = dateA.compare(dateB); c != 0) return c < 0;
  return indexA < indexB;
}

void FileStore::ParseFileName(const std::string& fileName, std::string* prefix, std::string* date,
                              uint32_t* index) {
  prefix->clear();
  date->clear();
  *index = 0;
  size_t pos = std::string::npos;
  size_t last = std::string::npos;
  for (int found = 0; found < 4; ++found) {
    if (pos == 0) return;
    pos = fileName.rfind('_', pos == std::string::npos ? std::string::npos : pos - 1);
    if (pos == std::string::npos) return;
    if (found == 0) last = pos;
  }
  prefix->assign(fileName, 0, pos);
  date->assign(fileName, pos + 1, last - pos - 1);
  uint64_t value = 0;
  for (size_t i = last + 1; i < fileName.size(); ++i) {
    char c = fileName[i];
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) {
      value = 0xFFFFFFFFull;
      break;
    }
  }
  *index = static_cast<uint32_t>(value);
}

FileStore::FileStore(std::string name, std::string directory, uint64_t maxBytes)
    : FileStore(std::move(name), std::move(directory), -1, false, maxBytes) {}

FileStore::FileStore(std::string name, std::string directory, int directoryFd, uint64_t maxBytes)
    : FileStore(std::move(name), std::move(directory), directoryFd, true, maxBytes) {}

FileStore::FileStore(std::string name, std::string directory, int directoryFd, bool pinned, uint64_t maxBytes)
    : name_(std::move(name)), directory_(std::move(directory)), maxBytes_(maxBytes), folderFd_(directoryFd),
      pinned_(pinned) {
  mutex_.reset(GetDefaultScheduler()->CreateFastMutex());
  // A folder given with backslash separators is read with "/" in their place.
  NormalizePath(directory_, true);
  if (directory_.empty()) directory_ = std::string(1, kPathSeparator);

  // Continue today's newest file, so a restart appends rather than starting
  // a new file each time.
  FileFinder<FileCompareName> finder;
  {
    FolderHandle folder(folderFd_, pinned_, directory_);
    ListLogFiles(folder.Get(), directory_, &finder);
  }
  const std::string todayPrefix = name_ + "_" + TodayText();
  for (const FileEntry& entry : finder.Files()) {
    if (!StartsWith(entry.name, todayPrefix)) continue;
    std::string prefix, date;
    uint32_t index = 0;
    ParseFileName(entry.name, &prefix, &date, &index);
    if (index > counter_) counter_ = index;
  }
}

FileStore::~FileStore() {
  platform::CloseFile(fd_);
  if (pinned_) platform::CloseFile(folderFd_);
}

std::string FileStore::TodayText() {
  DateTime dt;
  GetDefaultScheduler()->GetLocalDateTime(&dt);
  char buf[48];
  snprintf(buf, sizeof(buf), "%d_%02d_%02d", dt.year, dt.month, dt.day);
  return buf;
}

std::string FileStore::MakeFileName() {
  char buf[24];
  snprintf(buf, sizeof(buf), "_%02u.log", counter_);
  return name_ + "_" + TodayText() + buf;
}

void FileStore::OpenNextFile() {
  FolderHandle folder(folderFd_, pinned_, directory_);
  if (folder.Get() < 0) {
    // Every name fails as it would in a folder that cannot be written.
    counter_ += kOpenAttempts;
    return;
  }
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    std::string fileName = MakeFileName();
    // O_NONBLOCK only matters for a FIFO planted under a log name, which
    // would otherwise block the logging thread until a reader appears.
    int fd = platform::OpenAppendFileAt(folder.Get(), fileName);
    if (fd >= 0) {
      uint64_t size = 0;
      bool isRegular = false;
      if (platform::FileStatus(fd, &size, &isRegular) && isRegular && size <= maxBytes_) {
        fd_ = fd;
        currentName_ = std::move(fileName);
        return;
      }
      platform::CloseFile(fd);
    }
    ++counter_;
  }
}

void FileStore::DeleteOldFiles() {
  // Only ever inside the folder the store writes to, whatever its path
  // leads to now.
  FolderHandle folder(folderFd_, pinned_, directory_);
  if (folder.Get() < 0) return;
  FileFinder<FileCompareName> finder;
  ListLogFiles(folder.Get(), directory_, &finder);
  std::vector<const FileEntry*> files;
  for (const FileEntry& entry : finder.Files()) {
    if (StartsWith(entry.name, name_)) files.push_back(&entry);
  }
  if (files.size() <= kFilesKept) return;

  const std::string today = TodayText();
  for (size_t i = 0; i < files.size(); ++i) {
    const FileEntry& entry = *files[i];
    bool keep = i >= files.size() - kFilesKept;
    if (keep) {
      std::string prefix, date;
      uint32_t index = 0;
      ParseFileName(entry.name, &prefix, &date, &index);
      keep = date.compare(today) <= 0;  // a file dated in the future goes too
    }
    // After a clock step back the current file can look old next to files
    // dated in the future; unlinking it would send every later line to a
    // file nobody can find.
    if (keep || (fd_ >= 0 && entry.name == currentName_)) continue;
    platform::RemoveFileAt(folder.Get(), entry.name);
  }
}

void FileStore::Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t /*timeMs*/,
                      uint32_t threadId, int line, const std::string& message) {
  std::string tail;
  tail.reserve(function.size() + message.size() + file.size() + 64);
  tail += '\t';
  AppendInt(tail, static_cast<int32_t>(threadId));
  tail += '\t';
  tail += GetLevelName(levelFlags);
  tail += '\t';
  tail += function;
  tail += '\t';
  tail += message;
  tail += '\t';
  tail += file;
  tail += '\t';
  AppendInt(tail, line);
  tail += "\r\n";

  ScopedLock lock(mutex_.get());
  if (fd_ >= 0) {
    uint64_t size = 0;
    bool isRegular = false;
    if (!platform::FileStatus(fd_, &size, &isRegular) || size > maxBytes_) {
      platform::CloseFile(fd_);
      fd_ = -1;
      currentName_.clear();
      ++counter_;
      OpenNextFile();
      DeleteOldFiles();
    }
  } else {
    OpenNextFile();
    DeleteOldFiles();
  }
  if (fd_ < 0) return;
  // Stamped under the lock so that the times in a file never go backwards.
  std::string lineText = TimestampText(0);
  lineText += tail;
  platform::WriteFully(fd_, lineText.data(), lineText.size());
}

uint32_t FileStore::Counter() {
  ScopedLock lock(mutex_.get());
  return counter_;
}

std::string FileStore::CurrentFileName() {
  ScopedLock lock(mutex_.get());
  return currentName_;
}

int CreateFileStoreAt(const std::string& name, const std::string& directory, int directoryFd, uint64_t maxBytes,
                      ILogStore** out) {
  if (out == nullptr) {
    platform::CloseFile(directoryFd);
    return Result_InvalidPointer;
  }
  *out = new FileStore(name, directory, directoryFd, maxBytes);
  return Result_Ok;
}

int CreateFileStore(const std::string& name, const std::string& directory, uint64_t maxBytes, ILogStore** out) {
  LOG_RECORD(record, Log_Spew, 3);
  if (out == nullptr) return record.ReturnResult(Result_InvalidPointer);
  *out = new FileStore(name, directory, maxBytes);
  record.ReturnResult(Result_Ok);
  return Result_Ok;
}

}  // namespace corvane
