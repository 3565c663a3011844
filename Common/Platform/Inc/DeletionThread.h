// Deferred release: destroys counted objects on one process-wide deletion
// thread instead of on the thread that dropped the last reference.
#pragma once

#include "RefCount.h"

namespace corvane {

// Queues the object for Destroy on the deletion thread, in the order queued.
// Only the caller whose DecrementRef returned 0 may queue an object.
void DeleteOnDeletionThread(IRefCount* object);

// The deletion thread's id, 0 before first use (for tests and self-checks).
uint32_t DeletionThreadId();

}  // namespace corvane
