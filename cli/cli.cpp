#include "cli/cli.h"

#include "cli/commands.h"

namespace kestrio::cli {

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
  if (command == "--version") {
    terminal.out << "kestrio-cli " << KESTRIO_VERSION << "\n";
    return kExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  Options options;
  if (command == "device") return Device(rest, terminal);
  if (command == "carve") {
    if (!Parse(rest, true, options, terminal.err)) return kExitUsage;
    if (options.help) {
      terminal.out << kUsage;
      return kExitOk;
    }
    if (options.positional.size() != 1 || options.password || options.passwordFile || options.out ||
        options.device || options.deletedOnly || !options.categories.empty()) {
      terminal.err << "kestrio-cli: carve needs one database file and takes only --table and "
                      "--json\n";
      return kExitUsage;
    }
    return Carve(options, terminal);
  }
  const bool known =
      command == "backups" || command == "scan" || command == "recover" || command == "print";
  if (!known) {
    terminal.err << "kestrio-cli: unknown command " << command << "\n" << kUsage;
    return kExitUsage;
  }
  if (!Parse(rest, command != "backups", options, terminal.err)) return kExitUsage;
  if (!options.tables.empty()) {
    terminal.err << "kestrio-cli: --table belongs to carve\n";
    return kExitUsage;
  }
  if (command != "recover" && command != "print" &&
      (options.out || options.deletedOnly || !options.categories.empty())) {
    terminal.err << "kestrio-cli: --out, --category and --deleted-only belong to recover and "
                    "print\n";
    return kExitUsage;
  }
  if (options.help) {
    terminal.out << kUsage;
    return kExitOk;
  }
  if (command == "backups") {
    if (!options.positional.empty() || options.password || options.passwordFile || options.device) {
      terminal.err << "kestrio-cli: backups takes only --json\n";
      return kExitUsage;
    }
    return Backups(options, terminal);
  }
  if (!ResolvePassword(options, terminal)) return kExitUsage;
  if (command == "recover") {
    if (options.json) {
      terminal.err << "kestrio-cli: recover takes no --json\n";
      return kExitUsage;
    }
    return Recover(options, terminal);
  }
  if (command == "print") return Print(options, terminal);
  return Scan(options, terminal);
}

}  // namespace kestrio::cli
