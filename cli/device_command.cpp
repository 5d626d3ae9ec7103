// kestrio-cli device info and device backup: the connected iPhone described, or backed up into
// a folder.
#include <thread>

#include "base/done_flag.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "device/device_presence.h"

namespace kestrio::cli {
namespace {

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
  DoneFlag finished;
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
    finished.Set();
  });
  const bool stopped = WaitInterruptible(
      terminal, [&](auto timeout) { return finished.WaitFor(timeout); },
      [&] { ++device.AbortCounter(); });
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

}  // namespace

int Device(const std::vector<std::string>& args, Terminal& terminal) {
  const std::string action = args.empty() ? std::string() : args.front();
  if (action != "info" && action != "backup") {
    terminal.err << "kestrio-cli: device needs info or backup\n" << kUsage;
    return kExitUsage;
  }
  Options options;
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (!Parse(rest, false, options, terminal.err)) return kExitUsage;
  if (!options.tables.empty()) {
    terminal.err << "kestrio-cli: --table belongs to carve\n";
    return kExitUsage;
  }
  if (!ResolvePassword(options, terminal)) return kExitUsage;
  if (options.help) {
    terminal.out << kUsage;
    return kExitOk;
  }
  if (options.out || options.deletedOnly || options.device || !options.categories.empty()) {
    terminal.err << "kestrio-cli: device " << action << " takes no such option\n";
    return kExitUsage;
  }
  if (action == "info") {
    if (!options.positional.empty() || options.passwordOnCommandLine || options.passwordFile) {
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

}  // namespace kestrio::cli
