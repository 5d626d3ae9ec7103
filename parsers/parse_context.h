// What a parser takes from the scan back-end that runs it: the backup's layout flag and a
// progress sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "base/findings.h"
#include "base/result.h"

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
  // Moves the base on by `by` and reports the new base.
  Result Advance(std::int32_t by) {
    base += by;
    return Report(base);
  }
  // After a database parse: the base moves on by half the span and is reported. The parse's
  // result, unless it was stopped or the report answers non-zero.
  Result AfterDatabase(Result parsed) {
    if (parsed == kResultStopped) return parsed;
    if (const Result answer = Advance(span / 2); answer != kResultOk) return answer;
    return parsed;
  }
};

struct ParseContext {
  // Set when the backup's index is Manifest.db: newer address-book and call-history layouts
  // have one more column before the ones the parsers read.
  bool newLayout = false;
  ProgressSink progress;
  // Where the readers and parsers report what they skipped; null: nobody listens.
  FindingsSink* findings = nullptr;
  // Where a parser may keep what it read from a large database on disk until it is wanted
  // (an unnamed file, gone when the parse ends); empty: in memory.
  std::filesystem::path spillFolder;
  // How much a parser's sort of a large table's rows may hold in memory before it writes them
  // to the spill folder; 0: the parser's own measure.
  std::size_t sortMemoryBytes = 0;
};

}  // namespace kestrio
