#include "DefaultMonitor.h"

#include <chrono>

#include "Result.h"

namespace corvane {

uint32_t DefaultMonitor::CallerId() {
  Scheduler* scheduler = GetDefaultScheduler();
  const uint32_t id = scheduler->GetCurrentThreadId();
  // Id 0 means "no owner"; a caller with that id would corrupt the ownership.
  if (id == 0) scheduler->Abort();
  return id;
}

int DefaultMonitor::Enter() {
  const uint32_t me = CallerId();
  if (owner_.load(std::memory_order_relaxed) == me) {
    ++count_;
    return Result_Ok;
  }
  mutex_.lock();
  owner_.store(me, std::memory_order_relaxed);
  count_ = 1;
  return Result_Ok;
}

int DefaultMonitor::EnterWithCount(int count) {
  Enter();
  count_ = count;
  return Result_Ok;
}

int DefaultMonitor::Exit() {
  if (owner_.load(std::memory_order_relaxed) != CallerId()) return Result_Fail;
  if (--count_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
  }
  return Result_Ok;
}

int DefaultMonitor::ExitAll(int* count) {
  if (owner_.load(std::memory_order_relaxed) != CallerId()) return Result_Fail;
  if (count) *count = count_;
  count_ = 0;
  owner_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
  return Result_Ok;
}

int DefaultMonitor::Wait(uint32_t timeoutMs) {
  const uint32_t me = CallerId();
  if (owner_.load(std::memory_order_relaxed) != me) return Result_Fail;
  const int saved = count_;
  count_ = 0;
  owner_.store(0, std::memory_order_relaxed);
  // The time-out is a plain count of milliseconds: 0xFFFFFFFF is about 49.7
  // days, not "for ever". Callers re-check their condition afterwards.
  GetDefaultScheduler()->Execute([this, timeoutMs] {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    cv_.wait_for(lock, std::chrono::milliseconds(static_cast<uint64_t>(timeoutMs)));
    lock.release();
  });
  owner_.store(me, std::memory_order_relaxed);
  count_ = saved;
  return Result_Ok;
}

int DefaultMonitor::NotifyAll() {
  cv_.notify_all();
  return Result_Ok;
}

void DefaultMonitor::GetName(std::string* out) {
  if (out) *out = "Monitor";
}

}  // namespace corvane
