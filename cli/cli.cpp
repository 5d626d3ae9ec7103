#include "cli/cli.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "base/paths.h"
#include "cli/json_writer.h"
#include "cli/scan_json.h"
#include "device/device_presence.h"
#include "device/device_session.h"
#include "device/encryption_switch.h"
#include "output/recovery_run.h"
#include "scan/device_source.h"
#include "scan/scan_run.h"

namespace kestrio::cli {
namespace {

constexpr std::string_view kUsage =
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
    "  kestrio-cli --help\n"
    "\n"
    "Backups are searched in ~/.local/share/Apple Computer/MobileSync/Backup (and\n"
    "$XDG_DATA_HOME), ~/Library/Application Support/MobileSync/Backup, and the folders of\n"
    "KESTRIO_BACKUP_DIRS (separated by colons).\n"
    "\n"
    "A device whose backups are encrypted needs its backup password (--password): Kestrio\n"
    "switches the encryption off for its own backup and on again with the same password\n"
    "afterwards, and says so loudly if switching it on again fails.\n"
    "\n"
    "Exit codes: 0 the backup opened (a category that failed is reported on standard error),\n"
    "1 usage, 2 stopped, 3 wrong or missing password, 4 the backup or device could not be\n"
    "opened.\n";

struct Options {
  std::vector<std::string> positional;
  std::optional<std::string> password;
  std::optional<std::string> json;  // file name, or "-"; "" for a bare --json
  std::optional<std::string> out;
  std::vector<std::string> categories;
  bool deletedOnly = false;
  bool device = false;
  bool help = false;
};

// The command line's category names and the selection model's codes.
constexpr std::pair<std::string_view, CategoryCode> kCategoryCodes[] = {
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
           std::ostream& err) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--password") {
      if (i + 1 >= args.size()) {
        err << "kestrio-cli: --password needs a value\n";
        return false;
      }
      options.password = args[++i];
    } else if (arg == "--json") {
      if (jsonTakesFile) {
        if (i + 1 >= args.size()) {
          err << "kestrio-cli: --json needs a file name or -\n";
          return false;
        }
        options.json = args[++i];
      } else {
        options.json = "";
      }
    } else if (arg == "--out" || arg == "--category") {
      if (i + 1 >= args.size()) {
        err << "kestrio-cli: " << arg << " needs a value\n";
        return false;
      }
      if (arg == "--out") {
        options.out = args[++i];
      } else {
        options.categories.push_back(args[++i]);
      }
    } else if (arg == "--deleted-only") {
      options.deletedOnly = true;
    } else if (arg == "--device") {
      options.device = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      err << "kestrio-cli: unknown option " << arg << "\n";
      return false;
    } else {
      options.positional.push_back(arg);
    }
  }
  return true;
}

int Backups(const Options& options, Terminal& terminal) {
  const std::vector<BackupSummary> backups = DiscoverBackups(BackupRoots());
  if (options.json) {
    JsonWriter json;
    json.BeginArray();
    for (const BackupSummary& backup : backups) WriteBackup(json, backup);
    json.EndArray();
    terminal.out << json.str() << "\n";
    return kExitOk;
  }
  if (backups.empty()) terminal.err << "No backups found.\n";
  for (const BackupSummary& backup : backups) {
    terminal.out << (backup.lastBackupDate.empty() ? "(no date)" : backup.lastBackupDate) << "  "
                 << (backup.displayName.empty() ? "(no name)" : backup.displayName)
                 << (backup.encrypted ? "  [encrypted]" : "") << "\n    " << backup.folder.string()
                 << "\n";
  }
  return kExitOk;
}

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

std::string ResultLine(Result result) {
  return ResultText(result) + " (" + std::to_string(result) + ")";
}

