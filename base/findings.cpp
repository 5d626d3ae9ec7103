#include "base/findings.h"

#include "base/log.h"

namespace kestrio {

std::string FindingLine(const Finding& finding) {
  std::string line = "finding: " + finding.file + ": " + finding.what;
  if (!finding.where.empty()) line += " at " + finding.where;
  line += ": " + finding.why;
  return line;
}

void FindingsList::Report(Finding finding) {
  std::lock_guard lock(mutex_);
  // Seen before? A set of the kept findings answers at once, where a search of the list would
  // make a badly damaged file (one finding a page) quadratic.
  std::string key = finding.file + '\0' + finding.what + '\0' + finding.where + '\0' + finding.why;
  if (seen_.count(key) != 0) return;
  if (findings_.size() >= kMaxKept) {
    ++dropped_;
    return;
  }
  seen_.insert(std::move(key));
  LogLine(FindingLine(finding));
  findings_.push_back(std::move(finding));
}

std::vector<Finding> FindingsList::Snapshot() const {
  std::lock_guard lock(mutex_);
  return findings_;
}

std::size_t FindingsList::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void FindingsList::Clear() {
  std::lock_guard lock(mutex_);
  findings_.clear();
  seen_.clear();
  dropped_ = 0;
}

}  // namespace kestrio
