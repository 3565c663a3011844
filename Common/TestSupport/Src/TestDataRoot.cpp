#include "TestDataRoot.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "Directory.h"

namespace corvane::test {
namespace {

// Sets name to value, remembering what was there.
void Replace(const char* name, const std::string& value, bool* hadPrevious, std::string* previous) {
  const char* old = getenv(name);
  *hadPrevious = old != nullptr;
  if (old) *previous = old;
  setenv(name, value.c_str(), 1);
}

void Restore(const char* name, bool hadPrevious, const std::string& previous) {
  if (hadPrevious) {
    setenv(name, previous.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

TempFolder::TempFolder(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempFolder::~TempFolder() {
  if (!path_.empty()) RemoveDirectoryTree(path_);
}

TempDataRoot::TempDataRoot() : folder_("tds-data") {
  Replace("CORVANE_DATA_ROOT", folder_.Path(), &hadPrevious_, &previous_);
}

TempDataRoot::~TempDataRoot() { Restore("CORVANE_DATA_ROOT", hadPrevious_, previous_); }

TempConfigRoot::TempConfigRoot() : folder_("tds-config") {
  if (!folder_.Path().empty()) mkdir((folder_ / "Corvane").c_str(), 0755);
  Replace("CORVANE_REGISTRY_ROOT", folder_.Path(), &hadPrevious_, &previous_);
}

TempConfigRoot::~TempConfigRoot() { Restore("CORVANE_REGISTRY_ROOT", hadPrevious_, previous_); }

std::string TempConfigRoot::File() const { return folder_ / "Corvane/DirectoryService.conf"; }

bool TempConfigRoot::Write(const std::string& text) {
  const std::string aside = File() + ".new";
  return WriteFile(aside, text) && std::rename(aside.c_str(), File().c_str()) == 0;
}

bool TempConfigRoot::WriteInPlace(const std::string& text) { return WriteFile(File(), text); }

}  // namespace corvane::test
