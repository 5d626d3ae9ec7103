// Findings: what a reader or parser skipped, and why. Nothing is skipped in silence: a page
// that could not be read, a chain cut by its bound, a read budget used up, a stored file the
// index lists but the folder lacks, a database whose layout is not understood. Each finding
// goes to the log at once and is kept for the scan's report (`scan --json`, the scan page).
//
// Result codes at the interfaces stay as they are; a finding is the detail behind them.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace kestrio {

struct Finding {
  std::string file;   // the file concerned ("sms.db", a stored name, a path)
  std::string what;   // what was skipped: "page", "freelist", "overflow chain", "stored file"
  std::string where;  // where in the file: "page 12", "table message", a key
  std::string why;    // why: "unreadable", "cut at its bound of 40 pages", "missing"

  bool operator==(const Finding&) const = default;
};

// Receives findings; safe from any thread. The readers take a pointer that may be null: a
// caller that does not listen gets none.
class FindingsSink {
 public:
  virtual ~FindingsSink() = default;
  virtual void Report(Finding finding) = 0;
};

// Reports to `sink` when there is one.
inline void Report(FindingsSink* sink, Finding finding) {
  if (sink) sink->Report(std::move(finding));
}

// The findings of one scan, in the order they came, each also written to the log. The same
// finding (all four fields equal) is kept once; at most kMaxKept are kept (a thoroughly
// corrupt file can give one per page), the rest only counted.
class FindingsList final : public FindingsSink {
 public:
  static constexpr std::size_t kMaxKept = 10000;

  void Report(Finding finding) override;
  std::vector<Finding> Snapshot() const;
  // Findings reported beyond kMaxKept (duplicates not counted).
  std::size_t Dropped() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Finding> findings_;
  std::unordered_set<std::string> seen_;  // the kept findings, as keys
  std::size_t dropped_ = 0;
};

// One log line: "finding: <file>: <what> at <where>: <why>".
std::string FindingLine(const Finding& finding);

}  // namespace kestrio
