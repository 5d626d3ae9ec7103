// The narrow seam between the device-link message loop and a connected device.
//
// Production binds it to libimobiledevice's mobilebackup2 client; tests script it. Every byte that
// comes through it is the device's and is treated as hostile by the loop.
#pragma once

#include <plist/plist.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrio {

struct PlistDeleter {
  void operator()(plist_t node) const {
    if (node) plist_free(node);
  }
};
// Owns one libplist node (plist_t is a void pointer).
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

class DeviceLink {
 public:
  virtual ~DeviceLink() = default;

  // One device-link message: its name (the string at index 0) and the whole message array, owned by
  // the caller after return. False when nothing arrived within the receive timeout.
  virtual bool ReceiveMessage(std::string& name, PlistPtr& message) = 0;
  // Raw bytes of the file streams; false when they could not be sent.
  virtual bool SendRaw(std::span<const std::uint8_t> bytes) = 0;
  // Up to buffer.size() bytes; 0 when nothing arrived (the caller then asks DeviceAttached()).
  virtual std::size_t ReceiveRaw(std::span<std::uint8_t> buffer) = 0;
  // A device-link status response: code, optional text (empty: none) and a value that stays the
  // caller's (null: none).
  virtual bool SendStatus(std::int32_t code, const std::string& text, plist_t value) = 0;
  // A mobilebackup2 message: its name and a dictionary that stays the caller's.
  virtual bool SendMessage(const std::string& name, plist_t options) = 0;
  // True while a device can still be looked up.
  virtual bool DeviceAttached() = 0;
  // The waits between empty receives; a scripted device returns at once.
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

}  // namespace kestrio
