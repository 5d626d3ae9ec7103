// Finding the iTunes-style backups on this computer and reading a short summary of each from
// its Info.plist.
//
// Info.plist (XML or binary property list) keys read:
//   "Display Name"      string  the device's name
//   "Last Backup Date"  date    UTC; shown in local time as "%Y-%m-%d %H:%M:%S"
//   "Phone Number"      string
//   "Product Version"   string  "12.4.1": major 12 or more sets the version-12 flag
//   "Serial Number"     string
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/result.h"

namespace kestrio {

struct BackupSummary {
  bool encrypted = false;
  bool version12 = false;
  std::string lastBackupDate;  // local time, empty when absent
  std::string phoneNumber;
  std::string serialNumber;
  std::filesystem::path folder;
  std::string displayName;
};

// Folders that hold backup folders, in search order, each real folder once:
// <application data>/Apple Computer/MobileSync/Backup/ (and .../backup/), the macOS
// location ~/Library/Application Support/MobileSync/Backup/ when it exists, then each folder
// of KESTRIO_BACKUP_DIRS (colon-separated).
std::vector<std::filesystem::path> BackupRoots();

// Reads folder/Info.plist into `summary` (folder set, encryption tested). kResultOk, or
// kResultInvalid when the folder has no Info.plist that parses as a property list.
Result ReadBackupSummary(const std::filesystem::path& folder, BackupSummary& summary);

// What folder/Manifest.plist says about encryption.
enum class EncryptionMark {
  kUnknown,         // no Manifest.plist, one that does not parse, or no boolean IsEncrypted
  kNotEncrypted,    // IsEncrypted false
  kEncrypted,       // IsEncrypted true, with a BackupKeyBag whose records are well formed
  kKeybagUnusable,  // IsEncrypted true, but BackupKeyBag is missing or damaged
};
EncryptionMark ReadEncryptionMark(const std::filesystem::path& folder);

// Whether the backup's files are encrypted. Manifest.plist's IsEncrypted decides when the
// file has it. Without it, the stored address book is probed: a first 6 bytes other than
// "SQLite" mean encrypted; a probe file that cannot be opened, or holds fewer than 6 bytes,
// counts as not encrypted.
bool IsBackupEncrypted(const std::filesystem::path& folder);

// Every entry of the roots whose name does not begin with "." and that has a readable
// Info.plist, newest first (stable: equal dates keep discovery order; no date last).
std::vector<BackupSummary> DiscoverBackups(const std::vector<std::filesystem::path>& roots);

}  // namespace kestrio