// Polls every 50 ms until `finished` says so; an interrupt calls `stop` once. True when the
// user interrupted (also when the interrupt came just as the work ended).
template <typename Finished, typename Stop>
bool WaitInterruptible(const Terminal& terminal, Finished finished, Stop stop) {
  bool stopped = false;
  while (!finished()) {
    if (terminal.interrupted && terminal.interrupted->load() && !stopped) {
      stop();
      stopped = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return stopped || (terminal.interrupted && terminal.interrupted->load());
}

DeviceBackupDriver& DeviceOf(const Terminal& terminal) {
  return terminal.device ? *terminal.device : DeviceBackupSession::Instance();
}

// Connects the device; kExitOk, or the exit code with the message written.
int ConnectDevice(const Terminal& terminal, DeviceBackupDriver& device) {
  const bool supported =
      terminal.deviceSupport ? terminal.deviceSupport() : DeviceSupportInstalled();
  if (!supported) {
    terminal.err << "kestrio-cli: usbmuxd, the service through which Kestrio reaches an iPhone, "
                    "is not installed (on Debian: sudo apt install usbmuxd)\n";
    return kExitUnopened;
  }
  const Result connected = device.Connect();
  if (connected != kResultOk) {
    terminal.err << "kestrio-cli: no iPhone found: connect it by USB, unlock it and answer "
                    "\"Trust\" on it";
    if (connected != -1) terminal.err << " (" << ResultLine(connected) << ")";
    terminal.err << "\n";
    return kExitUnopened;
  }
  return kExitOk;
}

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
    if (!options.password || options.password->empty()) {
      terminal_.err << "kestrio-cli: the device encrypts its backups; give their password with "
                       "--password. Kestrio switches the encryption off for its backup and on "
                       "again afterwards with the same password.\n";
      return kExitPassword;
    }
    terminal_.err << "Switching the device's backup encryption off for this backup; it is "
                     "switched on again afterwards.\n";
    const Result result = encryption_.SwitchOff(*options.password);
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
DeviceJson Describe(DeviceBackupDriver& device) {
  return DeviceJson{device.DeviceName(), device.DeviceClass(), device.SystemVersion(),
                    device.Udid(), device.WillEncrypt()};
}

// Connects the device, describes it and switches its encryption off when needed.
int OpenDevice(const Options& options, const Terminal& terminal, DeviceBackupDriver& device,
               DeviceScope& scope, DeviceJson& description) {
  if (const int code = ConnectDevice(terminal, device); code != kExitOk) return code;
  description = Describe(device);
  return scope.SwitchEncryptionOff(options);
}

// A source scanned by ScanSource: the store or device, the finished run and what went wrong.
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

  const std::string& DisplayName() const {
    return device ? device->displayName : summary.displayName;
  }
};

// Runs the scan of `backend` and waits for it. kExitOk when the source opened (a category
// that failed is a warning); otherwise the exit code, with the message written.
int ScanSource(Terminal& terminal, ScannedBackup& scanned, std::unique_ptr<ScanBackend> backend,
               const std::string& password, DeviceBackupDriver* device) {
  scanned.bar = std::make_unique<ProgressBar>(terminal.err, terminal.progressBar);
  ScannedBackup* state = &scanned;
  ScanObserver observer;
  const char* opening = device ? "backing the device up" : "opening";
  observer.progress = [state, opening](std::int32_t percent) {
    const int current = state->category.load();
    state->bar->Show(percent,
                     current < 0 ? opening : ScanCategoryKey(static_cast<ScanCategory>(current)));
  };
  observer.categoryDone = [state](ScanCategory done, bool) {
    state->category = static_cast<int>(done);
  };
  observer.failed = [state](std::optional<ScanCategory> failed, Result result) {
    std::lock_guard<std::mutex> guard(state->errorsMutex);
    if (!failed) {
      state->openFailure = result;
    } else {
      state->errors[std::string(ScanCategoryKey(*failed))] = result;
    }
  };
  scanned.run = std::make_unique<ScanRun>(std::move(backend), password, observer);
  ScanRun& run = *scanned.run;
  if (device) run.SetAbortCounter(&device->AbortCounter());
  run.Start(ApplicationDataFolder());
  scanned.stopped = WaitInterruptible(
      terminal, [&] { return run.Finished(); }, [&] { run.Stop(); });
  scanned.stopped = run.Wait() == kResultStopped || scanned.stopped;
  scanned.bar->Done();
  if (const std::optional<Result> openFailure = scanned.openFailure) {
    if (*openFailure == kResultWrongPassword) {
      terminal.err << "kestrio-cli: the password is wrong\n";
      return kExitPassword;
    }
    if (device) {
      terminal.err << "kestrio-cli: the device backup failed: ";
      if (!device->ErrorDescription().empty()) terminal.err << device->ErrorDescription() << " ";
      terminal.err << "(" << *openFailure << ")\n";
    } else {
      terminal.err << "kestrio-cli: the backup could not be opened: " << ResultLine(*openFailure)
                   << "\n";
    }
    return kExitUnopened;
  }
  for (const auto& [key, code] : scanned.errors)
    terminal.err << "kestrio-cli: warning: " << key << ": " << ResultLine(code) << "\n";
  return kExitOk;
}

// Scans the backup folder of the command line.
int ScanBackup(const Options& options, Terminal& terminal, ScannedBackup& scanned) {
  const std::filesystem::path folder = options.positional.front();
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    terminal.err << "kestrio-cli: " << folder.string() << " is not a folder\n";
    return kExitUnopened;
  }
  BackupSummary& summary = scanned.summary;
  if (ReadBackupSummary(folder, summary) != kResultOk) {
    summary = BackupSummary{};
    summary.folder = folder;
    summary.encrypted = IsBackupEncrypted(folder);
  }
  if (summary.encrypted && (!options.password || options.password->empty())) {
    terminal.err << "kestrio-cli: the backup is encrypted; its password is missing (give it with "
                    "--password)\n";
    return kExitPassword;
  }
  scanned.store = std::make_unique<BackupStore>();
  scanned.store->ChooseBackup(summary);
  return ScanSource(terminal, scanned,
                    CreateScanBackend(SourceKind::kBackupFolder, scanned.store.get()),
                    options.password.value_or(""), nullptr);
}

