// Helpers for the service host's tests: text files, child processes of the
// service executable and a stand-in for systemd's notification socket.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Directory.h"
#include "TestDataRoot.h"
#include "TestWait.h"

extern char** environ;

namespace corvane::test {

using Clock = std::chrono::steady_clock;

inline bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

inline bool ReadTextFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

// Every *.log file of a folder, concatenated in name order.
inline std::string ReadLogs(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string all;
  for (const auto& name : names) {
    std::string text;
    if (ReadTextFile(folder + "/" + name, &text)) all += text;
  }
  return all;
}

// A child process with its standard output captured.
class Child {
 public:
  Child() = default;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) close(out_);
    if (pidFd_ >= 0) close(pidFd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts program with the arguments after argv[0]; env holds variables to
  // set ("" value: unset); cwd, when not empty, is the child's folder.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}, const std::string& cwd = "") {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      if (env.count(name) == 0) variables.push_back(entry);
    }
    for (const auto& [name, value] : env) {
      if (!value.empty()) variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    int error = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    if (error != 0) {
      close(pipeFds[0]);
      pid_ = -1;
      return false;
    }
    out_ = pipeFds[0];
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
  }

  pid_t Pid() const { return pid_; }

  bool Signal(int signo) { return pid_ > 0 && kill(pid_, signo) == 0; }

  // Waits for the child to end; true with its wait status in *status.
  bool Wait(std::chrono::milliseconds timeout, int* status) {
    if (pid_ <= 0) return false;
    auto deadline = Clock::now() + timeout;
    for (;;) {
      pid_t done = waitpid(pid_, status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      if (pidFd_ >= 0) {
        pollfd fd{pidFd_, POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long>(left, 10)));
      }
    }
  }

  // Everything the child wrote to standard output until it closed it.
  std::string ReadOutput(std::chrono::milliseconds timeout) {
    std::string text;
    auto deadline = Clock::now() + timeout;
    char buffer[4096];
    while (out_ >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd fd{out_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
      ssize_t n = read(out_, buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    return text;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int pidFd_ = -1;
};

// Runs program to its end; its output and exit code (-1 when it did not
// exit normally in time).
struct RunResult {
  std::string output;
  int exitCode = -1;
};

inline RunResult RunToEnd(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {}, const std::string& cwd = "") {
  RunResult result;
  Child child;
  if (!child.Start(program, args, env, cwd)) return result;
  result.output = child.ReadOutput(std::chrono::seconds(60));
  int status = 0;
  if (child.Wait(std::chrono::seconds(60), &status) && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}


// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(std::string path) : path_(std::move(path)) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }
  // The next datagram, or "" when none arrives in time.
  std::string Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buffer[256];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace corvane::test
