// What the commands of kestrio-cli share: the usage text, option parsing, the progress bar,
// waiting with an interrupt, and the connected device's scope (connection, encryption switched
// off and on again).
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "cli/cli.h"
#include "cli/scan_json.h"
#include "device/device_backup_driver.h"
#include "device/encryption_switch.h"
#include "scan/selection_model.h"

namespace kestrio::cli {

inline constexpr std::string_view kUsage =
    "Usage:\n"
    "  kestrio-cli backups [--json]\n"
    "      List the backups found on this computer, newest first.\n"
    "  kestrio-cli scan BACKUP [--password P] [--json FILE|-]\n"
    "      Scan the backup folder BACKUP and list what was found in every category.\n"
    "  kestrio-cli recover BACKUP --out DIR [--password P] [--deleted-only] [--category NAME]...\n"
    "      Scan BACKUP and write what it holds into DIR: files, and HTML, CSV and text\n"
    "      reports. --category (repeatable) keeps only the named categories: cameraRoll,\n"
    "      photoStream, messages, messageAttachments, contacts, callHistory, notes,\n"
    "      appPhotos, appVideos, whatsApp, whatsAppAttachments. --deleted-only keeps only\n"
    "      deleted records (file categories have none).\n"
    "  kestrio-cli print BACKUP --category NAME [--deleted-only] --out FILE.html|FILE.pdf\n"
    "      Scan BACKUP and write the records of one category (messages, contacts,\n"
    "      callHistory, notes, whatsApp) as a page to print; file categories print nothing.\n"
    "      A PDF is printed by the desktop program kestrio beside kestrio-cli.\n"
    "  kestrio-cli device info [--json]\n"
    "      Describe the iPhone connected by USB: name, class, system version, and whether it\n"
    "      encrypts its backups.\n"
    "  kestrio-cli device backup DIR [--password P]\n"
    "      Make a full backup of the connected iPhone into DIR/<udid>.\n"
    "  kestrio-cli scan --device [--password P] [--json FILE|-]\n"
    "  kestrio-cli recover --device --out DIR [--password P] [--deleted-only] [--category "
    "NAME]...\n"
    "      Back the connected iPhone up into a temporary folder, then scan or recover it as\n"
    "      above; the temporary backup is deleted afterwards.\n"
    "  kestrio-cli carve DB [--table NAME]... [--json FILE|-]\n"
    "      Read any SQLite database DB (and DB-wal beside it) with Kestrio's own reader: every\n"
    "      table's live rows and the deleted rows carved from its free space, by column name.\n"
    "      --table (repeatable) keeps only the named tables.\n"
    "  kestrio-cli --help\n"
    "  kestrio-cli --version\n"
    "\n"
    "Backups are searched in ~/.local/share/Apple Computer/MobileSync/Backup (and\n"
    "$XDG_DATA_HOME), ~/Library/Application Support/MobileSync/Backup, and the folders of\n"
    "KESTRIO_BACKUP_DIRS (separated by colons).\n"
    "\n"
    "A password comes from --password-file FILE (its first line), the environment variable\n"
    "KESTRIO_PASSWORD, or a prompt on the terminal; --password P still works, but every user\n"
    "of this computer can read P in the process list.\n"
    "\n"
    "A device whose backups are encrypted needs its backup password: Kestrio\n"
    "switches the encryption off for its own backup and on again with the same password\n"
    "afterwards, and says so loudly if switching it on again fails.\n"
    "\n"
    "Exit codes: 0 the backup opened (a category that failed is reported on standard error),\n"
    "1 usage, 2 stopped, 3 wrong or missing password, 4 the backup, device or database could\n"
    "not be opened.\n";

struct Options {
  std::vector<std::string> positional;
  std::optional<std::string> password;
  std::optional<std::string> passwordFile;
  bool passwordOnCommandLine = false;  // --password P
  std::optional<std::string> json;     // file name, or "-"; "" for a bare --json
  std::optional<std::string> out;
  std::vector<std::string> categories;
  std::vector<std::string> tables;  // carve --table
  bool deletedOnly = false;
  bool device = false;
  bool help = false;
};

// The command line's category names and the selection model's codes.
inline constexpr std::pair<std::string_view, CategoryCode> kCategoryCodes[] = {
    {"cameraRoll", kCodeCameraRoll},
    {"photoStream", kCodePhotoStream},
    {"messages", kCodeMessages},
    {"messageAttachments", kCodeMessageAttachments},
    {"contacts", kCodeContacts},
    {"callHistory", kCodeCallHistory},
    {"notes", kCodeNotes},
    {"appPhotos", kCodeAppPhotos},
    {"appVideos", kCodeAppVideos},
    {"whatsApp", kCodeWhatsApp},
    {"whatsAppAttachments", kCodeWhatsAppAttachments},
};

// Parses "--name value" options; false (with a message) on an unknown or incomplete one.
bool Parse(const std::vector<std::string>& args, bool jsonTakesFile, Options& options,
           std::ostream& err);

// Fills options.password from --password-file or KESTRIO_PASSWORD when --password was not
// given, and warns on `err` that --password can be read by others. False (with a message)
// when both --password and --password-file are given or the file cannot be read.
bool ResolvePassword(Options& options, const Terminal& terminal);

// The password for a backup or device that needs one and got none, from the terminal's
// askPassword; nothing when there is no one to ask or the answer is empty.
std::optional<std::string> AskPassword(const Terminal& terminal, const std::string& question);

// The progress bar: one line on standard error, redrawn in place.
class ProgressBar {
 public:
  explicit ProgressBar(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
  void Show(int percent, std::string_view what) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> guard(mutex_);
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    err_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << percent << "% "
         << what << "\x1b[K" << std::flush;
  }
  void Done() {
    if (!enabled_) return;
    std::lock_guard<std::mutex> guard(mutex_);
    err_ << "\r\x1b[K" << std::flush;
  }

