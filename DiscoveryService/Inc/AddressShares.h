// What each peer address holds of a bounded table, so that no address can
// take more than a share of it: while one address holds its share, the rest
// of the table stays open to every other address. Amounts are counted in
// whatever unit the table is bounded in (entries, bytes). Not thread-safe:
// the owner's lock covers it.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace corvane::talvenor::server {

class AddressShares {
 public:
  // Any one address may hold at most total / kShareDivisor of a table of
  // total.
  static constexpr uint64_t kShareDivisor = 4;

  explicit AddressShares(uint64_t total) : share_(total / kShareDivisor) {}

  // Whether address may take `more` beside what it holds.
  bool Fits(uint32_t address, uint64_t more) const { return Held(address) + more <= share_; }
  uint64_t Held(uint32_t address) const;
  uint64_t Share() const { return share_; }
  void Add(uint32_t address, uint64_t amount);
  // At most what the address holds; an address that holds nothing is
  // forgotten, so the map never outgrows the table.
  void Remove(uint32_t address, uint64_t amount);
  void Clear() { held_.clear(); }

 private:
  const uint64_t share_;
  std::unordered_map<uint32_t, uint64_t> held_;
};

}  // namespace corvane::talvenor::server
