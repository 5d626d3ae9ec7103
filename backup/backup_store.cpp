#include "backup/backup_store.h"

#include "base/paths.h"
#include "base/platform_storage.h"

namespace kestrio {
namespace {

constexpr std::string_view kPreviewFiles[] = {"tmp.jpg", "tmp.avi", "tmp.wav"};

}  // namespace

void RemoveFilesIn(const std::filesystem::path& folder) {
  std::error_code error;
  if (folder.empty()) return;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_regular_file(ignored) || it->is_symlink(ignored))
      std::filesystem::remove(it->path(), ignored);
  }
}

void RemovePreviewCopies(const std::filesystem::path& workFolder) {
  if (workFolder.empty()) return;
  std::error_code ignored;
  for (std::string_view preview : kPreviewFiles)
    std::filesystem::remove(workFolder / preview, ignored);
}

BackupStoreFolders BackupStoreFolders::Platform() {
  BackupStoreFolders folders;
  folders.workFolder = WorkFolder();
  folders.programFolder = kestrio::ProgramFolder();
  folders.temporaryBackupFolder = [] { return kestrio::TemporaryBackupFolder(); };
  folders.backupRoots = BackupRoots();
  return folders;
}

StoreLayout OpenedBackup::Layout() const {
  if (decrypted) return StoreLayout::kDecrypted;
  return newLayout ? StoreLayout::kTwoLevel : StoreLayout::kFlat;
}

std::filesystem::path OpenedBackup::StoredFile(std::string_view storedName) const {
  return StoredPath(folder, storedName, Layout());
}

BackupStore::BackupStore(BackupStoreFolders folders) : folders_(std::move(folders)) {
  std::error_code ignored;
  if (!folders_.workFolder.empty())
    std::filesystem::create_directories(folders_.workFolder, ignored);
  RemoveTemporaryFiles();
  backups_ = DiscoverBackups(folders_.backupRoots);
}

BackupStore::~BackupStore() { RemoveTemporaryFiles(); }

void BackupStore::ChooseBackup(const BackupSummary& summary) {
  opened_.summary = summary;
  opened_.folder = summary.folder;
  opened_.decrypted = false;
}

std::filesystem::path BackupStore::TemporaryBackupFolder() const {
  return folders_.temporaryBackupFolder ? folders_.temporaryBackupFolder()
                                        : std::filesystem::path();
}

std::filesystem::path BackupStore::DecryptionOutputFolder() const {
  const std::filesystem::path temporary = TemporaryBackupFolder();
  return temporary.empty() ? temporary : temporary / kDecryptionOutputFolderName;
}

void BackupStore::RemoveTemporaryFiles() {
  RemoveFilesIn(DecryptionOutputFolder());
  std::error_code ignored;
  for (const std::filesystem::path& file : opened_.decryptedFiles)
    std::filesystem::remove(file, ignored);
  opened_.decryptedFiles.clear();
  RemovePreviewCopies(folders_.workFolder);
}

}  // namespace kestrio
