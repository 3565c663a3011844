#include "Directory.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "LinuxFileSystem.h"
#include "Logger.h"
#include "StringUtils.h"

namespace corvane {

namespace {

constexpr char kDefaultCompany[] = "Corvane";

// Folders nested deeper than this are not scanned.
constexpr int kMaxScanDepth = 128;

std::string WithSeparators(std::string text) {
  for (char& c : text) {
    if (c == '\\') c = kPathSeparator;
  }
  return text;
}

void AppendPart(std::string& path, const std::string& part) {
  if (part.empty()) return;
  path.push_back(kPathSeparator);
  path.append(part);
}

}  // namespace

std::string GetDataDirectory(std::string company, std::string part1, std::string part2, bool create,
                             bool perUser) {
  std::string path;
  if (create) {
    int fd = OpenDataDirectory(std::move(company), std::move(part1), std::move(part2), perUser, &path);
    platform::CloseFile(fd);
    return path;
  }
  path = platform::CommonDataFolder();
  AppendPart(path, company.empty() ? std::string(kDefaultCompany) : WithSeparators(std::move(company)));
  if (perUser) AppendPart(path, platform::CurrentUserName());
  AppendPart(path, WithSeparators(std::move(part1)));
  AppendPart(path, WithSeparators(std::move(part2)));
  return path;
}

int OpenDataDirectory(std::string company, std::string part1, std::string part2, bool perUser,
                      std::string* pathOut) {
  const std::string base = platform::CommonDataFolder();
  std::string below;
  AppendPart(below, company.empty() ? std::string(kDefaultCompany) : WithSeparators(std::move(company)));
  if (perUser) AppendPart(below, platform::CurrentUserName());
  AppendPart(below, WithSeparators(std::move(part1)));
  AppendPart(below, WithSeparators(std::move(part2)));
  if (pathOut) *pathOut = base + below;
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < below.size()) {
    size_t next = below.find(kPathSeparator, pos);
    if (next == std::string::npos) next = below.size();
    if (next > pos) parts.emplace_back(below, pos, next - pos);
    pos = next + 1;
  }
  // The base is the system's or the administrator's choice, made as given.
  CreateDirectoryPath(base);
  std::string refusal;
  int fd = platform::OpenFolderChain(base, parts, true, &refusal);
  if (fd < 0 && !refusal.empty()) {
    // Someone else may have planted it; nothing is written through it.
    std::fprintf(stderr, "Not using the data folder: %s\n", refusal.c_str());
    LOG_WARNING("Not using the data folder: %s", refusal.c_str());
  }
  return fd;
}

void NormalizePath(std::string& path, bool trailingSeparator) {
  path = WithSeparators(std::move(path));
  // An empty path stays empty rather than turning into the root.
  if (trailingSeparator && !path.empty() && path.back() != kPathSeparator) path.push_back(kPathSeparator);
}

bool CreateDirectoryPath(const std::string& path) {
  const std::string full = WithSeparators(path);
  if (full.empty()) return false;
  // Keep the leading separator, or an absolute path would be created as
  // relative prefixes.
  std::string prefix = full.front() == kPathSeparator ? std::string(1, kPathSeparator) : std::string();
  size_t pos = 0;
  while (pos < full.size()) {
    size_t next = full.find(kPathSeparator, pos);
    if (next == std::string::npos) next = full.size();
    if (next > pos) {
      if (!prefix.empty() && prefix.back() != kPathSeparator) prefix.push_back(kPathSeparator);
      prefix.append(full, pos, next - pos);
      CreateDirectoryForEveryone(prefix);
    }
    pos = next + 1;
  }
  return IsDirectory(full);
}

bool CreateDirectoryForEveryone(const std::string& path) {
  platform::MakeFolderForEveryone(path);
  return true;
}

bool IsDirectory(const std::string& path) { return platform::IsFolder(path); }

bool PathExists(const std::string& path) { return platform::Exists(path); }

bool RemoveDirectoryTree(const std::string& path) {
  if (path.empty()) return false;
  // Decide on the normalised form, so that "\", "//", "/." and "/.." are all
  // seen as the root, and remove exactly the folder that was checked.
  std::string normal = std::filesystem::path(WithSeparators(path)).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == kPathSeparator) normal.pop_back();
  if (normal.empty() || normal == "/" || normal == "." || normal == "..") return false;
  if (normal.size() >= 3 && normal.compare(normal.size() - 3, 3, "/..") == 0) return false;
  return platform::RemoveTree(normal);
}

bool RemoveFile(const FileEntry& entry) {
  if (entry.name.empty()) return false;
  std::string path = entry.path;
  if (!path.empty() && path.back() != kPathSeparator) path.push_back(kPathSeparator);
  path += entry.name;
  return platform::RemoveOneFile(path);
}

Directory::Directory(IFileEntry* callback, std::string textFilter, std::string suffixFilter)
    : callback_(callback), textFilter_(std::move(textFilter)), suffixFilter_(std::move(suffixFilter)) {
  ToLower(textFilter_);
  ToLower(suffixFilter_);
}

void Directory::Scan(const std::string& folder, const std::string& subPath, bool recursive) {
  ScanLevel(folder, subPath, recursive, 0);
}

void Directory::ScanLevel(const std::string& folder, const std::string& subPath, bool recursive, int depth) {
  const std::string base = folder + subPath;
  std::vector<platform::FolderEntry> entries;
  platform::ListFolder(base, &entries);

  std::string lowerSubPath = subPath;
  ToLower(lowerSubPath);
  const bool textMatches = textFilter_.empty() || lowerSubPath.find(textFilter_) != std::string::npos;

  for (const platform::FolderEntry& e : entries) {
    std::string lowerName = e.name;
    ToLower(lowerName);
    if (e.isFolder) {
      if (callback_ != nullptr) callback_->OnDirectory(FileEntry{e.name, base, 0, 0});
      if (!recursive) continue;
      // The sub-path keeps the name as found: lower-casing it would lose
      // folders whose names have capitals. Links to folders are not real
      // folders here, so a link loop is never entered.
      if (depth < kMaxScanDepth) ScanLevel(base, e.name + kPathSeparator, true, depth + 1);
    }
    if (!textMatches) continue;
    if (!suffixFilter_.empty() &&
        (lowerName.size() < suffixFilter_.size() ||
         lowerName.compare(lowerName.size() - suffixFilter_.size(), suffixFilter_.size(), suffixFilter_) != 0)) {
      continue;
    }
    if (callback_ != nullptr) {
      callback_->OnFile(FileEntry{e.name, base, static_cast<uint32_t>(e.size), e.lastWriteMs});
    }
  }
}

}  // namespace corvane
