// kestrio-cli: the command line peer of the desktop program.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
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
  // Asks for a password (the question is the argument) and answers nothing when none was
  // given; unset: no one is asked. The program sets it to PromptWithoutEcho when standard
  // input is a terminal.
  std::function<std::optional<std::string>(const std::string&)> askPassword;
  // Reads an environment variable; unset: the process's environment.
  std::function<std::optional<std::string>(const std::string&)> environment;
  // Where a device scan puts the device's backup; empty: the platform's temporary backup
  // folder.
  std::filesystem::path temporaryFolder;
};

// Writes `question` to standard error and reads one line from standard input with the
// terminal's echo off; nothing when the line is empty or cannot be read.
std::optional<std::string> PromptWithoutEcho(const std::string& question);

// Runs one command; `args` excludes the program name. Returns the exit code.
int RunCli(const std::vector<std::string>& args, Terminal& terminal);

}  // namespace kestrio::cli