// Backs the connected device up into the temporary backup folder and scans that backup.
int ScanDevice(const Options& options, Terminal& terminal, ScannedBackup& scanned) {
  DeviceBackupDriver& device = DeviceOf(terminal);
  scanned.deviceScope = std::make_unique<DeviceScope>(terminal, device);
  DeviceJson description;
  if (const int code = OpenDevice(options, terminal, device, *scanned.deviceScope, description);
      code != kExitOk)
    return code;
  description.willEncrypt.reset();
  scanned.device = description;
  BackupStoreFolders folders = BackupStoreFolders::Platform();
  if (!terminal.temporaryFolder.empty()) {
    folders.temporaryBackupFolder = [folder = terminal.temporaryFolder] { return folder; };
  }
  auto backend =
      std::make_unique<ScanBackend>(std::make_unique<DeviceSource>(device, std::move(folders)));
  return ScanSource(terminal, scanned, std::move(backend), options.password.value_or(""), &device);
}

int ScanAny(const Options& options, Terminal& terminal, ScannedBackup& scanned) {
  return options.device ? ScanDevice(options, terminal, scanned)
                        : ScanBackup(options, terminal, scanned);
}

int Scan(const Options& options, Terminal& terminal) {
  if (options.positional.size() != (options.device ? 0u : 1u)) {
    terminal.err << "kestrio-cli: scan needs one backup folder, or --device\n" << kUsage;
    return kExitUsage;
  }
  ScannedBackup scanned;
  if (const int code = ScanAny(options, terminal, scanned); code != kExitOk) return code;
  const ScanResults& results = scanned.run->Results();
  if (options.json) {
    JsonWriter json;
    if (scanned.device) {
      WriteScan(json, *scanned.device, kResultOk, scanned.errors, results);
    } else {
      WriteScan(json, scanned.summary, kResultOk, scanned.errors, results);
    }
    if (*options.json == "-") {
      terminal.out << json.str() << "\n";
    } else {
      std::ofstream file(*options.json, std::ios::binary | std::ios::trunc);
      file << json.str() << "\n";
      if (!file) {
        terminal.err << "kestrio-cli: cannot write " << *options.json << "\n";
        return kExitUsage;
      }
    }
  } else {
    const std::string& name = scanned.DisplayName();
    terminal.out << (name.empty() ? scanned.summary.folder.string() : name) << "\n";
    for (int i = 0; i < kScanCategoryCount; ++i) {
      const auto which = static_cast<ScanCategory>(i);
      terminal.out << "  " << ScanCategoryKey(which) << ": " << results.Count(which) << "\n";
    }
  }
  if (scanned.stopped) {
    terminal.err << "kestrio-cli: the scan was stopped; the results above are incomplete\n";
    return kExitStopped;
  }
  return kExitOk;
}

