// SignatureSet: a set of 64-bit hashes (row signatures), by open addressing over one array,
// so the millions of rows of a large table cost no allocation each and a look-up touches one
// or two slots: 8 to 16 bytes a member, where a node-based set takes over 40.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrio {

class SignatureSet {
 public:
  bool Contains(std::uint64_t signature) const;
  // Adds `signature`; false when it was there already.
  bool Insert(std::uint64_t signature);
  std::size_t size() const { return count_ + (hasZero_ ? 1 : 0); }

 private:
  std::size_t Home(std::uint64_t signature) const;
  void Grow();

  std::vector<std::uint64_t> slots_;  // 0: empty (the member 0 is kept in hasZero_)
  std::size_t count_ = 0;
  int shift_ = 64;
  bool hasZero_ = false;
};

}  // namespace kestrio
