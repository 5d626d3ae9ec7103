#include "device/device_backup_folder.h"

#include <vector>

namespace kestrio {
namespace {

namespace fs = std::filesystem;

// Deletes the entries of `folder` that are not folders (by their own type: a link to a folder
// is deleted as a link), skipping names that start with ".".
void DeleteTopLevelFiles(const fs::path& folder) {
  std::vector<fs::path> doomed;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code typeError;
    if (it->symlink_status(typeError).type() == fs::file_type::directory || typeError) continue;
    doomed.push_back(it->path());
  }
  for (const auto& path : doomed) fs::remove(path, error);
}

}  // namespace

void CleanFailedBackupFolder(const fs::path& backupFolder) {
  DeleteTopLevelFiles(backupFolder);
  const fs::path snapshot = backupFolder / "Snapshot";
  // A "Snapshot" link went with the files above; only a real folder is cleaned.
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(snapshot, error))) return;
  DeleteTopLevelFiles(snapshot);
  // Not recursive: a Snapshot that still holds folders or dot files stays.
  fs::remove(snapshot, error);
}

}  // namespace kestrio
