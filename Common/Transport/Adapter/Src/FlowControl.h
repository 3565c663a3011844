// A delay-driven congestion window per connection. Writers wait while more
// bytes are unacknowledged than the window allows; the window grows while
// the measured queuing delay (delay minus the smallest delay of the last ten
// minutes) stays under 100 ms and shrinks above it. The base-delay history
// is kept per peer address by a shared factory.
//
// All state of a factory and of every FlowControl it made is guarded by one
// recursive monitor (the adapter's); OnWrite waits on it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "Scheduler.h"
#include "TransportLayer.h"

namespace corvane {

class IFlowControl {
 public:
  virtual ~IFlowControl() = default;
  // Waits up to timeoutMs for room in the window, then counts bytes as
  // unacknowledged; false on time-out.
  virtual bool OnWrite(int64_t bytes, int timeoutMs) = 0;
  // The peer received bytes after delayMs. Byte counts <= 0 are ignored.
  virtual int OnAck(int64_t delayMs, int64_t bytes) = 0;
  // Back to the initial state; wipes the peer's shared history.
  virtual int Reset() = 0;
  // Takes back the count of an admitted write that was never sent (its
  // socket went while it waited), so no acknowledgement can ever repay it.
  virtual void OnWriteCancelled(int64_t bytes) = 0;
  // Counts Reset calls: a write admitted before a reset has no count left
  // to take back.
  virtual uint64_t Resets() const = 0;
  // True once a write timed out waiting for room, until the window opens
  // again (an acknowledgement, a cancelled write or a reset): a writer that
  // may not wait long need not wait for this peer at all.
  virtual bool StayedShut() const = 0;
  // The monitor guarding the window and its connection's socket state.
  virtual Scheduler::Monitor* Monitor() const = 0;

  class Factory {
   public:
    virtual ~Factory() = default;
    virtual std::unique_ptr<IFlowControl> Create() = 0;
  };
};

class FlowControl final : public IFlowControl {
 public:
  static constexpr int64_t kMinWindow = 8192;
  static constexpr int64_t kMaxGrowth = 4096;
  static constexpr int64_t kTargetDelayMs = 100;
  static constexpr int64_t kOverrunWindowMs = 1000;
  static constexpr int64_t kMaxWriteBytes = 8192;

  class MyFactory final : public IFlowControl::Factory, public std::enable_shared_from_this<MyFactory> {
   public:
    static constexpr int kBuckets = 10;
    static constexpr int64_t kBucketMs = 60000;
    static constexpr int64_t kEmpty = INT64_MAX;

    // monitor and clock are not owned and outlive the factory and every
    // FlowControl it makes. diagnostics above 2 adds per-write and per-ack lines.
    MyFactory(Scheduler::Monitor* monitor, ILayerClock* clock, int diagnostics = 0);
    std::unique_ptr<IFlowControl> Create() override;

    // Records a delay sample in the history; returns the smallest delay of
    // the ten one-minute buckets. Under the monitor.
    int64_t RecordDelay(int64_t delayMs);
    void ResetHistory();

    Scheduler::Monitor* monitor() const { return monitor_; }
    ILayerClock* clock() const { return clock_; }
    int diagnostics() const { return diagnostics_; }

   private:
    int diagnostics_;
    int64_t lastUpdate_ = 0;
    Scheduler::Monitor* monitor_;
    ILayerClock* clock_;
    std::deque<int64_t> history_;
  };

  explicit FlowControl(std::shared_ptr<MyFactory> factory);

  bool OnWrite(int64_t bytes, int timeoutMs) override;
  int OnAck(int64_t delayMs, int64_t bytes) override;
  int Reset() override;
  void OnWriteCancelled(int64_t bytes) override;
  uint64_t Resets() const override { return resets_; }
  bool StayedShut() const override { return stayedShut_ && unacknowledged_ > window_; }
  Scheduler::Monitor* Monitor() const override { return factory_->monitor(); }

  int64_t Window() const { return window_; }
  int64_t Unacknowledged() const { return unacknowledged_; }
  bool InSlowStart() const { return slowStart_; }

 private:
  int64_t AverageWindow() const { return writeCount_ ? windowSum_ / writeCount_ : 0; }

  std::shared_ptr<MyFactory> factory_;
  int64_t unacknowledged_ = 0;
  int64_t window_ = kMinWindow;
  int64_t windowSum_ = 0;
  int64_t writeCount_ = 0;
  bool slowStart_ = true;
  // Monotonic ms of the last overrun; INT64_MIN: never.
  int64_t lastOverrun_ = INT64_MIN;
  uint64_t resets_ = 0;
  bool stayedShut_ = false;
};

}  // namespace corvane
