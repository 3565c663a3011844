// The control dispatcher on Linux: systemd stops a service with SIGTERM, a
// terminal with SIGINT. Both are blocked in every thread (see
// PrepareServiceProcess) and read from a signalfd by the dispatching thread,
// which calls the registered control handler. An eventfd wakes the same
// poll when a handler is registered or the service thread ends.

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "Logger.h"
#include "Scheduler.h"
#include "ServiceControl.h"
#include "ThreadAnnotations.h"

namespace corvane::platform {

namespace {

void StopSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
}

// The one dispatcher of the process and what the control thread needs to
// know about the service it runs.
struct DispatcherState {
  CheckedMutex mutex;
  // Held while a handler runs, so that ClearServiceControlHandler can wait
  // for it. Taken before mutex, never the other way round.
  CheckedMutex callMutex ACQUIRED_BEFORE(mutex);
  bool running GUARDED_BY(mutex) = false;
  int wakeFd GUARDED_BY(mutex) = -1;
  uint64_t generation GUARDED_BY(mutex) = 0;  // bumped per dispatcher run
  uint64_t handle GUARDED_BY(mutex) = 0;      // current registration, 0 when none
  ServiceControlHandler handler GUARDED_BY(mutex) = nullptr;
  void* context GUARDED_BY(mutex) = nullptr;
  uint32_t state GUARDED_BY(mutex) = ServiceState_StartPending;
  uint32_t accepted GUARDED_BY(mutex) = ServiceAccept_Stop;
  bool stopPending GUARDED_BY(mutex) = false;
};

DispatcherState& State() {
  static DispatcherState* state = new DispatcherState;  // never destroyed: threads may outlive main
  return *state;
}

void WakeDispatcher(int fd) {
  if (fd < 0) return;
  uint64_t one = 1;
  ssize_t n;
  do {
    n = write(fd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

// Runs the service's entry routine once on its own thread, then tells the
// dispatcher.
class ServiceThread : public Scheduler::Runnable {
 public:
  ServiceThread(std::function<void()> body, int wakeFd) : body_(std::move(body)), wakeFd_(wakeFd) {}
  bool Run() override {
    if (!ran_) {
      ran_ = true;
      body_();
      done_.store(true, std::memory_order_release);
      WakeDispatcher(wakeFd_);
    }
    return false;
  }
  bool OnStart() override { return true; }
  bool OnStop() override { return true; }
  bool Done() const { return done_.load(std::memory_order_acquire); }

 private:
  std::function<void()> body_;
  int wakeFd_;
  bool ran_ = false;
  std::atomic<bool> done_{false};
};

// Delivers a pending stop when a handler is there to take it and the
// reported state accepts it. Runs on the dispatching thread only.
void DeliverPendingStop() {
  DispatcherState& s = State();
  CheckedLock call(s.callMutex);
  ServiceControlHandler handler;
  void* context;
  {
    CheckedLock hold(s.mutex);
    if (!s.stopPending || s.handler == nullptr) return;
    s.stopPending = false;
    if (s.state == ServiceState_StopPending || s.state == ServiceState_Stopped) return;
    if ((s.accepted & ServiceAccept_Stop) == 0) return;
    handler = s.handler;
    context = s.context;
  }
  handler(ServiceControl_Stop, 0, nullptr, context);
}

}  // namespace

void PrepareServiceProcess() {
  // A fixed threshold: glibc's own rises with every large block freed, after
  // which such blocks come from (and stay in) the heap.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Fixing that threshold also fixes the trim threshold at its 128 KiB
  // default. Each short connection (a dashboard polling the web API) frees
  // its buffers at the top of its thread's arena, and every trim past
  // 128 KiB gave pages back only to fault them in again, flushing the TLB
  // of every core each time. 1 MiB per arena keeps a few connections' worth.
  mallopt(M_TRIM_THRESHOLD, 1 << 20);
  sigset_t set;
  StopSignals(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseStopSignals() {
  sigset_t set;
  StopSignals(&set);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool RunServiceDispatcher(const std::function<void()>& serviceMain) {
  DispatcherState& s = State();
  sigset_t set;
  StopSignals(&set);
  // signalfd only sees signals that are blocked; the caller normally blocked
  // them in main already.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    LOG_SEVERE("Unable to create the stop signal descriptor, errno %d", errno);
    return false;
  }
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    LOG_SEVERE("Unable to create the dispatcher's wake descriptor, errno %d", errno);
    close(signalFd);
    return false;
  }
  {
    CheckedLock hold(s.mutex);
    if (s.running) {
      close(signalFd);
      close(wakeFd);
      return false;
    }
    s.running = true;
    s.wakeFd = wakeFd;
    ++s.generation;
    s.handle = 0;
    s.handler = nullptr;
    s.context = nullptr;
    s.state = ServiceState_StartPending;
    s.accepted = ServiceAccept_Stop;
    s.stopPending = false;
  }

  auto runnable = std::make_unique<ServiceThread>(serviceMain, wakeFd);
  std::unique_ptr<Scheduler::Thread> thread(GetDefaultScheduler()->CreateThread(runnable.get(), -1, false));
  bool started = false;
  if (thread) {
    thread->SetName("service-ctl");
    thread->ThreadStart(kInfinite);
    started = thread->IsRunning();
  }
  if (started) {
    while (!runnable->Done()) {
      pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      // Unbounded: the loop ends only when the service thread says so, and
      // a stop signal is the way to make it say so.
      int n = poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        LOG_SEVERE("Dispatcher poll failed, errno %d", errno);
        break;
      }
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        while (read(wakeFd, &count, sizeof count) > 0) {
        }
      }
      if (runnable->Done()) break;
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) {
            CheckedLock hold(s.mutex);
            s.stopPending = true;
          }
        }
      }
      DeliverPendingStop();
    }
    thread->Stop();
  } else {
    LOG_SEVERE("Unable to start the service thread");
  }
  thread.reset();

  {
    CheckedLock call(s.callMutex);
    CheckedLock hold(s.mutex);
    s.running = false;
    s.wakeFd = -1;
    s.handle = 0;
    s.handler = nullptr;
    s.context = nullptr;
  }
  close(signalFd);
  close(wakeFd);
  return started;
}

