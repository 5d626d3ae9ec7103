// kestrio-cli print: a backup folder or the connected device scanned, and one category's
// records written as the print page (template/Print.html around one block per record). A PDF
// is printed from that page by the desktop program beside this one ("kestrio --html-to-pdf"),
// whose toolkit lays out and prints HTML without a display; this program stays free of it.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "base/paths.h"
#include "cli/commands.h"
#include "output/print_page.h"

extern "C" char** environ;

namespace kestrio::cli {

namespace {

// Runs `argv` and waits for it: its exit code, or -1 when it could not be started or did not
// exit normally.
int RunAndWait(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int Print(const Options& options, Terminal& terminal) {
  const auto known =
      std::find_if(std::begin(kCategoryCodes), std::end(kCategoryCodes), [&](const auto& category) {
        return options.categories.size() == 1 && category.first == options.categories.front();
      });
  if (options.positional.size() != (options.device ? 0u : 1u) || !options.out ||
      options.out->empty() || known == std::end(kCategoryCodes) || options.json) {
    terminal.err << "kestrio-cli: print needs one backup folder (or --device), one known "
                    "--category NAME and --out FILE.html or FILE.pdf\n"
                 << kUsage;
    return kExitUsage;
  }
  const std::filesystem::path out = *options.out;
  const bool pdf = out.extension() == ".pdf";
  if (out.extension() != ".html" && out.extension() != ".htm" && !pdf) {
    terminal.err << "kestrio-cli: print writes FILE.html or FILE.pdf\n";
    return kExitUsage;
  }
  const std::filesystem::path programFolder =
      terminal.programFolder.empty() ? ProgramFolder() : terminal.programFolder;
  const std::filesystem::path printer = programFolder / "kestrio";
  if (pdf && ::access(printer.c_str(), X_OK) != 0) {
    terminal.err << "kestrio-cli: a PDF is printed by the desktop program, which is not installed "
                    "beside kestrio-cli ("
                 << printer.string() << "); write FILE.html instead\n";
    return kExitUsage;
  }
  ScannedBackup scanned;
  if (const int code = ScanAny(options, terminal, scanned); code != kExitOk) return code;
  if (scanned.stopped) {
    terminal.err << "kestrio-cli: the scan was stopped; nothing was printed\n";
    return kExitStopped;
  }
  PrintTemplate page;
  if (LoadPrintTemplate(programFolder, page) != kResultOk) {
    terminal.err << "kestrio-cli: the print template (template/Print.html) is missing or "
                    "unreadable; nothing was written\n";
    return kExitUnopened;
  }
  std::string content;
  BuildPrintContent(scanned.run->Results(), scanned.run->Selection(), known->second,
                    options.deletedOnly, content);
  // A PDF is printed from the page written beside it first, which is then removed.
  std::filesystem::path html = out;
  if (pdf) html += ".print-" + std::to_string(::getpid()) + ".html";
  if (const Result written = WritePrintPage(html, page, content); written != kResultOk) {
    terminal.err << "kestrio-cli: cannot write " << html.string() << ": " << ResultText(written)
                 << "\n";
    return kExitUsage;
  }
  if (pdf) {
    const int printed =
        RunAndWait({printer.string(), "--html-to-pdf", html.string(), out.string()});
    std::error_code ignored;
    std::filesystem::remove(html, ignored);
    if (printed != 0) {
      terminal.err << "kestrio-cli: the PDF " << out.string() << " could not be printed\n";
      return kExitUsage;
    }
  }
  terminal.out << "Printed " << known->first << " into " << out.string() << "\n";
  return kExitOk;
}

}  // namespace kestrio::cli
