#include "cli/options.h"

#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "device/device_presence.h"
#include "device/device_session.h"

namespace kestrio::cli {

bool Parse(const std::vector<std::string>& args, bool jsonTakesFile, Options& options,
           std::ostream& err) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--password" || arg == "--password-file" || arg == "--table") {
      if (i + 1 >= args.size()) {
        err << "kestrio-cli: " << arg << " needs a value\n";
        return false;
      }
      if (arg == "--password") {
        options.password = args[++i];
        options.passwordOnCommandLine = true;
      } else if (arg == "--password-file") {
        options.passwordFile = args[++i];
      } else {
        options.tables.push_back(args[++i]);
      }
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

bool ResolvePassword(Options& options, const Terminal& terminal) {
  if (options.passwordOnCommandLine && options.passwordFile) {
    terminal.err << "kestrio-cli: give the password either with --password or with "
                    "--password-file\n";
    return false;
  }
  if (options.passwordOnCommandLine) {
    terminal.err << "kestrio-cli: warning: a password given with --password can be read by "
                    "every user of this computer; use --password-file FILE or KESTRIO_PASSWORD\n";
    return true;
  }
  if (options.passwordFile) {
    std::ifstream file(*options.passwordFile, std::ios::binary);
    std::string line;
    if (!file || (!std::getline(file, line) && !file.eof())) {
      terminal.err << "kestrio-cli: cannot read the password file " << *options.passwordFile
                   << "\n";
      return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    options.password = line;
    return true;
  }
  std::optional<std::string> fromEnvironment;
  if (terminal.environment) {
    fromEnvironment = terminal.environment("KESTRIO_PASSWORD");
  } else if (const char* value = std::getenv("KESTRIO_PASSWORD")) {
    fromEnvironment = std::string(value);
  }
  if (fromEnvironment && !fromEnvironment->empty()) options.password = *fromEnvironment;
  return true;
}

std::optional<std::string> AskPassword(const Terminal& terminal, const std::string& question) {
  if (!terminal.askPassword) return std::nullopt;
  std::optional<std::string> answer = terminal.askPassword(question);
  if (answer && answer->empty()) answer.reset();
  return answer;
}

std::optional<std::string> PromptWithoutEcho(const std::string& question) {
  termios saved{};
  const bool canHide = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (canHide) {
    termios hidden = saved;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    hidden.c_lflag |= ECHONL;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
  }
  std::cerr << question << std::flush;
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (canHide) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!read || line.empty()) return std::nullopt;
  return line;
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
