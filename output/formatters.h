// Sizes and durations as the result lists, the statistics label and the reports show them.
#pragma once

#include <cstdint>
#include <string>

#include "parsers/calls.h"

namespace kestrio {

// "1.50 KB", "1023 Bytes", "1.00 MB", "2.00 GB", "1.00 TB"; a negative count in Bytes.
std::string FormatSize(std::int64_t bytes);

// "59 Sec", "1 Min 0 Sec", "1 Hour 1 Min".
std::string FormatDuration(std::int64_t seconds);

// A call's duration as the lists and reports show it: "Missed" for an incoming call nobody
// answered (whatever its duration says), "Canceled" for an unanswered outgoing one, else the
// duration.
std::string CallDurationText(const CallRecord& call);

}  // namespace kestrio
