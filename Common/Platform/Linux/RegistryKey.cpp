#include "RegistryKey.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "Logger.h"
#include "StringUtils.h"
#include "ThreadAnnotations.h"

namespace corvane::platform {
namespace {

constexpr char kKeyPrefix[] = "SOFTWARE\\";
constexpr size_t kKeyPrefixLength = sizeof(kKeyPrefix) - 1;
// A configuration file is a handful of lines; anything this large is not one.
constexpr off_t kMaxFileSize = 1 << 20;
// File times can be as coarse as the kernel's tick, so a file rewritten
// within this span of its last parse may keep the same time stamp: such a
// file is parsed again on every read until it has aged.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
// Keys are named by code, not by input; this only stops unbounded growth.
constexpr size_t kMaxCachedFiles = 64;

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

// Decimal or 0x hexadecimal, digits only, at most 0xFFFFFFFF. A sign, a
// suffix or an empty value is not a DWORD.
std::optional<uint32_t> ParseDword(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

int64_t ToNs(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

int64_t NowNs() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return ToNs(now);
}

// What tells one version of a file from another without reading it.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;

  bool operator==(const FileStamp&) const = default;
};

struct ParsedFile {
  FileStamp stamp;
  int64_t parsedAtNs = 0;
  std::string text;
  // Lower-cased name -> value; nullopt for a line whose value is not a DWORD
  // (so that a later bad line hides an earlier good one, as "last wins" says).
  std::map<std::string, std::optional<uint32_t>> values;
};

// Its lock is a leaf: what the reads find is logged after it is let go.
struct Cache {
  CheckedMutex lock;
  std::map<std::string, ParsedFile> files GUARDED_BY(lock);
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // never destroyed: readable during exit
  return *cache;
}

void ParseText(const std::string& text, const std::string& path, ParsedFile* out,
               std::vector<std::string>* warnings) {
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    line = Trim(line);
    if (line.empty()) continue;
    size_t equals = line.find('=');
    std::string_view name = equals == std::string_view::npos ? std::string_view() : Trim(line.substr(0, equals));
    if (name.empty()) {
      warnings->push_back(FormatString("Ignoring line %zu of %s: not a name=value line", lineNumber, path.c_str()));
      continue;
    }
    std::optional<uint32_t> value = ParseDword(Trim(line.substr(equals + 1)));
    if (!value) {
      warnings->push_back(FormatString("Ignoring the value of line %zu of %s: not a number from 0 to 4294967295",
                                       lineNumber, path.c_str()));
    }
    out->values[LowerAscii(name)] = value;
  }
}

}  // namespace

std::string RegistryKeyFilePath(const std::string& keyPath) {
  if (keyPath.size() <= kKeyPrefixLength || LowerAscii(keyPath.substr(0, kKeyPrefixLength)) != "software\\") {
    return std::string();
  }
  std::string relative;
  size_t start = kKeyPrefixLength;
  while (true) {
    size_t end = keyPath.find('\\', start);
    std::string_view part(keyPath.data() + start, (end == std::string::npos ? keyPath.size() : end) - start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos ||
        part.find('\0') != std::string_view::npos) {
      return std::string();
    }
    relative += '/';
    relative += part;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  const char* root = std::getenv("CORVANE_REGISTRY_ROOT");
  std::string path = (root && *root) ? root : "/etc";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") path.clear();
  return path + relative + ".conf";
}

bool ReadRegistryDword(const std::string& keyPath, const std::string& valueName, uint32_t* value) {
  if (!value) return false;
  std::string path = RegistryKeyFilePath(keyPath);
  if (path.empty()) return false;

  std::vector<std::string> warnings;
  bool found = false;
  {
    Cache& cache = TheCache();
    CheckedLock guard(cache.lock);
    // Non-blocking, so that a FIFO or device planted in the file's place
    // cannot hold the open: only a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
      if (fd >= 0) {
        if (S_ISREG(info.st_mode) && info.st_size > kMaxFileSize) {
          warnings.push_back(
              FormatString("Ignoring %s: larger than %ld bytes", path.c_str(), static_cast<long>(kMaxFileSize)));
        }
        close(fd);
      }
      cache.files.erase(path);
    } else {
      FileStamp stamp{info.st_dev, info.st_ino, info.st_size, ToNs(info.st_mtim), ToNs(info.st_ctim)};
      auto it = cache.files.find(path);
      bool fresh = it != cache.files.end() && it->second.stamp == stamp &&
                   stamp.modifiedNs + kRacyWindowNs < it->second.parsedAtNs &&
                   stamp.changedNs + kRacyWindowNs < it->second.parsedAtNs;
      if (!fresh) {
        ParsedFile parsed;
        parsed.stamp = stamp;
        parsed.parsedAtNs = NowNs();
        std::string text;
        text.resize(static_cast<size_t>(info.st_size));
        size_t got = 0;
        while (got < text.size()) {
          ssize_t n = read(fd, text.data() + got, text.size() - got);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          got += static_cast<size_t>(n);
        }
        // A file that shrank while being read is parsed as far as it went;
        // its changed stamp makes the next read parse it again.
        text.resize(got);
        if (it != cache.files.end() && it->second.text == text) {
          // Same bytes (a recent file checked again): keep the values and do
          // not repeat the warnings once a second.
          parsed.values = std::move(it->second.values);
        } else {
          ParseText(text, path, &parsed, &warnings);
        }
        parsed.text = std::move(text);
        if (it == cache.files.end() && cache.files.size() >= kMaxCachedFiles) cache.files.clear();
        it = cache.files.insert_or_assign(path, std::move(parsed)).first;
      }
      close(fd);
      auto entry = it->second.values.find(LowerAscii(valueName));
      if (entry != it->second.values.end() && entry->second) {
        *value = *entry->second;
        found = true;
      }
    }
  }
  // Logged outside the cache lock: the logger's own set-up reads this layer.
  // Each is made once per version of the file; the first read may come
  // before the logger has anywhere to write (LogLevel is read to set it up),
  // so standard error gets them too.
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "%s\n", warning.c_str());
    LOG_WARNING("%s", warning.c_str());
  }
  return found;
}

}  // namespace corvane::platform
