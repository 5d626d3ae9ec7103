// What a parser takes from the scan back-end that runs it: the backup's layout flag and a
// progress sink.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/result.h"

namespace kestrio {

// Progress of one category parse, reported as base + a share of span. The callback answers
// 0 to go on; any other answer stops the parse, which returns that answer.
struct ProgressSink {
  std::function<Result(std::int32_t percent)> callback;
  std::int32_t base = 0;
  std::int32_t span = 0;

  // Reports base + span / divisor.
  Result ReportShare(std::int32_t divisor) const { return Report(base + span / divisor); }
  Result Report(std::int32_t percent) const { return callback ? callback(percent) : kResultOk; }
};

struct ParseContext {
  // Set when the backup's index is Manifest.db: newer address-book and call-history layouts
  // have one more column before the ones the parsers read.
  bool newLayout = false;
  ProgressSink progress;
};

}  // namespace kestrio
