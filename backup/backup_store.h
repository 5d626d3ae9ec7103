// The backup store and the opened backup: what is found once on this computer, and what the
// scan of one backup folder learns about it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "backup/backup_summary.h"
#include "backup/manifest.h"
#include "backup/media_files.h"

namespace kestrio {

// Rows the row dumps number carved records from until a scan has read the real highest.
inline constexpr std::uint64_t kInitialRowIdBase = 20000;

// The folders a store works in. Production takes them from the platform; tests pass their
// own.
struct BackupStoreFolders {
  std::filesystem::path workFolder;
  // Where the program's companions lie (the decryption program).
  std::filesystem::path programFolder;
  // Worked out on first use (the free-space search may touch every mount point).
  std::function<std::filesystem::path()> temporaryBackupFolder;
  std::vector<std::filesystem::path> backupRoots;

  static BackupStoreFolders Platform();
};

// Removes the regular files (and links) directly inside `folder`; never sub-folders, never
// what a link points to.
void RemoveFilesIn(const std::filesystem::path& folder);
// Removes the preview copies "tmp.jpg", "tmp.avi" and "tmp.wav" of the work folder.
void RemovePreviewCopies(const std::filesystem::path& workFolder);

// The backup a scan reads and what opening it learned: the folder its stored files are read
// from (the decryption output folder once deciphered), its index, its layout, and the row
// numbers the row dumps continue from.
struct OpenedBackup {
  BackupSummary summary;  // the chosen backup; its folder is the output folder once deciphered
  std::filesystem::path folder;
  std::vector<ManifestEntry> entries;
  bool newLayout = false;  // the backup folder holds Manifest.db
  bool decrypted = false;  // `folder` is the decryption output folder
  std::vector<std::filesystem::path> decryptedFiles;
  std::uint64_t messageRowIdBase = kInitialRowIdBase;
  std::uint64_t contactRowIdBase = kInitialRowIdBase;

  // Where a stored file lies: flat after decryption or in a Manifest.mbdb backup, in two-digit
  // subfolders in a Manifest.db backup. Empty for a name that is not a stored name.
  std::filesystem::path StoredFile(std::string_view storedName) const;
  StoreLayout Layout() const;
  MediaSource Media() const { return MediaSource{&entries, folder, Layout()}; }
};

// The backup store, kept for the whole life of the main window: the folders Kestrio works in
// and the backups discovered in the roots (found once), and the backup the folder scans open,
// which the preview and the recovery run read after the scan. Only one scan uses it at a time.
class BackupStore {
 public:
  // Creates the work folder, removes what an earlier run left in the temporary folders, and
  // discovers the backups of the roots.
  explicit BackupStore(BackupStoreFolders folders = BackupStoreFolders::Platform());
  // Removes the temporary files again.
  ~BackupStore();
  BackupStore(const BackupStore&) = delete;
  BackupStore& operator=(const BackupStore&) = delete;

  const BackupStoreFolders& Folders() const { return folders_; }
  const std::filesystem::path& WorkFolder() const { return folders_.workFolder; }
  const std::filesystem::path& ProgramFolder() const { return folders_.programFolder; }
  std::filesystem::path TemporaryBackupFolder() const;
  // The decryption output folder (below the temporary backup folder); empty when there is
  // no temporary backup folder.
  std::filesystem::path DecryptionOutputFolder() const;

  // The backups discovered when the store was made, newest first.
  const std::vector<BackupSummary>& Backups() const { return backups_; }
  // Opening a backup folder empties the list.
  void ForgetBackups() { backups_.clear(); }

  // Makes `summary` the backup the next scan reads; its folder becomes the opened folder.
  void ChooseBackup(const BackupSummary& summary);
  OpenedBackup& Opened() { return opened_; }
  const OpenedBackup& Opened() const { return opened_; }

  // Deletes the files of the decryption output folder, the decrypted files listed, and the
  // preview copies in the work folder: only files Kestrio made.
  void RemoveTemporaryFiles();

 private:
  BackupStoreFolders folders_;
  std::vector<BackupSummary> backups_;
  OpenedBackup opened_;
};

}  // namespace kestrio
