// Linux clock bindings behind the scheduler's clock operations. Every reading
// includes the test offset (see DefaultScheduler::SetTestTimeOffsetMs).
#pragma once

#include <cstdint>

#include "Scheduler.h"

namespace corvane::platform {

// Milliseconds since 1970 of a CLOCK_REALTIME reading, rounded half-up
// (00:00:00.0005 gives 1). Exact in integer arithmetic.
int64_t TimespecToEpochMs(int64_t sec, int64_t nsec);

int64_t UtcTimeMs();
int64_t LocalTimeMs();
uint64_t TickCount64();
void UtcDateTime(DateTime* out);
void LocalDateTime(DateTime* out);

// The local zone's offset from UTC, in seconds, at a UTC second. Cached: the
// time-zone database is consulted at most once per distinct second.
int64_t LocalUtcOffsetSeconds(int64_t utcSecond);

int64_t GetTestOffsetMs();
void SetTestOffsetMs(int64_t offsetMs);
void AddTestOffsetMs(int64_t deltaMs);

// The kernel id of the calling thread, read once per thread.
uint32_t CachedThreadId();

}  // namespace corvane::platform
