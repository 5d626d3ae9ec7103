#include "cli/options.h"

#include "device/device_presence.h"
#include "device/device_session.h"

namespace kestrio::cli {

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

std::string ResultLine(Result result) {
  return ResultText(result) + " (" + std::to_string(result) + ")";
}

DeviceBackupDriver& DeviceOf(const Terminal& terminal) {
  return terminal.device ? *terminal.device : DeviceBackupSession::Instance();
}

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

DeviceJson Describe(DeviceBackupDriver& device) {
  return DeviceJson{device.DeviceName(), device.DeviceClass(), device.SystemVersion(),
                    device.Udid(), device.WillEncrypt()};
}

int OpenDevice(const Options& options, const Terminal& terminal, DeviceBackupDriver& device,
               DeviceScope& scope, DeviceJson& description) {
  if (const int code = ConnectDevice(terminal, device); code != kExitOk) return code;
  description = Describe(device);
  return scope.SwitchEncryptionOff(options);
}

}  // namespace kestrio::cli
