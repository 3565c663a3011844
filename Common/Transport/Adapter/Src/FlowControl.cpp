#include "FlowControl.h"

#include <algorithm>

#include "Locks.h"
#include "Logger.h"

namespace corvane {

FlowControl::MyFactory::MyFactory(Scheduler::Monitor* monitor, ILayerClock* clock, int diagnostics)
    : diagnostics_(diagnostics), monitor_(monitor), clock_(clock), history_(kBuckets, kEmpty) {}

std::unique_ptr<IFlowControl> FlowControl::MyFactory::Create() {
  return std::make_unique<FlowControl>(shared_from_this());
}

int64_t FlowControl::MyFactory::RecordDelay(int64_t delayMs) {
  MonitorGuard guard(monitor_);
  const int64_t now = clock_->MonotonicMs();
  int64_t k = std::min<int64_t>(SaturatingSub(now / kBucketMs, lastUpdate_ / kBucketMs), kBuckets);
  if (k < 0) k = 1;  // the clock went back past a minute boundary
  if (k == 0) {
    history_.back() = std::min(history_.back(), delayMs);
  } else {
    lastUpdate_ = now;
    for (int64_t i = 0; i < k - 1; ++i) {
      history_.pop_front();
      history_.push_back(kEmpty);
    }
    history_.pop_front();
    history_.push_back(delayMs);
  }
  return *std::min_element(history_.begin(), history_.end());
}

void FlowControl::MyFactory::ResetHistory() {
  MonitorGuard guard(monitor_);
  history_.assign(kBuckets, kEmpty);
  lastUpdate_ = 0;
}

FlowControl::FlowControl(std::shared_ptr<MyFactory> factory) : factory_(std::move(factory)) {}

bool FlowControl::OnWrite(int64_t bytes, int timeoutMs) {
  Scheduler::Monitor* monitor = factory_->monitor();
  ILayerClock* clock = factory_->clock();
  MonitorGuard guard(monitor);
  if (bytes > kMaxWriteBytes) LOG_SEVERE("got %lld byte packet in FlowControlImpl", static_cast<long long>(bytes));
  const int64_t start = clock->MonotonicMs();
  while (unacknowledged_ > window_) {
    const int64_t elapsed = clock->MonotonicMs() - start;
    const int64_t remaining = static_cast<int64_t>(timeoutMs) - elapsed;
    if (remaining <= 0) {
      LOG_SEVERE("on timeout (%lld vs %lld) write %lld unacked %lld window %lld avg %lld",
                 static_cast<long long>(elapsed), static_cast<long long>(timeoutMs), static_cast<long long>(bytes),
                 static_cast<long long>(unacknowledged_), static_cast<long long>(window_),
                 static_cast<long long>(AverageWindow()));
      stayedShut_ = true;
      return false;
    }
    monitor->Wait(static_cast<uint32_t>(remaining));
  }
  if (factory_->diagnostics() > 2) {
    LOG_INFO("write %lld unacked %lld window %lld avg %lld", static_cast<long long>(bytes),
             static_cast<long long>(unacknowledged_), static_cast<long long>(window_),
             static_cast<long long>(AverageWindow()));
    windowSum_ = SaturatingAdd(windowSum_, window_);
    ++writeCount_;
  }
  stayedShut_ = false;
  unacknowledged_ = SaturatingAdd(unacknowledged_, bytes);
  if (unacknowledged_ > window_) lastOverrun_ = clock->MonotonicMs();
  return true;
}

int FlowControl::OnAck(int64_t delayMs, int64_t bytes) {
  MonitorGuard guard(factory_->monitor());
  // The byte count comes from the network: a count <= 0 would only grow the
  // unacknowledged bytes and stall every writer.
  if (bytes <= 0) return 0;
  const int64_t base = factory_->RecordDelay(delayMs);
  int64_t queuing = SaturatingSub(delayMs, base);
  if (factory_->diagnostics() > 2) {
    LOG_INFO("ack %lld unacked %lld window %lld delay %lld-%lld=%lld", static_cast<long long>(bytes),
             static_cast<long long>(unacknowledged_), static_cast<long long>(window_),
             static_cast<long long>(delayMs), static_cast<long long>(base), static_cast<long long>(queuing));
  }
  const int64_t now = factory_->clock()->MonotonicMs();
  if (queuing <= kTargetDelayMs) {
    // No growth while the window is not in use.
    if (lastOverrun_ == INT64_MIN || now > SaturatingAdd(lastOverrun_, kOverrunWindowMs)) queuing = kTargetDelayMs;
  } else {
    slowStart_ = false;
  }
  const int64_t a = slowStart_ ? 1 : std::min(window_, bytes);
  const int64_t b = slowStart_ ? 1 : std::max(window_, bytes);
  // 128-bit, because delay and byte count come from the network. Only a
  // product far beyond any window can overflow it, and such a loss clamps
  // the window to its floor anyway.
  const __int128 delayTerm = static_cast<__int128>(kTargetDelayMs) - queuing;
  __int128 product = 0;
  const int64_t oldWindow = window_;
  if (__builtin_mul_overflow(delayTerm, static_cast<__int128>(a) * 4096, &product)) {
    window_ = kMinWindow;
  } else {
    const __int128 gain = product / (static_cast<__int128>(b) * 100);
    const __int128 grown = std::min<__int128>(oldWindow + gain, static_cast<__int128>(oldWindow) + kMaxGrowth);
    window_ = grown <= kMinWindow ? kMinWindow : static_cast<int64_t>(std::min<__int128>(grown, INT64_MAX));
  }
  unacknowledged_ = std::max<int64_t>(0, SaturatingSub(unacknowledged_, bytes));
  if (unacknowledged_ <= window_) stayedShut_ = false;
  if (window_ > unacknowledged_) factory_->monitor()->NotifyAll();
  return 0;
}

void FlowControl::OnWriteCancelled(int64_t bytes) {
  MonitorGuard guard(factory_->monitor());
  if (bytes <= 0) return;
  unacknowledged_ = std::max<int64_t>(0, SaturatingSub(unacknowledged_, bytes));
  if (unacknowledged_ <= window_) stayedShut_ = false;
  factory_->monitor()->NotifyAll();
}

int FlowControl::Reset() {
  MonitorGuard guard(factory_->monitor());
  factory_->ResetHistory();
  ++resets_;
  stayedShut_ = false;
  unacknowledged_ = 0;
  window_ = kMinWindow;
  slowStart_ = true;
  windowSum_ = 0;
  writeCount_ = 0;
  factory_->monitor()->NotifyAll();
  return 0;
}

}  // namespace corvane
