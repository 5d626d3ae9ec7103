#include "scan/device_source.h"

#include "backup/manifest.h"
#include "base/file_copy.h"
#include "base/platform_storage.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kOpenStep = 10;
constexpr std::int32_t kOpenedPercent = 20;

bool FileExists(const fs::path& path) {
  std::error_code ignored;
  return !path.empty() && fs::is_regular_file(path, ignored);
}

// The databases copied out of the device's backup: plain name, then the stored names to take
// it from, the first present one wins.
struct DatabaseCopySpec {
  std::string_view plainName;
  std::string_view storedName;
  std::string_view fallbackName;
};
constexpr DatabaseCopySpec kDatabaseCopies[] = {
    {"AddressBook", kAddressBookName, {}},
    {"sms", kSmsDbName, {}},
    {"notes", kNotesName, {}},
    {"NoteStore", kNoteStoreName, {}},
    {"history", kCallHistoryStoreName, kCallHistoryDbName},
    {"ChatStorage", kWhatsAppSharedName, kWhatsAppDocumentsName},
    {"Photos", kPhotoLibraryName, {}},
};

}  // namespace

DeviceSource::DeviceSource(DeviceBackupDriver& driver, BackupStoreFolders folders)
    : driver_(driver), folders_(std::move(folders)) {
  std::error_code ignored;
  if (!folders_.workFolder.empty()) fs::create_directories(folders_.workFolder, ignored);
  if (folders_.temporaryBackupFolder) temporaryFolder_ = folders_.temporaryBackupFolder();
  RemoveTemporaryFiles();
}

DeviceSource::~DeviceSource() {
  RemoveTemporaryFiles();
  RemoveDeviceBackup();
}

void DeviceSource::RemoveTemporaryFiles() {
  if (!temporaryFolder_.empty()) {
    RemoveFilesIn(temporaryFolder_);
    RemoveFilesIn(temporaryFolder_ / kDecryptionOutputFolderName);
  }
  RemovePreviewCopies(folders_.workFolder);
}

void DeviceSource::RemoveDeviceBackup() {
  // Only a backup this source made, inside its own temporary folder.
  const fs::path& folder = backup_.folder;
  if (folder.empty() || temporaryFolder_.empty() || folder.parent_path() != temporaryFolder_ ||
      !SafeUdid(folder.filename().string()))
    return;
  std::error_code error;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    entries.push_back(it->path());
  // remove_all deletes a link itself, never what it points to.
  for (const fs::path& entry : entries) {
    std::error_code ignored;
    fs::remove_all(entry, ignored);
  }
}

fs::path DeviceSource::DatabaseCopy(std::string_view plainName) const {
  return temporaryFolder_.empty() ? fs::path() : temporaryFolder_ / plainName;
}

fs::path DeviceSource::Database(KnownDatabase which) const {
  switch (which) {
    case KnownDatabase::kAddressBook:
      return DatabaseCopy("AddressBook");
    case KnownDatabase::kMessages:
      return DatabaseCopy("sms");
    case KnownDatabase::kNotes:
      return DatabaseCopy("notes");
    case KnownDatabase::kNoteStore:
      return DatabaseCopy("NoteStore");
    case KnownDatabase::kCallHistory:
      return DatabaseCopy("history");
    case KnownDatabase::kPhotoLibrary:
      return DatabaseCopy("Photos");
  }
  return {};
}

std::vector<fs::path> DeviceSource::WhatsAppChatDatabases() const {
  return {DatabaseCopy("ChatStorage")};
}

Result DeviceSource::Open(const std::string& password, ProgressSink& progress, FindingsSink*) {
  progress.base = 1;
  progress.span = kOpenStep;
  if (const Result answer = progress.Report(1); answer != kResultOk) return answer;

  if (temporaryFolder_.empty() && folders_.temporaryBackupFolder)
    temporaryFolder_ = folders_.temporaryBackupFolder();
  if (temporaryFolder_.empty()) return kResultInvalid;  // no file system with room for it
  std::error_code error;
  fs::create_directories(temporaryFolder_, error);

  const auto report = progress.callback;
  const Result backedUp = driver_.RunBackup(
      temporaryFolder_, password.c_str(),
      [report](std::int32_t percent) { return report ? report(percent) : kResultOk; },
      kDeviceBackupProgressScale, /*temporary=*/true);
  backup_.folder = driver_.BackupFolder();
  if (backedUp != kResultOk) return backedUp;

  backup_.newLayout = driver_.Version10OrLater();
  const StoreLayout layout = backup_.Layout();
  for (const DatabaseCopySpec& copy : kDatabaseCopies) {
    fs::path source = StoredPath(backup_.folder, copy.storedName, layout);
    if (!copy.fallbackName.empty() && !FileExists(source))
      source = StoredPath(backup_.folder, copy.fallbackName, layout);
    const fs::path destination = DatabaseCopy(copy.plainName);
    std::error_code ignored;
    fs::remove(destination, ignored);
    // A database the device does not have is simply missing; its category reports that.
    if (FileExists(source)) kestrio::CopyBackupFile(source, destination, nullptr);
  }
  progress.base = kOpenedPercent;
  return progress.Report(kOpenedPercent);
}

Result DeviceSource::PrepareWalk() {
  backup_.entries.clear();
  if (backup_.folder.empty()) return kResultInvalid;
  const fs::path index = backup_.folder / (backup_.newLayout ? "Manifest.db" : "Manifest.mbdb");
  if (!FileExists(index)) return kResultInvalid;
  const Result read = backup_.newLayout ? ReadManifestDb(index, backup_.entries)
                                        : ReadManifestMbdb(index, backup_.entries);
  if (read != kResultOk) backup_.entries.clear();  // a failed read walks nothing
  return read;
}

}  // namespace kestrio
