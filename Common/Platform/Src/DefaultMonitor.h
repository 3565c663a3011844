// The scheduler's monitor: a re-entrant lock with one condition.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "Locks.h"
#include "Scheduler.h"

namespace corvane {

class DefaultMonitor final : public Scheduler::Monitor, public Lockable {
 public:
  DefaultMonitor() = default;

  int EnterWithCount(int count) override;
  int Enter() override;
  int ExitAll(int* count) override;
  int Exit() override;
  int Wait(uint32_t timeoutMs) override;
  int NotifyAll() override;

  void GetName(std::string* out) override;

 private:
  uint32_t CallerId();

  std::mutex mutex_;
  std::condition_variable cv_;
  // Read by any thread to tell whether it already owns the monitor; only the
  // owner writes it (or a thread that has just acquired the mutex).
  std::atomic<uint32_t> owner_{0};
  // Touched only by the owner while the mutex is held.
  int count_ = 0;
};

}  // namespace corvane
