// kestrio-cli: the command line peer of the desktop program.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrio {
class DeviceBackupDriver;
}

namespace kestrio::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitStopped = 2;
inline constexpr int kExitPassword = 3;
inline constexpr int kExitUnopened = 4;

struct Terminal {
  Terminal(std::ostream& output, std::ostream& errors, bool bar = false,
           const std::atomic<bool>* interrupt = nullptr, std::filesystem::path programDir = {})
      : out(output),
        err(errors),
        progressBar(bar),
        interrupted(interrupt),
        programFolder(std::move(programDir)) {}

  std::ostream& out;
  std::ostream& err;
  bool progressBar = false;  // standard error is a terminal
  // Set (by a signal handler) to stop a running scan or recovery.
  const std::atomic<bool>* interrupted = nullptr;
  // Where the report templates are; empty: the folder of the running executable.
  std::filesystem::path programFolder;
  // The device commands' device; null: the process's device session.
  DeviceBackupDriver* device = nullptr;
  // Whether the device support (usbmuxd) is installed; unset: this computer's answer.
  std::function<bool()> deviceSupport;
  // Where a device scan puts the device's backup; empty: the platform's temporary backup
  // folder.
  std::filesystem::path temporaryFolder;
};

// Runs one command; `args` excludes the program name. Returns the exit code.
int RunCli(const std::vector<std::string>& args, Terminal& terminal);

}  // namespace kestrio::cli
