#include "scan/backup_folder_source.h"

#include "backup/backup_summary.h"
#include "backup/decryption.h"
#include "backup/manifest.h"

namespace kestrio {
namespace {

constexpr std::int32_t kOpenStep = 11;
constexpr std::int32_t kDecryptStep = 10;

bool FileExists(const std::filesystem::path& path) {
  std::error_code ignored;
  return !path.empty() && std::filesystem::is_regular_file(path, ignored);
}

}  // namespace

Result BackupFolderSource::Open(const std::string& password, ProgressSink& progress,
                                FindingsSink* findings) {
  OpenedBackup& backup = store_.Opened();
  progress.base = 0;
  progress.span = kOpenStep;
  if (const Result answer = progress.Report(0); answer != kResultOk) return answer;
  store_.RemoveTemporaryFiles();  // empties the decrypted-files list
  store_.ForgetBackups();
  backup.entries.clear();
  backup.decrypted = false;

  const std::filesystem::path folder = backup.folder;
  backup.newLayout = FileExists(folder / "Manifest.db");
  std::filesystem::path output;
  if (backup.summary.encrypted) {
    // No password opens a keybag that is not there: say so rather than decipher nothing.
    if (ReadEncryptionMark(folder) == EncryptionMark::kKeybagUnusable)
      return kResultKeybagUnreadable;
    progress.span = kDecryptStep;
    output = store_.DecryptionOutputFolder();
    if (output.empty()) return kResultInvalid;  // no file system with room for it
    const DecryptionSetup setup{store_.ProgramFolder(), store_.WorkFolder(), output};
    if (const Result decrypted = RunDecryption(password, folder, setup, progress, findings);
        decrypted != kResultOk)
      return decrypted;
    backup.decryptedFiles = FolderFiles(output);
  } else {
    progress.base = 1;
    if (const Result answer = progress.Report(1); answer != kResultOk) return answer;
  }

  Result indexed = kResultInvalid;
  if (backup.newLayout) {
    const std::filesystem::path decryptedIndex = folder / "Manifest.db-decypted";
    if (FileExists(decryptedIndex)) {
      indexed = ReadManifestDb(decryptedIndex, backup.entries);
    } else if (FileExists(folder / "Manifest.db")) {
      indexed = ReadManifestDb(folder / "Manifest.db", backup.entries);
    }
  } else if (FileExists(folder / "Manifest.mbdb")) {
    indexed = ReadManifestMbdb(folder / "Manifest.mbdb", backup.entries);
  }
  if (!output.empty()) {
    // The deciphered files are read from here on, flat.
    backup.summary.folder = output;
    backup.folder = output;
    backup.decrypted = true;
  }
  progress.base += progress.span;
  if (const Result answer = progress.Report(progress.base); answer != kResultOk) return answer;
  return indexed;
}

std::filesystem::path BackupFolderSource::Database(KnownDatabase which) const {
  const OpenedBackup& backup = store_.Opened();
  switch (which) {
    case KnownDatabase::kAddressBook:
      return backup.StoredFile(kAddressBookName);
    case KnownDatabase::kMessages:
      return backup.StoredFile(kSmsDbName);
    case KnownDatabase::kNotes:
      return backup.StoredFile(kNotesName);
    case KnownDatabase::kNoteStore:
      return backup.StoredFile(kNoteStoreName);
    case KnownDatabase::kCallHistory: {
      const std::filesystem::path store = backup.StoredFile(kCallHistoryStoreName);
      return FileExists(store) ? store : backup.StoredFile(kCallHistoryDbName);
    }
    case KnownDatabase::kPhotoLibrary:
      return backup.StoredFile(kPhotoLibraryName);
  }
  return {};
}

std::vector<std::filesystem::path> BackupFolderSource::WhatsAppChatDatabases() const {
  // The chat database and the contacts database sit side by side; the walk ends once both
  // have been seen.
  const OpenedBackup& backup = store_.Opened();
  std::vector<std::filesystem::path> databases;
  std::size_t seen = 0;
  for (const ManifestEntry& entry : backup.entries) {
    if (seen >= 2) break;
    const bool chats = entry.key.find("ChatStorage.sqlite") != std::string::npos;
    if (!chats && entry.key.find("Contacts.sqlite") == std::string::npos) continue;
    ++seen;
    if (chats) databases.push_back(backup.StoredFile(entry.storedName));
  }
  return databases;
}

}  // namespace kestrio