// Unticks what the command line leaves out: categories not named, records not deleted.
void Select(const Options& options, SelectionModel& statistics) {
  if (!options.categories.empty()) {
    for (const auto& [name, code] : kCategoryCodes) {
      if (std::find(options.categories.begin(), options.categories.end(), name) ==
          options.categories.end())
        statistics.TickCategory(code, false);
    }
  }
  if (options.deletedOnly) {
    std::vector<const void*> live;
    for (const SelectionEntry* entry : statistics.Entries()) {
      if (entry->group == 0 && entry->deleted == 0 && entry->item) live.push_back(entry->item);
    }
    for (const void* item : live) statistics.TickItem(item, false);
  }
}

int Recover(const Options& options, Terminal& terminal) {
  if (options.positional.size() != (options.device ? 0u : 1u) || !options.out ||
      options.out->empty()) {
    terminal.err << "kestrio-cli: recover needs one backup folder (or --device) and --out DIR\n"
                 << kUsage;
    return kExitUsage;
  }
  for (const std::string& name : options.categories) {
    if (std::none_of(std::begin(kCategoryCodes), std::end(kCategoryCodes),
                     [&](const auto& known) { return known.first == name; })) {
      terminal.err << "kestrio-cli: unknown category " << name << "\n";
      return kExitUsage;
    }
  }
  ScannedBackup scanned;
  if (const int code = ScanAny(options, terminal, scanned); code != kExitOk) return code;
  if (scanned.stopped) {
    terminal.err << "kestrio-cli: the scan was stopped; nothing was recovered\n";
    return kExitStopped;
  }
  SelectionModel& statistics = scanned.run->Statistics();
  Select(options, statistics);

  const std::filesystem::path out = *options.out;
  std::error_code error;
  std::filesystem::create_directories(out, error);
  if (!std::filesystem::is_directory(out, error)) {
    terminal.err << "kestrio-cli: cannot create the output folder " << out.string() << "\n";
    return kExitUsage;
  }
  RecoverySource source;
  source.statistics = &statistics;
  source.results = &scanned.run->Results();
  source.backend = scanned.run->Backend();
  source.deviceName = scanned.DisplayName();
  ProgressBar bar(terminal.err, terminal.progressBar);
  RecoveryObserver observer;
  observer.progress = [&](const RecoveryProgress& p) {
    bar.Show(p.total > 0 ? p.done * 100 / p.total : 100, std::to_string(p.done) + "/" +
                                                             std::to_string(p.total) + " " +
                                                             p.current.filename().string());
  };
  const std::filesystem::path programFolder =
      terminal.programFolder.empty() ? ProgramFolder() : terminal.programFolder;
  RecoveryRun run(source, out, programFolder, observer);
  std::string missing;
  if (run.LoadTemplates(missing) != kResultOk) {
    terminal.err << "kestrio-cli: a report template is missing or unreadable: " << missing
                 << "\nNothing was written.\n";
    return kExitUnopened;
  }
  run.Start();
  const bool stopped = WaitInterruptible(
      terminal, [&] { return run.Finished(); }, [&] { run.Cancel(); });
  run.Wait();
  bar.Done();

  for (const RecoveryStatusRow& row : run.StatusRows()) {
    if (row.failed)
      terminal.err << "kestrio-cli: failed: " << row.path.string() << ": " << row.status << "\n";
  }
  terminal.out << "Recovered " << run.Done() - run.Failed() << " of " << run.Total()
               << " item(s) into " << out.string();
  if (run.Failed() > 0) terminal.out << " (" << run.Failed() << " failed)";
  terminal.out << "\n";
  if (stopped) {
    terminal.err << "kestrio-cli: the recovery was stopped; what was written stays\n";
    return kExitStopped;
  }
  return kExitOk;
}

int DeviceInfo(const Options& options, Terminal& terminal) {
  DeviceBackupDriver& device = DeviceOf(terminal);
  DeviceScope scope(terminal, device);
  if (const int code = ConnectDevice(terminal, device); code != kExitOk) return code;
  const DeviceJson description = Describe(device);
  if (options.json) {
    JsonWriter json;
    WriteDevice(json, description);
    terminal.out << json.str() << "\n";
    return kExitOk;
  }
  terminal.out << DeviceSummaryText(description.displayName, description.deviceClass,
                                    description.productVersion)
               << "\n    udid " << description.udid << "\n    backups "
               << (*description.willEncrypt ? "encrypted" : "not encrypted") << "\n";
  return kExitOk;
}

