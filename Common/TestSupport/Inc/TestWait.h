// Waiting in tests: poll a condition with a deadline instead of sleeping for
// a guessed time.
#pragma once

#include <chrono>
#include <functional>

namespace corvane::test {

// Polls pred with a short pause until it holds or timeoutMs pass; returns
// pred's last value (so a condition that turns true at the deadline counts).
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000);
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

}  // namespace corvane::test
