// Records the largest single allocation made while a probe is active, so
// tests can show that a length read from the wire is never reserved before
// the bytes are there. Include from exactly one source file per test binary:
// it replaces the global operator new.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace probe {
inline std::atomic<bool> active{false};
inline std::atomic<size_t> largest{0};

class AllocationProbe {
 public:
  AllocationProbe() {
    largest = 0;
    active = true;
  }
  ~AllocationProbe() { active = false; }
  size_t Largest() const { return largest; }
};
}  // namespace probe

// The replacements pair malloc with free; the compiler cannot see that
// through the inlined calls.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  if (probe::active) {
    size_t seen = probe::largest.load();
    while (size > seen && !probe::largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return operator new(size, std::nothrow); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
