// A log store that keeps every line it is given, and a scope that registers
// one with the process logger, for tests that check what is logged.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Logger.h"
#include "RefCount.h"

namespace corvane::test {

struct CapturedLine {
  uint32_t levelFlags;
  uint32_t threadId;
  std::string function;
  std::string message;
  std::string file;
  int line;
};

class CapturingStore final : public ILogStore, public IRefCountImpl {
 public:
  void Write(uint32_t levelFlags, const std::string& file, const std::string& function, int64_t /*timeMs*/,
             uint32_t threadId, int line, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({levelFlags, threadId, function, message, file, line});
  }
  std::vector<CapturedLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // A line of any level holding text.
  bool Contains(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
      if (l.message.find(text) != std::string::npos) return true;
    }
    return false;
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

// Registers a capturing store with the process logger for one scope. The
// logger's rate limiter starts afresh, so a line is not held back for what
// an earlier test logged on the same (pooled) thread.
class ScopedCapture {
 public:
  ScopedCapture();
  ~ScopedCapture() { GetLoggerInstance()->RemoveStore(store_.Get()); }
  CapturingStore* operator->() const { return store_.Get(); }

 private:
  RefPtr<CapturingStore> store_;
};

}  // namespace corvane::test
