// The commands of kestrio-cli, one file each, and the scan that scan and recover share.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup_store.h"
#include "cli/options.h"
#include "cli/scan_json.h"
#include "scan/scan_run.h"

namespace kestrio::cli {

// backups_command.cpp
int Backups(const Options& options, Terminal& terminal);
// scan_command.cpp
int Scan(const Options& options, Terminal& terminal);
// recover_command.cpp
int Recover(const Options& options, Terminal& terminal);
// print_command.cpp
int Print(const Options& options, Terminal& terminal);
// carve_command.cpp
int Carve(const Options& options, Terminal& terminal);
// device_command.cpp: `device info` and `device backup`; `args` follow the word "device".
int Device(const std::vector<std::string>& args, Terminal& terminal);

// A source scanned by ScanAny: the store or device, the finished run and what went wrong.
struct ScannedBackup {
  // Set for a device scan; lets the device go last, after the back-end cleaned up.
  std::unique_ptr<DeviceScope> deviceScope;
  std::optional<DeviceJson> device;
  BackupSummary summary;
  std::unique_ptr<BackupStore> store;
  std::unique_ptr<ScanRun> run;
  std::map<std::string, Result> errors;
  bool stopped = false;
  // What the run's observer writes to lives as long as the run.
  std::unique_ptr<ProgressBar> bar;
  std::optional<Result> openFailure;
  std::mutex errorsMutex;
  std::atomic<int> category{-1};
  // Set before the scan: the document the scan is written into as it goes. The messages are
  // then written into it while they are parsed, by `messagesJson`, and the run's results hold
  // none.
  std::unique_ptr<ScanDocument> document;
  std::unique_ptr<MessagesJson> messagesJson;
  // Set before the scan: the messages are only counted into `messageCount` while they are
  // parsed (a scan that says how many there are), and the run's results hold none.
  bool countMessages = false;
  std::size_t messageCount = 0;
  std::unique_ptr<ConversationSink> messageCounter;

  const std::string& DisplayName() const {
    return device ? device->displayName : summary.displayName;
  }
};

// Scans the backup folder of the command line, or the connected device with --device, and
// waits for the run. kExitOk when the source opened (a category that failed is a warning);
// otherwise the exit code, with the message written.
int ScanAny(const Options& options, Terminal& terminal, ScannedBackup& scanned);

}  // namespace kestrio::cli
