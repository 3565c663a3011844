// Native threads that outlive the bodies they run, so that starting a worker
// (the transport starts one per connection) hands the body to a parked
// thread instead of cloning a new one, and ending it costs no thread exit.
//
// A thread whose body has returned parks for up to kIdleKeep; one that
// gets no new body in that time, or finds kMaxIdle others parked, ends. The
// pool joins every thread it started: ended ones at its next hand-over,
// parked ones when the process exits (Shutdown). Bodies still running then
// are left to end on their own, as unpooled threads would be.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace corvane::platform {

// Threads are made per connection, so they are kept small.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Instrumented frames are several times larger.
inline constexpr size_t kNativeStackSize = 4u << 20;
#else
inline constexpr size_t kNativeStackSize = 1u << 20;
#endif

// One body handed to the pool; done once the body has returned and let go
// of everything it captured.
class NativeRun {
 public:
  void Wait();

 private:
  friend class NativeThreadPool;
  void Finish();

  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
};

class NativeThreadPool {
 public:
  static constexpr size_t kMaxIdle = 256;
  static constexpr std::chrono::milliseconds kIdleKeep{2000};
  // A parked thread takes the name "pool-idle" after this long.
  static constexpr std::chrono::milliseconds kRenameAfter{100};

  // The process's pool; its parked threads are ended at exit.
  static NativeThreadPool& Instance();

  // Runs body on a parked thread or a new one: 0 and the run, or the error
  // number of the thread's creation.
  int Run(std::function<void()> body, std::shared_ptr<NativeRun>* run);

  // Ends and joins the parked threads. Bodies handed over later each get a
  // thread that ends with them.
  void Shutdown();

 private:
  struct Worker;

  NativeThreadPool() = default;
  static void* Main(void* arg);
  void Serve(const std::shared_ptr<Worker>& worker);

  std::mutex mutex_;
  std::vector<std::shared_ptr<Worker>> idle_;
  std::vector<pthread_t> ended_;
  bool closing_ = false;
};

}  // namespace corvane::platform
