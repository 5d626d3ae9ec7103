#include "base/signature_set.h"

#include <bit>

namespace kestrio {

bool SignatureSet::Contains(std::uint64_t signature) const {
  if (signature == 0) return hasZero_;
  if (slots_.empty()) return false;
  for (std::size_t i = Home(signature);; i = (i + 1) & (slots_.size() - 1)) {
    if (slots_[i] == signature) return true;
    if (slots_[i] == 0) return false;
  }
}

bool SignatureSet::Insert(std::uint64_t signature) {
  if (signature == 0) {
    const bool added = !hasZero_;
    hasZero_ = true;
    return added;
  }
  // At most half full, so every probe meets an empty slot.
  if (2 * (count_ + 1) > slots_.size()) Grow();
  std::size_t i = Home(signature);
  for (; slots_[i] != 0; i = (i + 1) & (slots_.size() - 1)) {
    if (slots_[i] == signature) return false;
  }
  slots_[i] = signature;
  ++count_;
  return true;
}

std::size_t SignatureSet::Home(std::uint64_t signature) const {
  return static_cast<std::size_t>((signature * 0x9E3779B97F4A7C15ULL) >> shift_);
}

void SignatureSet::Grow() {
  std::vector<std::uint64_t> old = std::move(slots_);
  const std::size_t size = old.empty() ? 1024 : old.size() * 2;
  slots_.assign(size, 0);
  shift_ = 64 - std::countr_zero(size);
  count_ = 0;
  for (std::uint64_t signature : old) {
    if (signature != 0) Insert(signature);
  }
}

}  // namespace kestrio
