// Service registration on Linux: a systemd unit file.
//
// Creating the unit exclusively makes an existing registration a failure, as
// it is for any service manager that refuses a duplicate name. Enabling the
// unit (the automatic start) and reloading systemd are best-effort steps:
// they run only when systemd is the running init and the unit goes to the
// system folder, not to a folder named by CORVANE_SYSTEMD_DIR (tests and
// package staging, where this machine's systemd must not be touched).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FileIo.h"
#include "Logger.h"
#include "Service.h"
#include "ServiceControl.h"

extern char** environ;

namespace corvane {

namespace {

constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system";

bool UnitDirectoryOverridden() {
  const char* dir = std::getenv("CORVANE_SYSTEMD_DIR");
  return dir != nullptr && dir[0] != '\0';
}

// What sd_booted() checks: systemd creates this folder when it is init.
bool SystemdIsRunning() {
  struct stat st;
  return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

bool ManagesThisMachine() { return !UnitDirectoryOverridden() && SystemdIsRunning(); }

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// systemd refuses an executable path with control characters, backslashes or
// quotes in it; the path may only be enclosed in one pair of double quotes.
bool IsUsableExecStart(const std::string& path) {
  if (path.empty()) return false;
  size_t innerBegin = 0;
  size_t innerEnd = path.size();
  if (path.front() == '"') {
    if (path.size() < 3 || path.back() != '"') return false;
    innerBegin = 1;
    innerEnd = path.size() - 1;
  }
  for (size_t i = innerBegin; i < innerEnd; ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '\'' || c == '"') return false;
  }
  return true;
}

// Writes every `special` twice, which systemd reads as the character itself.
std::string DoubleEach(const std::string& text, char special) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == special) out += c;
    out += c;
  }
  return out;
}

// systemd expands "%" specifiers in these settings.
std::string EscapeSpecifiers(const std::string& text) { return DoubleEach(text, '%'); }

// ExecStart= also expands "$NAME" and "${NAME}".
std::string EscapeVariables(const std::string& text) { return DoubleEach(text, '$'); }

// Runs systemctl with the given arguments and waits for it; its own messages
// go to our standard error. Failure is reported, never fatal.
void RunSystemctl(const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"systemctl"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::string command;
  for (const auto& word : words) command += (command.empty() ? "" : " ") + word;

  // The service process blocks its stop signals; systemctl must not inherit
  // that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int error = posix_spawnp(&pid, "systemctl", nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    LOG_WARNING("Unable to run %s, error %d", command.c_str(), error);
    std::fprintf(stderr, "Unable to run %s\n", command.c_str());
    return;
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    LOG_WARNING("%s failed, status %d", command.c_str(), status);
    std::fprintf(stderr, "%s failed\n", command.c_str());
  }
}

std::string UnitPath(const std::string& serviceName) {
  std::string dir = platform::ServiceUnitDirectory();
  if (dir.back() != '/') dir += '/';
  return dir + platform::ServiceUnitName(serviceName);
}

}  // namespace

namespace platform {

std::string ServiceUnitDirectory() {
  if (UnitDirectoryOverridden()) return std::getenv("CORVANE_SYSTEMD_DIR");
  return kDefaultUnitDirectory;
}

std::string ServiceUnitName(const std::string& serviceName) {
  std::string unit = serviceName;
  for (char& c : unit) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                c == '.' || c == ':' || c == '-';
    if (!keep) c = '-';
  }
  return unit + ".service";
}

std::string ServiceUnitText(const std::string& executablePath, const std::string& displayName,
                            const std::string& description, const std::string& dependencies,
                            bool restartOnFailure) {
  if (!IsUsableExecStart(executablePath) || HasLineBreak(displayName) || HasLineBreak(description) ||
      HasLineBreak(dependencies)) {
    return "";
  }
  // Dependencies are service names separated by NUL characters or blanks.
  std::string after = "network.target";
  std::string required;
  std::string name;
  auto flush = [&] {
    if (name.empty()) return;
    std::string unit = ServiceUnitName(name);
    after += " " + unit;
    required += (required.empty() ? "" : " ") + unit;
    name.clear();
  };
  for (char c : dependencies) {
    if (c == '\0' || c == ' ' || c == '\t') {
      flush();
    } else {
      name += c;
    }
  }
  flush();

  std::string text;
  if (!displayName.empty()) text += "# " + displayName + "\n";
  text += "[Unit]\n";
  if (!description.empty()) text += "Description=" + EscapeSpecifiers(description) + "\n";
  text += "After=" + after + "\n";
  if (!required.empty()) text += "Requires=" + required + "\n";
  if (restartOnFailure) text += "StartLimitIntervalSec=0\n";
  text += "\n[Service]\nType=simple\n";
  text += "ExecStart=" + EscapeVariables(EscapeSpecifiers(executablePath)) + "\n";
  if (restartOnFailure) text += "Restart=on-failure\nRestartSec=1\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

}  // namespace platform

bool InstallService(const std::string& executablePath, const std::string& name, const std::string& displayName,
                    const std::string& description, const std::string& dependencies, bool restartOnFailure) {
  if (name.empty() || HasLineBreak(name)) return false;
  std::string text = platform::ServiceUnitText(executablePath, displayName, description, dependencies,
                                               restartOnFailure);
  if (text.empty()) return false;

  std::string path = UnitPath(name);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    LOG_WARNING("Unable to create %s, errno %d", path.c_str(), errno);
    return false;
  }
  bool written = platform::WriteFully(fd, text.data(), text.size());
  if (close(fd) != 0) written = false;
  if (!written) {
    // A half-written unit would block the next install.
    unlink(path.c_str());
    LOG_WARNING("Unable to write %s", path.c_str());
    return false;
  }

  if (ManagesThisMachine()) {
    RunSystemctl({"daemon-reload"});
    RunSystemctl({"enable", platform::ServiceUnitName(name)});
  }
  return true;
}

bool UninstallService(const std::string& name) {
  if (name.empty()) return false;
  std::string path = UnitPath(name);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  bool managed = ManagesThisMachine();
  if (managed) RunSystemctl({"disable", platform::ServiceUnitName(name)});
  if (unlink(path.c_str()) != 0) {
    LOG_WARNING("Unable to remove %s, errno %d", path.c_str(), errno);
    return false;
  }
  if (managed) RunSystemctl({"daemon-reload"});
  return true;
}

}  // namespace corvane
