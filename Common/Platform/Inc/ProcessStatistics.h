// Figures about the running process for the services' statistics lines.
// Each is read afresh on every call; -1 when it cannot be read.
#pragma once

#include <cstdint>

namespace corvane::platform {

// Threads of this process.
int GetProcessThreadCount();
// Open descriptors of this process (its handle count).
int GetProcessHandleCount();
// Resident memory in bytes (the working set).
int64_t GetProcessWorkingSetBytes();

}  // namespace corvane::platform
