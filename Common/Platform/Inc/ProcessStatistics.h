// Figures about the running process for the services' statistics lines.
// Each is read afresh on every call; -1 when it cannot be read.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::platform {

// Threads of this process.
int GetProcessThreadCount();
// Open descriptors of this process (its handle count).
int GetProcessHandleCount();
// Resident memory in bytes (the working set).
int64_t GetProcessWorkingSetBytes();

// The kernel's CPU time counters as text: the whole system's (/proc/stat) and
// this process's (/proc/self/stat). False when the file cannot be read.
bool ReadSystemCpuStat(std::string* out);
bool ReadProcessCpuStat(std::string* out);

// Hands the pages of freed heap memory back to the system, in every thread's
// arena. Costs a walk over the heaps: for the end of a burst, not for every
// free.
void ReleaseFreeMemory();

}  // namespace corvane::platform
