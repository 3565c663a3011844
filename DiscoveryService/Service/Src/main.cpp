// TalvenorDiscoveryService: the process entry.
//
//   (no word)   run under systemd (Type=simple): until SIGTERM
//   -e          run in the foreground: until SIGTERM or Ctrl-C
//   -i          install as a service, the executable being in the current folder
//   -i:<folder> install as a service, the executable being in <folder>
//   -u          uninstall the service
//
// Only the first word counts; the exit status is always 0 (installation and
// removal report on standard output).

#include <cstdio>
#include <string>

#include "DiscoveryServiceConstants.h"
#include "DiscoveryServiceMain.h"
#include "FileIo.h"
#include "RefCount.h"
#include "Service.h"
#include "ServiceControl.h"

namespace {

using corvane::talvenor::kServiceDescription;
using corvane::talvenor::kServiceDisplayName;
using corvane::talvenor::kServiceName;
constexpr char kExecutableName[] = "TalvenorDiscoveryService";

// The quoted executable path registered for the service, or "" when the
// folder cannot be written into a unit file. systemd takes only absolute
// paths, so a relative folder is taken from the current one.
std::string ExecutablePath(std::string folder) {
  if (folder.find_first_of("\"\r\n") != std::string::npos) return "";
  if (!folder.empty() && folder.front() != '/') {
    std::string cwd = corvane::platform::CurrentDirectory();
    if (cwd.empty()) return "";
    if (cwd.back() != '/') cwd += '/';
    folder = cwd + folder;
  }
  std::string path = "\"" + folder;
  if (path.back() != '/') path += '/';
  return path + kExecutableName + "\"";
}

void Install(const std::string& executablePath) {
  bool ok = !executablePath.empty() &&
            corvane::InstallService(executablePath, kServiceName, kServiceDisplayName, kServiceDescription, "", false);
  std::printf(ok ? "\n\nService Installed Successfully\n" : "\n\nError Installing Service\n");
}

// Runs the service object one way or the other, then tears it down here
// rather than in an exit handler, while every thread it joins still exists.
void Run(bool console) {
  corvane::IService* service = nullptr;
  if (corvane::GetServiceObject(&service) == 0 && service != nullptr) {
    if (console) {
      service->RunInConsole();
    } else {
      service->RunAsService();
    }
    service->Release();
  }
  corvane::ReleaseServiceInstance();
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask and the
  // stop signals reach only the dispatcher.
  corvane::platform::PrepareServiceProcess();

  if (argc < 2) {
    Run(false);
    return 0;
  }
  const std::string word = argv[1];
  if (word.compare(0, 3, "-i:") == 0) {
    Install(ExecutablePath(word.substr(3)));
  } else if (word == "-i") {
    std::string cwd = corvane::platform::CurrentDirectory();
    Install(cwd.empty() ? std::string() : ExecutablePath(cwd));
  } else if (word == "-u") {
    bool ok = corvane::UninstallService(kServiceName);
    std::printf(ok ? "\n\nService UnInstalled Successfully\n" : "\n\nError UnInstalling Service\n");
  } else if (word == "-e") {
    Run(true);
  } else {
    std::printf("\n\nUsage:\n");
    std::printf("    -i     To install this as a service\n");
    std::printf("    -u     To uninstall this as a service\n");
    std::printf("    -e     To run this as an executable\n");
  }
  return 0;
}
