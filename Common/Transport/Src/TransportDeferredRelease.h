// Dropping a reference on a thread that the object itself may own: the
// object is destroyed on the deletion thread, so its teardown never joins
// the thread it runs on.
#pragma once

#include "DeletionThread.h"
#include "RefCount.h"

namespace corvane {

inline void ReleaseDeferred(IRefCount* object) {
  if (object && object->DecrementRef() == 0) DeleteOnDeletionThread(object);
}

}  // namespace corvane
