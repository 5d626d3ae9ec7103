// The device-link message loop of a device backup: each request of the device is answered
// with file-system work below one base folder.
//
// File streams (raw bytes between the messages), all integers big-endian:
//   name   u32 length, then that many bytes of a base-relative path
//   block  u32 length (payload + 1), u8 code, payload
//   codes  0x0C file data, 0x00 end of file (length 1), 0x06 our error text,
//          0x0B the device's error text
//   end    a name length of 0 ends a stream of files
// Downloads (the device asks for our files) are answered per file with name, blocks and end
// of file, then an empty u32; uploads (the device sends files) arrive as device name, backup
// name, blocks. Our blocks carry at most 32768 bytes of payload.
//
// Every path from the device is joined to the base only when it is relative, not empty and
// free of ".." components; otherwise the request is answered with -14 "Invalid path".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/result.h"
#include "device/device_link.h"

namespace kestrio {

inline constexpr std::size_t kDeviceBlockSize = 32768;
// Longest name accepted in a file stream, and longest device path joined to the base.
inline constexpr std::size_t kDeviceMaxPathLength = 4096;
// More empty message receives than this (in total, over one loop) abort the loop.
inline constexpr int kDeviceMaxEmptyReceives = 10;
// Empty raw reads in a row, with the device still attached, after which an upload is given up.
inline constexpr int kDeviceMaxEmptyRawReads = 10;
inline constexpr std::chrono::milliseconds kDeviceReceiveWait{3000};

// Status codes of the device-link protocol.
inline constexpr std::int32_t kDeviceStatusMultiStatus = -13;
inline constexpr std::int32_t kDeviceErrorNotFound = -6;
inline constexpr std::int32_t kDeviceErrorExists = -7;
inline constexpr std::int32_t kDeviceErrorOther = -14;

// The error number the device understands for an errno value: ENOENT -6, EEXIST -7, every other
// error -14.
std::int32_t DeviceErrorNumber(int errorNumber);

// A device path below `base`: the path must be non-empty, relative, at most kDeviceMaxPathLength
// bytes and free of ".." components; a path naming the base itself is refused unless `allowBase`.
// Nullopt when refused.
std::optional<std::filesystem::path> DevicePath(const std::filesystem::path& base,
                                                const std::string& relative,
                                                bool allowBase = false);

struct LoopState {
  explicit LoopState(std::atomic<int>& abort) : abortCounter(abort) {}

  // Raised (above 0) by anyone who wants the backup to stop; reset to 0 when a loop starts.
  std::atomic<int>& abortCounter;
  // The device's overall progress in percent; reset to 0 when a loop starts.
  double overallProgress = 0;
  // Called after each handled message with the whole part of scale * progress / 100; a non-zero
  // answer ends the loop with that answer.
  std::function<Result(std::int32_t)> progress;
  std::int32_t progressScale = 0;
  // ErrorDescription of the device's last DLMessageProcessMessage (left as it is otherwise).
  std::string errorDescription;
  // Diagnostic lines (unset: the log); the user never sees them.
  std::function<void(const std::string&)> diagnostic;
};

// Runs the loop until the device disconnects or reports its end. Returns 0; minus the device's
// ErrorCode; -1 when aborted, after more than kDeviceMaxEmptyReceives empty receives, or when the
// device vanished during an upload; or the progress callback's non-zero answer.
Result RunMessageLoop(DeviceLink& link, const std::filesystem::path& base, LoopState& state);

}  // namespace kestrio