 private:
  std::ostream& err_;
  bool enabled_;
  std::mutex mutex_;
};

// The result's text and code, "text (code)".
std::string ResultLine(Result result);

// Waits until `finished(timeout)` says the work is over, looking for an interrupt every 50 ms
// between (`finished` wakes at once when the work ends); an interrupt calls `stop` once. True
// when the user interrupted (also when the interrupt came just as the work ended).
template <typename Finished, typename Stop>
bool WaitInterruptible(const Terminal& terminal, Finished finished, Stop stop) {
  bool stopped = false;
  while (!finished(std::chrono::milliseconds(50))) {
    if (terminal.interrupted && terminal.interrupted->load() && !stopped) {
      stop();
      stopped = true;
    }
  }
  return stopped || (terminal.interrupted && terminal.interrupted->load());
}

// The device of the device commands: the terminal's, else the process's device session.
DeviceBackupDriver& DeviceOf(const Terminal& terminal);

// Connects the device; kExitOk, or the exit code with the message written.
int ConnectDevice(const Terminal& terminal, DeviceBackupDriver& device);

// The end of every device command: encryption that was switched off is switched on again (a
// failure is said loudly), and the device is let go.
class DeviceScope {
 public:
  DeviceScope(const Terminal& terminal, DeviceBackupDriver& device)
      : terminal_(terminal), device_(device), encryption_(device, [&terminal](Result result) {
          terminal.err << "kestrio-cli: WARNING: the device's backup encryption could not be "
                          "switched on again ("
                       << ResultLine(result)
                       << "). Its backups are NOT encrypted until you switch the encryption on "
                          "again, for example with: idevicebackup2 encryption on PASSWORD\n";
        }) {}
  ~DeviceScope() {
    if (encryption_.Finish() && encryption_.SwitchedOff())
      terminal_.err << "The device's backup encryption is on again.\n";
    device_.Disconnect();
  }
  DeviceScope(const DeviceScope&) = delete;
  DeviceScope& operator=(const DeviceScope&) = delete;

  // A device that encrypts its backups: its encryption is switched off with the password given
  // (and on again at the end). kExitOk, or the exit code with the message written.
  int SwitchEncryptionOff(const Options& options) {
    if (!device_.WillEncrypt()) return kExitOk;
    std::string password = options.password.value_or("");
    if (password.empty())
      password = AskPassword(terminal_, "Backup password of the device: ").value_or("");
    if (password.empty()) {
      terminal_.err << "kestrio-cli: the device encrypts its backups; give their password with "
                       "--password-file FILE or KESTRIO_PASSWORD. Kestrio switches the "
                       "encryption off for its backup and on again afterwards with the same "
                       "password.\n";
      return kExitPassword;
    }
    terminal_.err << "Switching the device's backup encryption off for this backup; it is "
                     "switched on again afterwards.\n";
    const Result result = encryption_.SwitchOff(password);
    if (result != kResultOk) {
      terminal_.err << "kestrio-cli: the device refused the backup password";
      if (!device_.ErrorDescription().empty()) terminal_.err << ": " << device_.ErrorDescription();
      terminal_.err << " (" << result << ")\n";
      return kExitPassword;
    }
    return kExitOk;
  }

 private:
  const Terminal& terminal_;
  DeviceBackupDriver& device_;
  EncryptionSwitch encryption_;
};

// The connected device's values, as `device info` shows them.
DeviceJson Describe(DeviceBackupDriver& device);

// Connects the device, describes it and switches its encryption off when needed.
int OpenDevice(const Options& options, const Terminal& terminal, DeviceBackupDriver& device,
               DeviceScope& scope, DeviceJson& description);

}  // namespace kestrio::cli
