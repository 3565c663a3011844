// Helpers shared by the platform tests: polling with a deadline and a log
// store that keeps every line it is given.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logger.h"
#include "RefCount.h"

namespace corvane::test {

// Polls until pred holds or timeoutMs pass; returns pred's last value.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct CapturedLine {
  uint32_t levelFlags;
  uint32_t threadId;
  std::string function;
  std::string message;
};

class CapturingStore final : public ILogStore, public IRefCountImpl {
 public:
  void Write(uint32_t levelFlags, const std::string& /*file*/, const std::string& function, int64_t /*timeMs*/,
             uint32_t threadId, int /*line*/, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({levelFlags, threadId, function, message});
  }
  std::vector<CapturedLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool Has(uint32_t levelFlags, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
      if (l.levelFlags == levelFlags && l.message.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<CapturedLine> lines_;
};

// Registers a capturing store with the process logger for one scope.
class ScopedCapture {
 public:
  ScopedCapture() : store_(new CapturingStore(), false) { GetLoggerInstance()->AddStore(store_.Get()); }
  ~ScopedCapture() { GetLoggerInstance()->RemoveStore(store_.Get()); }
  CapturingStore* operator->() const { return store_.Get(); }

 private:
  RefPtr<CapturingStore> store_;
};

}  // namespace corvane::test
