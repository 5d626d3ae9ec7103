#include "base/findings.h"

#include <algorithm>

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
  if (std::find(findings_.begin(), findings_.end(), finding) != findings_.end()) return;
  if (findings_.size() >= kMaxKept) {
    ++dropped_;
    return;
  }
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
  dropped_ = 0;
}

}  // namespace kestrio
