// kestrio-cli backups: the backups found on this computer.
#include "backup/backup_summary.h"
#include "base/paths.h"
#include "cli/commands.h"
#include "cli/json_writer.h"

namespace kestrio::cli {

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

}  // namespace kestrio::cli
