// A scripted device for the device-link message loop: queued messages and raw bytes in, and a
// record of everything the loop sends back.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/device_link.h"

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
    ++receives;
    if (onReceive) onReceive(receives);
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
  bool SendMessage(const std::string& name, plist_t options) override {
    sentMessages.push_back({name, PlistPtr(options ? plist_copy(options) : nullptr)});
    return true;
  }
  bool DeviceAttached() override { return attached; }
  void Sleep(std::chrono::milliseconds duration) override { sleeps.push_back(duration); }

  std::size_t RawLeft() const { return raw_.size() - rawOffset_; }

  bool attached = true;
  // Called with the number of the receive before each message is handed out.
  std::function<void(int)> onReceive;
  int receives = 0;
  std::size_t rawPiece = SIZE_MAX;
  std::vector<std::uint8_t> sent;
  std::vector<Status> statuses;
  std::vector<std::pair<std::string, PlistPtr>> sentMessages;
  std::vector<std::chrono::milliseconds> sleeps;

 private:
  std::deque<std::optional<std::pair<std::string, PlistPtr>>> messages_;
  std::vector<std::uint8_t> raw_;
  std::size_t rawOffset_ = 0;
  std::deque<std::size_t> pauses_;
};

// Message builders: a device-link message is an array whose first item is its name.
inline PlistPtr Msg(const std::string& name, std::initializer_list<plist_t> items = {}) {
  PlistPtr array(plist_new_array());
  plist_array_append_item(array.get(), plist_new_string(name.c_str()));
  for (plist_t item : items) plist_array_append_item(array.get(), item);
  return array;
}
inline plist_t Str(const std::string& text) { return plist_new_string(text.c_str()); }
inline plist_t Strings(std::initializer_list<std::string> texts) {
  plist_t array = plist_new_array();
  for (const auto& text : texts) plist_array_append_item(array, Str(text));
  return array;
}
inline plist_t Dict(std::initializer_list<std::pair<std::string, plist_t>> items) {
  plist_t dict = plist_new_dict();
  for (const auto& [key, value] : items) plist_dict_set_item(dict, key.c_str(), value);
  return dict;
}
// A message whose progress figure sits at index 3 (index 2 for uploads).
inline PlistPtr WithProgress(const std::string& name, plist_t payload, double progress) {
  if (name == "DLMessageUploadFiles") return Msg(name, {payload, plist_new_real(progress)});
  return Msg(name, {payload, Dict({}), plist_new_real(progress)});
}

inline void AppendBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// The raw stream of an upload, as the device writes it.
struct Upload {
  std::vector<std::uint8_t> bytes;
  Upload& Name(const std::string& name) {
    AppendBe32(bytes, static_cast<std::uint32_t>(name.size()));
    bytes.insert(bytes.end(), name.begin(), name.end());
    return *this;
  }
  Upload& File(const std::string& name) { return Name("/var/mobile/" + name).Name(name); }
  Upload& Block(std::uint8_t code, const std::string& payload) {
    AppendBe32(bytes, static_cast<std::uint32_t>(payload.size() + 1));
    bytes.push_back(code);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return *this;
  }
  Upload& Data(const std::string& payload) { return Block(0x0C, payload); }
  Upload& EndFile() { return Block(0x00, ""); }
  Upload& End() {
    AppendBe32(bytes, 0);
    return *this;
  }
};

}  // namespace kestrio::testing
