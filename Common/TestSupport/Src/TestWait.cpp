#include "TestWait.h"

#include <thread>

namespace corvane::test {

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  return WaitUntil(pred, static_cast<int>(timeout.count()));
}

}  // namespace corvane::test
