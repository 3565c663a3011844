#include "RefCount.h"

namespace corvane {

// Taking a reference needs no ordering: the caller already holds one, so the
// object cannot go away underneath it.
int IRefCountImpl::AddRef() { return refCount_.fetch_add(1, std::memory_order_relaxed) + 1; }

// Only a count above 0 may be raised: at 0 the object is on its way out and a
// weak holder must not revive it. The compare-exchange makes "read, test,
// raise" one step, so a racing last Release either sees our reference or we
// see its 0.
int IRefCountImpl::TryAddRef() {
  int32_t count = refCount_.load(std::memory_order_relaxed);
  while (count > 0) {
    if (refCount_.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel, std::memory_order_relaxed)) {
      return count + 1;
    }
  }
  return 0;
}

// acq_rel: the thread that deletes must see every write made by the threads
// that released before it.
int IRefCountImpl::Release() {
  const int32_t count = refCount_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) delete this;
  return count;
}

int IRefCountImpl::DecrementRef() { return refCount_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

void IRefCountImpl::Destroy() {
  // The acquire load pairs with the release half of the last DecrementRef,
  // which may have been made on another thread (a load rather than a fence,
  // because ThreadSanitizer models the former only).
  (void)refCount_.load(std::memory_order_acquire);
  delete this;
}

int IRefCountImpl::GetRefCount() { return refCount_.load(std::memory_order_acquire); }

}  // namespace corvane
