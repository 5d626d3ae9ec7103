// kestrio-cli print: a backup folder or the connected device scanned, and one category's
// records written as the print page (template/Print.html around one block per record).
#include <fstream>

#include "base/paths.h"
#include "cli/commands.h"
#include "output/print_page.h"

namespace kestrio::cli {

int Print(const Options& options, Terminal& terminal) {
  const auto known =
      std::find_if(std::begin(kCategoryCodes), std::end(kCategoryCodes), [&](const auto& category) {
        return options.categories.size() == 1 && category.first == options.categories.front();
      });
  if (options.positional.size() != (options.device ? 0u : 1u) || !options.out ||
      options.out->empty() || known == std::end(kCategoryCodes) || options.json) {
    terminal.err << "kestrio-cli: print needs one backup folder (or --device), one known "
                    "--category NAME and --out FILE.html\n"
                 << kUsage;
    return kExitUsage;
  }
  const std::filesystem::path out = *options.out;
  if (out.extension() != ".html" && out.extension() != ".htm") {
    terminal.err << "kestrio-cli: print writes an HTML page (FILE.html); the desktop program's "
                    "print window saves it as PDF\n";
    return kExitUsage;
  }
  ScannedBackup scanned;
  if (const int code = ScanAny(options, terminal, scanned); code != kExitOk) return code;
  if (scanned.stopped) {
    terminal.err << "kestrio-cli: the scan was stopped; nothing was printed\n";
    return kExitStopped;
  }
  const std::filesystem::path programFolder =
      terminal.programFolder.empty() ? ProgramFolder() : terminal.programFolder;
  PrintTemplate page;
  if (LoadPrintTemplate(programFolder, page) != kResultOk) {
    terminal.err << "kestrio-cli: the print template (template/Print.html) is missing or "
                    "unreadable; nothing was written\n";
    return kExitUnopened;
  }
  std::string content;
  BuildPrintContent(scanned.run->Results(), scanned.run->Selection(), known->second,
                    options.deletedOnly, content);
  if (const Result written = WritePrintPage(out, page, content); written != kResultOk) {
    terminal.err << "kestrio-cli: cannot write " << out.string() << ": " << ResultText(written)
                 << "\n";
    return kExitUsage;
  }
  terminal.out << "Printed " << known->first << " into " << out.string() << "\n";
  return kExitOk;
}

}  // namespace kestrio::cli
