// Intrusive reference counting. Every counted interface derives virtually
// from IRefCount, and every implementation virtually from IRefCountImpl, so
// that an object with several counted interfaces still has exactly one count.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace corvane {

class IRefCount {
 public:
  // Each operation returns the new count.
  virtual int AddRef() = 0;
  // At count 0 (the object is being destroyed) returns 0 and takes nothing.
  virtual int TryAddRef() = 0;
  // Deletes the object when the count drops from 1 to 0. Over-release only
  // drives the count negative.
  virtual int Release() = 0;
  // Never deletes; the caller arranges destruction (Destroy or the deletion
  // thread) when this returns 0.
  virtual int DecrementRef() = 0;
  virtual void Destroy() = 0;
  virtual int GetRefCount() = 0;
  virtual ~IRefCount() = default;
};

// The single implementation. The count starts at 1: the creator holds the
// first reference. The count is atomic, so no per-object lock is needed and
// a TryAddRef racing the last Release can never revive the object.
class IRefCountImpl : public virtual IRefCount {
 public:
  int AddRef() override;
  int TryAddRef() override;
  int Release() override;
  int DecrementRef() override;
  void Destroy() override;
  int GetRefCount() override;

 protected:
  IRefCountImpl() = default;
  ~IRefCountImpl() override = default;
  IRefCountImpl(const IRefCountImpl&) = delete;
  IRefCountImpl& operator=(const IRefCountImpl&) = delete;

 private:
  std::atomic<int32_t> refCount_{1};
};

// Holds one counted reference (or null).
template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  // addRef set: take a new reference; clear: adopt the caller's reference.
  RefPtr(T* p, bool addRef) : p_(p) {
    if (p_ && addRef) p_->AddRef();
  }
  RefPtr(const RefPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~RefPtr() { Reset(); }

  RefPtr& operator=(T* p) {
    if (p == p_) return *this;
    if (p) p->AddRef();
    T* old = std::exchange(p_, p);
    if (old) old->Release();
    return *this;
  }
  RefPtr& operator=(const RefPtr& o) { return *this = o.p_; }
  RefPtr& operator=(RefPtr&& o) noexcept {
    if (this != &o) {
      T* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      if (old) old->Release();
    }
    return *this;
  }

  void Reset() {
    T* old = std::exchange(p_, nullptr);
    if (old) old->Release();
  }
  // Adopts a reference the caller owns. Attaching the pointer already held
  // leaves one reference, not two: the surplus one is released.
  void Attach(T* p) {
    T* old = std::exchange(p_, p);
    if (old) old->Release();
  }
  // Gives up the held reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** Receive() {
    Reset();
    return &p_;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace corvane