int DeviceBackup(const Options& options, Terminal& terminal) {
  const std::filesystem::path destination = options.positional.front();
  DeviceBackupDriver& device = DeviceOf(terminal);
  DeviceScope scope(terminal, device);
  DeviceJson description;
  if (const int code = OpenDevice(options, terminal, device, scope, description); code != kExitOk)
    return code;
  std::error_code error;
  std::filesystem::create_directories(destination, error);
  if (!std::filesystem::is_directory(destination, error)) {
    terminal.err << "kestrio-cli: cannot create the folder " << destination.string() << "\n";
    return kExitUsage;
  }

  ProgressBar bar(terminal.err, terminal.progressBar);
  std::atomic<bool> finished{false};
  Result result = kResultOk;
  const std::string password = options.password.value_or("");
  std::thread worker([&] {
    result = device.RunBackup(
        destination, password.c_str(),
        [&bar](std::int32_t percent) {
          bar.Show(percent, "backing up");
          return kResultOk;
        },
        100);
    finished = true;
  });
  const bool stopped = WaitInterruptible(
      terminal, [&] { return finished.load(); }, [&] { ++device.AbortCounter(); });
  worker.join();
  bar.Done();
  if (result == kResultOk) {
    terminal.out << "Backed up "
                 << (description.displayName.empty() ? "the device" : description.displayName)
                 << " into " << device.BackupFolder().string() << "\n";
    return kExitOk;
  }
  if (stopped) {
    terminal.err << "kestrio-cli: the backup was stopped; the folder holds an incomplete backup\n";
    return kExitStopped;
  }
  terminal.err << "kestrio-cli: the backup failed: ";
  if (result == -1) {
    terminal.err << "the device stopped answering or was unplugged\n";
  } else {
    if (!device.ErrorDescription().empty()) terminal.err << device.ErrorDescription() << " ";
    terminal.err << "(" << result << ")\n";
  }
  return kExitUnopened;
}

int Device(const std::vector<std::string>& args, Terminal& terminal) {
  const std::string action = args.empty() ? std::string() : args.front();
  if (action != "info" && action != "backup") {
    terminal.err << "kestrio-cli: device needs info or backup\n" << kUsage;
    return kExitUsage;
  }
  Options options;
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (!Parse(rest, false, options, terminal.err)) return kExitUsage;
  if (options.help) {
    terminal.out << kUsage;
    return kExitOk;
  }
  if (options.out || options.deletedOnly || options.device || !options.categories.empty()) {
    terminal.err << "kestrio-cli: device " << action << " takes no such option\n";
    return kExitUsage;
  }
  if (action == "info") {
    if (!options.positional.empty() || options.password) {
      terminal.err << "kestrio-cli: device info takes only --json\n";
      return kExitUsage;
    }
    return DeviceInfo(options, terminal);
  }
  if (options.positional.size() != 1 || options.json) {
    terminal.err << "kestrio-cli: device backup needs one folder (and optionally --password)\n";
    return kExitUsage;
  }
  return DeviceBackup(options, terminal);
}

}  // namespace

int RunCli(const std::vector<std::string>& args, Terminal& terminal) {
  if (args.empty()) {
    terminal.err << kUsage;
    return kExitUsage;
  }
  const std::string& command = args.front();
  if (command == "--help" || command == "-h" || command == "help") {
    terminal.out << kUsage;
    return kExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  Options options;
  if (command == "device") return Device(rest, terminal);
  const bool known = command == "backups" || command == "scan" || command == "recover";
  if (!known) {
    terminal.err << "kestrio-cli: unknown command " << command << "\n" << kUsage;
    return kExitUsage;
  }
  if (!Parse(rest, command != "backups", options, terminal.err)) return kExitUsage;
  if (command != "recover" && (options.out || options.deletedOnly || !options.categories.empty())) {
    terminal.err << "kestrio-cli: --out, --category and --deleted-only belong to recover\n";
    return kExitUsage;
  }
  if (options.help) {
    terminal.out << kUsage;
    return kExitOk;
  }
  if (command == "backups") {
    if (!options.positional.empty() || options.password || options.device) {
      terminal.err << "kestrio-cli: backups takes only --json\n";
      return kExitUsage;
    }
    return Backups(options, terminal);
  }
  if (command == "recover") {
    if (options.json) {
      terminal.err << "kestrio-cli: recover takes no --json\n";
      return kExitUsage;
    }
    return Recover(options, terminal);
  }
  return Scan(options, terminal);
}

}  // namespace kestrio::cli
