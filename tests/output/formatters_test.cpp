#include "output/formatters.h"

#include <gtest/gtest.h>

namespace kestrio {
namespace {

TEST(Formatters, SizesAtEachUnitBoundary) {
  EXPECT_EQ(FormatSize(0), "0 Bytes");
  EXPECT_EQ(FormatSize(1023), "1023 Bytes");
  EXPECT_EQ(FormatSize(1024), "1.00 KB");
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
  EXPECT_EQ(FormatSize(1048575), "1024.00 KB");
  EXPECT_EQ(FormatSize(1048576), "1.00 MB");
  EXPECT_EQ(FormatSize(std::int64_t{3} << 30), "3.00 GB");
  EXPECT_EQ(FormatSize(std::int64_t{1} << 40), "1.00 TB");
  EXPECT_EQ(FormatSize(-5), "-5 Bytes");
}

TEST(Formatters, DurationsAtEachUnitBoundary) {
  EXPECT_EQ(FormatDuration(0), "0 Sec");
  EXPECT_EQ(FormatDuration(59), "59 Sec");
  EXPECT_EQ(FormatDuration(60), "1 Min 0 Sec");
  EXPECT_EQ(FormatDuration(3599), "59 Min 59 Sec");
  EXPECT_EQ(FormatDuration(3661), "1 Hour 1 Min");
  EXPECT_EQ(FormatDuration(90061), "25 Hour 1 Min");
}

}  // namespace
}  // namespace kestrio
