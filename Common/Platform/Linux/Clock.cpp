#include "Clock.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

namespace corvane::platform {
namespace {

std::atomic<int64_t> g_testOffsetMs{0};

constexpr int64_t kNsPerSec = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

// Packs a UTC second and its zone offset into one word, so that readers can
// never pair a second with the offset of another. Offsets are within a day.
constexpr int64_t kOffsetBits = 20;
constexpr int64_t kOffsetBias = int64_t{1} << (kOffsetBits - 1);
constexpr int64_t kOffsetMask = (int64_t{1} << kOffsetBits) - 1;
// An impossible pairing: no real second maps to it.
std::atomic<int64_t> g_zoneCache{INT64_MIN};

// Now on CLOCK_REALTIME plus the test offset, as whole seconds and the
// nanoseconds into the second (0..999999999).
void ShiftedRealtime(int64_t* sec, int64_t* nsec) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64_t offsetMs = g_testOffsetMs.load(std::memory_order_relaxed);
  int64_t s = static_cast<int64_t>(ts.tv_sec) + offsetMs / 1000;
  int64_t ns = static_cast<int64_t>(ts.tv_nsec) + (offsetMs % 1000) * kNsPerMs;
  if (ns < 0) {
    ns += kNsPerSec;
    s -= 1;
  } else if (ns >= kNsPerSec) {
    ns -= kNsPerSec;
    s += 1;
  }
  *sec = s;
  *nsec = ns;
}

void FromTm(const tm& t, int64_t nsec, DateTime* out) {
  out->year = t.tm_year + 1900;
  out->month = t.tm_mon + 1;
  out->day = t.tm_mday;
  out->hour = t.tm_hour;
  out->minute = t.tm_min;
  out->second = t.tm_sec;
  // Truncated, as calendar readings of the clock are.
  out->millisecond = static_cast<int32_t>(nsec / kNsPerMs);
}

}  // namespace

int64_t TimespecToEpochMs(int64_t sec, int64_t nsec) { return sec * 1000 + (nsec + kNsPerMs / 2) / kNsPerMs; }

int64_t UtcTimeMs() {
  int64_t sec, nsec;
  ShiftedRealtime(&sec, &nsec);
  return TimespecToEpochMs(sec, nsec);
}

int64_t LocalUtcOffsetSeconds(int64_t utcSecond) {
  const int64_t cached = g_zoneCache.load(std::memory_order_relaxed);
  if (cached != INT64_MIN && (cached >> kOffsetBits) == utcSecond) {
    return (cached & kOffsetMask) - kOffsetBias;
  }
  // localtime_r takes glibc's time-zone lock; this runs at most once a second
  // (per distinct second), so a change of the zone's offset (daylight saving)
  // is picked up within a second.
  const time_t t = static_cast<time_t>(utcSecond);
  tm local{};
  int64_t offset = 0;
  if (localtime_r(&t, &local)) offset = local.tm_gmtoff;
  // Far-off seconds (only reachable through a test offset) are not cached,
  // so the packing cannot overflow.
  constexpr int64_t kMaxCachedSecond = int64_t{1} << 40;
  if (offset > -kOffsetBias && offset < kOffsetBias && utcSecond > -kMaxCachedSecond && utcSecond < kMaxCachedSecond) {
    g_zoneCache.store(utcSecond * (int64_t{1} << kOffsetBits) + (offset + kOffsetBias), std::memory_order_relaxed);
  }
  return offset;
}

// Local time counted as if it were UTC: the UTC reading plus the zone's
// offset at that moment.
int64_t LocalTimeMs() {
  int64_t sec, nsec;
  ShiftedRealtime(&sec, &nsec);
  return TimespecToEpochMs(sec, nsec) + LocalUtcOffsetSeconds(sec) * 1000;
}

uint64_t TickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / kNsPerMs;
  return static_cast<uint64_t>(ms + g_testOffsetMs.load(std::memory_order_relaxed));
}

void UtcDateTime(DateTime* out) {
  if (!out) return;
  int64_t sec, nsec;
  ShiftedRealtime(&sec, &nsec);
  const time_t t = static_cast<time_t>(sec);
  tm utc{};
  gmtime_r(&t, &utc);
  FromTm(utc, nsec, out);
}

void LocalDateTime(DateTime* out) {
  if (!out) return;
  int64_t sec, nsec;
  ShiftedRealtime(&sec, &nsec);
  const time_t t = static_cast<time_t>(sec);
  tm local{};
  localtime_r(&t, &local);
  FromTm(local, nsec, out);
}

int64_t GetTestOffsetMs() { return g_testOffsetMs.load(std::memory_order_relaxed); }
void SetTestOffsetMs(int64_t offsetMs) { g_testOffsetMs.store(offsetMs, std::memory_order_relaxed); }
void AddTestOffsetMs(int64_t deltaMs) { g_testOffsetMs.fetch_add(deltaMs, std::memory_order_relaxed); }

uint32_t CachedThreadId() {
  // gettid is a system call; the id never changes for the life of a thread.
  thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

}  // namespace corvane::platform
