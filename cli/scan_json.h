// The command line's JSON: backups, and a scan's result with every record of every category.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "backup/backup_summary.h"
#include "cli/json_writer.h"
#include "scan/scan_run.h"

namespace kestrio::cli {

void WriteBackup(JsonWriter& json, const BackupSummary& backup);

// A connected device: {displayName, deviceClass, productVersion, udid[, willEncrypt]}.
struct DeviceJson {
  std::string displayName;
  std::string deviceClass;
  std::string productVersion;
  std::string udid;
  std::optional<bool> willEncrypt;
};
void WriteDevice(JsonWriter& json, const DeviceJson& device);

// {backup, result, errors, categories}; `errors` maps category keys to the non-zero results
// of their operations.
void WriteScan(JsonWriter& json, const BackupSummary& backup, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results);
// The same for a device scan: the device object in place of the backup's.
void WriteScan(JsonWriter& json, const DeviceJson& device, Result openResult,
               const std::map<std::string, Result>& errors, const ScanResults& results);

}  // namespace kestrio::cli
