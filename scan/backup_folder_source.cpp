#include "scan/backup_folder_source.h"

#include "backup/backup_summary.h"
#include "backup/decryption.h"
#include "backup/manifest.h"

namespace kestrio {
namespace {

constexpr std::int32_t kOpenStep = 11;
constexpr std::int32_t kDecryptStep = 10;
// Under the work folder: links pairing a stored database with its stored log.
constexpr std::string_view kLogPairFolder = "logged-databases";

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
  if (indexed == kResultOk) PairLogs();
  progress.base += progress.span;
  if (const Result answer = progress.Report(progress.base); answer != kResultOk) return answer;
  return indexed;
}

void BackupFolderSource::PairLogs() {
  const OpenedBackup& backup = store_.Opened();
  const std::filesystem::path folder = store_.WorkFolder() / kLogPairFolder;
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  withLog_.clear();
  constexpr std::string_view kLogSuffix = "-wal";
  for (const ManifestEntry& entry : backup.entries) {
    if (!entry.key.ends_with(kLogSuffix)) continue;
    const std::string database =
        StoredName(std::string_view(entry.key).substr(0, entry.key.size() - kLogSuffix.size()));
    const std::filesystem::path databasePath = backup.StoredFile(database);
    const std::filesystem::path logPath = backup.StoredFile(entry.storedName);
    std::error_code error;
    if (!FileExists(databasePath) || !FileExists(logPath) ||
        std::filesystem::file_size(logPath, error) == 0 || error)
      continue;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path link = folder / database;
    std::filesystem::path logLink = link;
    logLink += kLogSuffix;
    std::filesystem::create_symlink(std::filesystem::absolute(databasePath, error), link, error);
    if (error) continue;
    std::filesystem::create_symlink(std::filesystem::absolute(logPath, error), logLink, error);
    if (error) {
      std::filesystem::remove(link, ignored);
      continue;
    }
    withLog_[database] = link;
  }
}

std::filesystem::path BackupFolderSource::Readable(std::string_view storedName) const {
  const auto it = withLog_.find(storedName);
  return it != withLog_.end() ? it->second : store_.Opened().StoredFile(storedName);
}

std::filesystem::path BackupFolderSource::Database(KnownDatabase which) const {
  switch (which) {
    case KnownDatabase::kAddressBook:
      return Readable(kAddressBookName);
    case KnownDatabase::kMessages:
      return Readable(kSmsDbName);
    case KnownDatabase::kNotes:
      return Readable(kNotesName);
    case KnownDatabase::kNoteStore:
      return Readable(kNoteStoreName);
    case KnownDatabase::kCallHistory: {
      const std::filesystem::path store = Readable(kCallHistoryStoreName);
      return FileExists(store) ? store : Readable(kCallHistoryDbName);
    }
    case KnownDatabase::kPhotoLibrary:
      return Readable(kPhotoLibraryName);
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
    if (chats) databases.push_back(Readable(entry.storedName));
  }
  return databases;
}

}  // namespace kestrio
