// The command line's JSON: backups, and a scan's result with every record of every category.
#pragma once

#include <map>
#include <string>

#include "backup/backup_summary.h"
#include "cli/json_writer.h"
#include "ui/scan_run.h"

namespace kestrio::cli {

void WriteBackup(JsonWriter& json, const BackupSummary& backup);

// {backup, result, errors, categories}; `errors` maps category keys to the non-zero results
// of their operations.
void WriteScan(JsonWriter& json, const BackupSummary& backup, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results);

}  // namespace kestrio::cli
