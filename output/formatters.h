// Sizes and durations as the result lists, the statistics label and the reports show them.
#pragma once

#include <cstdint>
#include <string>

namespace kestrio {

// "1.50 KB", "1023 Bytes", "1.00 MB", "2.00 GB", "1.00 TB"; a negative count in Bytes.
std::string FormatSize(std::int64_t bytes);

// "59 Sec", "1 Min 0 Sec", "1 Hour 1 Min".
std::string FormatDuration(std::int64_t seconds);

}  // namespace kestrio