uint64_t RegisterServiceControlHandler(const std::string& /*name*/, ServiceControlHandler handler, void* context) {
  DispatcherState& s = State();
  if (handler == nullptr) return 0;
  CheckedLock hold(s.mutex);
  if (!s.running) return 0;
  s.handler = handler;
  s.context = context;
  s.handle = s.generation;
  // A stop may have arrived before anyone could take it.
  WakeDispatcher(s.wakeFd);
  return s.handle;
}

void ClearServiceControlHandler() {
  DispatcherState& s = State();
  CheckedLock call(s.callMutex);
  CheckedLock hold(s.mutex);
  s.handler = nullptr;
  s.context = nullptr;
  s.handle = 0;
}

bool SetServiceStatus(uint64_t handle, const ServiceStatus& status) {
  DispatcherState& s = State();
  {
    CheckedLock hold(s.mutex);
    if (handle == 0 || !s.running || handle != s.handle) return false;
    s.state = status.currentState;
    s.accepted = status.controlsAccepted;
  }
  if (status.currentState == ServiceState_Running) {
    NotifyServiceManager("READY=1");
  } else if (status.currentState == ServiceState_StopPending) {
    NotifyServiceManager("STOPPING=1");
  }
  return true;
}

bool NotifyServiceManager(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr) return false;
  size_t length = std::strlen(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // "/path" is a socket in the file system, "@name" one in the abstract
  // namespace.
  if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return false;
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';
  socklen_t addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                        addressLength);
  close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace corvane::platform
