#include "base/signature_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <unordered_set>

namespace kestrio {
namespace {

// Against a node-based set over keys that crowd the same home slots (multiples of a power of
// two), through many growths; 0, the empty-slot marker, is a member like any other.
TEST(SignatureSet, AgreesWithAPlainSetThroughGrowthIncludingZero) {
  SignatureSet set;
  std::unordered_set<std::uint64_t> plain;
  EXPECT_FALSE(set.Contains(0));
  for (std::uint64_t i = 0; i < 50'000; ++i) {
    const std::uint64_t key = (i % 3 == 0) ? i << 40 : i * 0x9E3779B97F4A7C15ULL;
    EXPECT_EQ(set.Insert(key), plain.insert(key).second) << i;
  }
  EXPECT_FALSE(set.Insert(0));
  EXPECT_EQ(set.size(), plain.size());
  for (std::uint64_t probe = 0; probe < 100'000; ++probe) {
    const std::uint64_t key = (probe % 3 == 0) ? probe << 40 : probe * 0x9E3779B97F4A7C15ULL;
    ASSERT_EQ(set.Contains(key), plain.count(key) != 0) << probe;
    ASSERT_EQ(set.Contains(key + 1), plain.count(key + 1) != 0) << probe;
  }
}

}  // namespace
}  // namespace kestrio
