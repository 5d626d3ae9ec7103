// The clean-up after a device backup that failed: what the device had already written at the
// top of the backup folder goes, so the folder is never taken for a complete backup.
#pragma once

#include <filesystem>

namespace kestrio {

// Deletes every entry that is not a folder directly inside `backupFolder` and directly inside
// its "Snapshot" folder, except names starting with ".", then removes "Snapshot" when that
// left it empty. Subfolders are not descended; a symbolic link (also one named "Snapshot")
// is deleted itself, never followed. Failures are ignored.
void CleanFailedBackupFolder(const std::filesystem::path& backupFolder);

}  // namespace kestrio
