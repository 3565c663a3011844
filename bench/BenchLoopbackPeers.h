// Shared by the endpoint benches' peer processes: many loopback
// connections opened in batches, each of which says one byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace bench {

[[noreturn]] inline void Die(const char* what) {
  std::fprintf(stderr, "peers: %s failed (errno %d)\n", what, errno);
  _exit(1);
}

// count non-blocking connections to 127.0.0.1:port, `batch` connecting at
// once; each sends "p" once connected, so the server has heard from all.
// Exits the process when any step fails.
inline std::vector<int> ConnectPeers(uint16_t port, int count, int batch) {
  std::vector<int> fds;
  for (int first = 0; first < count; first += batch) {
    std::vector<pollfd> waiting;
    for (int i = first; i < std::min(count, first + batch); ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) Die("socket");
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa.sin_port = htons(port);
      if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 && errno != EINPROGRESS) Die("connect");
      fds.push_back(fd);
      waiting.push_back(pollfd{fd, POLLOUT, 0});
    }
    size_t done = 0;
    while (done < waiting.size()) {
      if (poll(waiting.data(), waiting.size(), 20000) <= 0) Die("connect wait");
      for (pollfd& p : waiting) {
        if (p.fd >= 0 && p.revents != 0) {
          p.fd = -1;
          ++done;
        }
      }
    }
  }
  for (int fd : fds) {
    if (send(fd, "p", 1, MSG_NOSIGNAL) != 1) Die("send");
  }
  return fds;
}

}  // namespace bench
