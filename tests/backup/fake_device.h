// A scripted device for the device-link message loop: queued messages and raw bytes in, and a
// record of everything the loop sends back.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backup/device_link.h"

namespace kestrio::testing {

class FakeDevice : public DeviceLink {
 public:
  struct Status {
    std::int32_t code = 0;
    std::string text;
    PlistPtr value;
  };

  // A message the loop receives next; `message` is the whole array (name at index 0).
  void Message(std::string name, PlistPtr message) {
    messages_.emplace_back(std::in_place, std::move(name), std::move(message));
  }
  // Receives that time out; after the script every receive times out.
  void Silence(int count) {
    for (int i = 0; i < count; ++i) messages_.emplace_back(std::nullopt);
  }
  // Bytes for the raw reads, served in pieces of at most rawPiece bytes.
  void Raw(const std::vector<std::uint8_t>& bytes) {
    raw_.insert(raw_.end(), bytes.begin(), bytes.end());
  }
  // One raw read that returns nothing before the bytes queued after it.
  void RawPause() { pauses_.push_back(raw_.size()); }

  bool ReceiveMessage(std::string& name, PlistPtr& message) override {
    if (messages_.empty()) return false;
    auto next = std::move(messages_.front());
    messages_.pop_front();
    if (!next) return false;
    name = next->first;
    message = std::move(next->second);
    return true;
  }
  bool SendRaw(std::span<const std::uint8_t> bytes) override {
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    return true;
  }
  std::size_t ReceiveRaw(std::span<std::uint8_t> buffer) override {
    if (!pauses_.empty() && pauses_.front() == rawOffset_) {
      pauses_.pop_front();
      return 0;
    }
    std::size_t count = std::min({buffer.size(), raw_.size() - rawOffset_, rawPiece});
    std::copy_n(raw_.begin() + static_cast<std::ptrdiff_t>(rawOffset_), count, buffer.begin());
    rawOffset_ += count;
    return count;
  }
  bool SendStatus(std::int32_t code, const std::string& text, plist_t value) override {
    statuses.push_back({code, text, PlistPtr(value ? plist_copy(value) : nullptr)});
    return true;
  }
  bool DeviceAttached() override { return attached; }
  void Sleep(std::chrono::milliseconds duration) override { sleeps.push_back(duration); }

  std::size_t RawLeft() const { return raw_.size() - rawOffset_; }

  bool attached = true;
  std::size_t rawPiece = SIZE_MAX;
  std::vector<std::uint8_t> sent;
  std::vector<Status> statuses;
  std::vector<std::chrono::milliseconds> sleeps;

 private:
  std::deque<std::optional<std::pair<std::string, PlistPtr>>> messages_;
  std::vector<std::uint8_t> raw_;
  std::size_t rawOffset_ = 0;
  std::deque<std::size_t> pauses_;
};

}  // namespace kestrio::testing
