#include "TransportHeldBytes.h"

#include "Logger.h"

namespace corvane {

HeldBytesBudget& HeldBytesBudget::Process() {
  static HeldBytesBudget* budget = new HeldBytesBudget(kProcessLimitBytes);  // never deleted: used to the end
  return *budget;
}

void HeldBytesBudget::Set(Holder* holder, uint64_t bytes, Kind kind) {
  CheckedLock hold(mutex_);
  if (bytes == 0) {
    auto it = holders_.find(holder);
    if (it == holders_.end()) return;
    total_ -= it->second.bytes;
    holders_.erase(it);
    return;
  }
  Entry& entry = holders_[holder];
  total_ = total_ - entry.bytes + bytes;
  entry.bytes = bytes;
  entry.kind = kind;
  // Holders already shed still count until they let go; the rest must fit
  // beside them.
  uint64_t kept = 0;
  for (const auto& [h, e] : holders_) kept += e.shed ? 0 : e.bytes;
  while (kept > limit_) {
    Holder* largest = nullptr;
    Entry* largestEntry = nullptr;
    // Unfinished before the rest (the enum's order), the largest of a kind
    // first.
    for (auto& [h, e] : holders_) {
      if (e.shed) continue;
      if (!largestEntry || e.kind < largestEntry->kind ||
          (e.kind == largestEntry->kind && e.bytes > largestEntry->bytes)) {
        largest = h;
        largestEntry = &e;
      }
    }
    if (!largest) break;
    LOG_WARNING("connections hold %llu bytes of unfinished messages (at most %llu); closing one holding %llu",
                static_cast<unsigned long long>(total_), static_cast<unsigned long long>(limit_),
                static_cast<unsigned long long>(largestEntry->bytes));
    largestEntry->shed = true;
    kept -= largestEntry->bytes;
    largest->Shed();
  }
}

void HeldBytesBudget::Remove(Holder* holder) { Set(holder, 0); }

uint64_t HeldBytesBudget::Total() {
  CheckedLock hold(mutex_);
  return total_;
}

}  // namespace corvane
