#include "AddressShares.h"

#include <algorithm>

namespace corvane::talvenor::server {

uint64_t AddressShares::Held(uint32_t address) const {
  auto it = held_.find(address);
  return it == held_.end() ? 0 : it->second;
}

void AddressShares::Add(uint32_t address, uint64_t amount) {
  if (amount != 0) held_[address] += amount;
}

void AddressShares::Remove(uint32_t address, uint64_t amount) {
  auto it = held_.find(address);
  if (it == held_.end()) return;
  it->second -= std::min(it->second, amount);
  if (it->second == 0) held_.erase(it);
}

}  // namespace corvane::talvenor::server
