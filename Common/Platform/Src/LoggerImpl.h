// The logger behind ILogger. Only the singleton accessors and the tests make
// one; everything else goes through GetLogger / GetLoggerInstance.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Logger.h"
#include "RefCount.h"
#include "Scheduler.h"

namespace corvane {

class Logger final : public ILogger, public IRefCountImpl {
 public:
  // Places tracked by the rate limiter; a new place beyond this is written
  // and never limited.
  static constexpr size_t kMaxPlaces = 10000;
  static constexpr int64_t kShortWindowMs = 5000;
  static constexpr size_t kShortLimit = 5;
  static constexpr int64_t kShortSuspendMs = 60000;
  static constexpr int64_t kLongWindowMs = 60000;
  static constexpr size_t kLongLimit = 50;
  static constexpr int64_t kLongSuspendMs = 600000;

  static constexpr char kShortWarning[] =
      "WARNING -- The above log message has been detected 5 times in one second and will be suspended for 1 minute";
  static constexpr char kLongWarning[] =
      "WARNING -- The above log message has been detected 50 times in the last minute and will be suspended for 10 "
      "minutes";

  Logger();
  ~Logger() override;

  // The process singleton is never deleted, whatever its count: a disabled
  // log call then needs no reference at all.
  void MakeImmortal() { immortal_.store(true, std::memory_order_relaxed); }
  int Release() override;
  void Destroy() override;

  int AddStore(ILogStore* store) override;
  int RemoveStore(ILogStore* store) override;
  int IsEnabled(uint32_t levelFlags, uint32_t verbosity, bool* out) override;
  int SetMask(uint32_t mask) override;
  int GetMask(uint32_t* out) override;
  int SetLevel(uint32_t level) override;
  int GetLevel(uint32_t* out) override;
  int Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t timeMs,
            uint32_t threadId, int line, const std::string& message, bool bypassRateLimit) override;

  size_t GetPlaceCount();
  // Drops every place's history and suspension. For tests that check a line
  // is written: the key holds the thread, and a pooled thread carries what
  // an earlier test's flood did on it.
  void ForgetPlaces();

 private:
  // Time stamps of one window, oldest first. The capacity is the window's
  // limit: reaching it suspends the place, and a suspension outlasts the
  // window, so with a clock that only moves forward nothing is ever pushed
  // out. It only bounds memory when the wall clock steps back.
  template <size_t N>
  class StampWindow {
   public:
    void Push(int64_t stamp) {
      if (count_ == N) Pop();
      stamps_[(head_ + count_) % N] = stamp;
      ++count_;
    }
    // Drops stamps at least spanMs old; stops at the first younger one (a
    // stamp from the future is younger).
    void Expire(int64_t now, int64_t spanMs) {
      while (count_ > 0 && now - stamps_[head_] >= spanMs) Pop();
    }
    size_t Size() const { return count_; }

   private:
    void Pop() {
      head_ = (head_ + 1) % N;
      --count_;
    }
    std::array<int64_t, N> stamps_{};
    size_t head_ = 0;
    size_t count_ = 0;
  };

  struct Place {
    StampWindow<kShortLimit> shortWindow;
    StampWindow<kLongLimit> longWindow;
    int64_t suspendedUntil = 0;
  };

  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>()(key); }
  };

  using StoreList = std::vector<RefPtr<ILogStore>>;

  // Under lock_: false when the message must be dropped; *warning is set
  // when this message starts a suspension.
  bool AdmitLocked(const std::string& key, const char** warning);

  std::atomic<uint32_t> mask_{Log_All};
  std::atomic<uint32_t> level_{0};
  std::atomic<bool> immortal_{false};

  // Guards places_ and stores_. Nothing the lock protects is touched outside
  // it; stores are written to from a snapshot taken under it.
  std::unique_ptr<Scheduler::FastMutex> lock_;
  std::unordered_map<std::string, Place, KeyHash, std::equal_to<>> places_;
  std::shared_ptr<const StoreList> stores_;
};

}  // namespace corvane
