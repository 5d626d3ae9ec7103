// kestrio-cli recover: a backup folder or the connected device scanned, and what it holds
// written out into a folder.
#include "base/paths.h"
#include "cli/commands.h"
#include "output/recovery_run.h"

namespace kestrio::cli {
namespace {

// Unticks what the command line leaves out: categories not named, records not deleted.
void Select(const Options& options, SelectionModel& selection) {
  if (!options.categories.empty()) {
    for (const auto& [name, code] : kCategoryCodes) {
      if (std::find(options.categories.begin(), options.categories.end(), name) ==
          options.categories.end())
        selection.TickCategory(code, false);
    }
  }
  if (options.deletedOnly) {
    std::vector<const void*> live;
    for (const SelectionEntry* entry : selection.Entries()) {
      if (entry->group == 0 && entry->deleted == 0 && entry->item) live.push_back(entry->item);
    }
    for (const void* item : live) selection.TickItem(item, false);
  }
}

}  // namespace

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
  SelectionModel& selection = scanned.run->Selection();
  Select(options, selection);

  const std::filesystem::path out = *options.out;
  std::error_code error;
  std::filesystem::create_directories(out, error);
  if (!std::filesystem::is_directory(out, error)) {
    terminal.err << "kestrio-cli: cannot create the output folder " << out.string() << "\n";
    return kExitUsage;
  }
  RecoverySource source;
  source.selection = &selection;
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
      terminal, [&](auto timeout) { return run.WaitFinished(timeout); }, [&] { run.Cancel(); });
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

}  // namespace kestrio::cli
