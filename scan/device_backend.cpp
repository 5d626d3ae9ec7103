#include "scan/device_backend.h"

#include "base/platform_storage.h"
#include "scan/chat_text.h"
#include "scan/index_scans.h"

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
    {"history", kCallHistoryStoreName, kCallHistoryDbName},
    {"ChatStorage", kWhatsAppSharedName, kWhatsAppDocumentsName},
};

}  // namespace

DeviceBackend::DeviceBackend(DeviceBackupDriver& driver, BackupStoreFolders folders)
    : driver_(driver), folders_(std::move(folders)) {
  std::error_code ignored;
  if (!folders_.workFolder.empty()) fs::create_directories(folders_.workFolder, ignored);
  if (folders_.temporaryBackupFolder) temporaryFolder_ = folders_.temporaryBackupFolder();
  RemoveTemporaryFiles();
}

DeviceBackend::~DeviceBackend() {
  RemoveTemporaryFiles();
  RemoveDeviceBackup();
}

void DeviceBackend::RemoveTemporaryFiles() {
  if (!temporaryFolder_.empty()) {
    RemoveFilesIn(temporaryFolder_);
    RemoveFilesIn(temporaryFolder_ / kDecryptionOutputFolderName);
  }
  RemovePreviewCopies(folders_.workFolder);
}

void DeviceBackend::RemoveDeviceBackup() {
  // Only a backup this back-end made, inside its own temporary folder.
  if (deviceBackupFolder_.empty() || temporaryFolder_.empty() ||
      deviceBackupFolder_.parent_path() != temporaryFolder_ ||
      !SafeUdid(deviceBackupFolder_.filename().string()))
    return;
  std::error_code error;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(deviceBackupFolder_, error), end; !error && it != end;
       it.increment(error))
    entries.push_back(it->path());
  // remove_all deletes a link itself, never what it points to.
  for (const fs::path& entry : entries) {
    std::error_code ignored;
    fs::remove_all(entry, ignored);
  }
}

Result DeviceBackend::AttachStore(BackupStore* /*store*/) {
  progress_.base = 0;
  progress_.span = 0;
  newLayout_ = false;
  return kResultOk;
}

Result DeviceBackend::SetProgressCallback(ProgressFunction progress) {
  progress_.callback = std::move(progress);
  return kResultOk;
}

fs::path DeviceBackend::DatabaseCopy(std::string_view plainName) const {
  return temporaryFolder_.empty() ? fs::path() : temporaryFolder_ / plainName;
}

Result DeviceBackend::Open(const std::string& password) {
  progress_.base = 1;
  progress_.span = kOpenStep;
  if (const Result answer = progress_.Report(1); answer != kResultOk) return answer;
  messages_.clear();
  qqChats_.clear();
  weChatChats_.clear();
  whatsAppChats_.clear();

  if (temporaryFolder_.empty() && folders_.temporaryBackupFolder)
    temporaryFolder_ = folders_.temporaryBackupFolder();
  if (temporaryFolder_.empty()) return kResultInvalid;  // no file system with room for it
  std::error_code error;
  fs::create_directories(temporaryFolder_, error);

  const ProgressFunction report = progress_.callback;
  const Result backedUp = driver_.RunBackup(
      temporaryFolder_, password.c_str(),
      [report](std::int32_t percent) { return report ? report(percent) : kResultOk; },
      kDeviceBackupProgressScale, /*temporary=*/true);
  deviceBackupFolder_ = driver_.BackupFolder();
  if (backedUp != kResultOk) return backedUp;

  newLayout_ = driver_.Version10OrLater();
  const StoreLayout layout = newLayout_ ? StoreLayout::kTwoLevel : StoreLayout::kFlat;
  for (const DatabaseCopySpec& copy : kDatabaseCopies) {
    fs::path source = StoredPath(deviceBackupFolder_, copy.storedName, layout);
    if (!copy.fallbackName.empty() && !FileExists(source))
      source = StoredPath(deviceBackupFolder_, copy.fallbackName, layout);
    const fs::path destination = DatabaseCopy(copy.plainName);
    std::error_code ignored;
    fs::remove(destination, ignored);
    // A database the device does not have is simply missing; its category reports that.
    if (FileExists(source)) kestrio::CopyBackupFile(source, destination, nullptr);
  }
  progress_.base = kOpenedPercent;
  return progress_.Report(kOpenedPercent);
}

ParseContext DeviceBackend::Context() const {
  ParseContext context;
  context.newLayout = newLayout_;
  context.progress = progress_;
  context.findings = &Findings();
  return context;
}

Result DeviceBackend::ScanMessages(ConversationMap& conversations) {
  std::uint64_t highest = 0;
  const Result parsed = ParseMessages(Context(), DatabaseCopy("AddressBook"), messages_,
                                      DatabaseCopy("sms"), highest);
  if (parsed == kResultOk) messageRowIdBase_ = highest;
  conversations = messages_;
  return progress_.AfterDatabase(parsed);
}

Result DeviceBackend::ScanContacts(std::vector<ContactRecord>& contacts) {
  std::uint64_t highest = 0;
  const Result parsed = ParseContacts(Context(), DatabaseCopy("AddressBook"), contacts, highest);
  if (parsed == kResultOk) contactRowIdBase_ = highest;
  return progress_.AfterDatabase(parsed);
}

Result DeviceBackend::ScanNotes(std::vector<NoteRecord>& notes) {
  return progress_.AfterDatabase(ParseNotes(DatabaseCopy("notes"), notes));
}

Result DeviceBackend::ScanCallHistory(std::vector<CallRecord>& calls) {
  return progress_.AfterDatabase(
      ParseCallHistory(DatabaseCopy("AddressBook"), calls, newLayout_, DatabaseCopy("history")));
}

Result DeviceBackend::ReadIndex() {
  entries_.clear();
  if (deviceBackupFolder_.empty()) return kResultInvalid;
  const fs::path index = deviceBackupFolder_ / (newLayout_ ? "Manifest.db" : "Manifest.mbdb");
  if (!FileExists(index)) return kResultInvalid;
  const Result read =
      newLayout_ ? ReadManifestDb(index, entries_) : ReadManifestMbdb(index, entries_);
  if (read != kResultOk) entries_.clear();  // a failed read walks nothing
  return read;
}

MediaSource DeviceBackend::Media() const {
  return MediaSource{&entries_, deviceBackupFolder_,
                     newLayout_ ? StoreLayout::kTwoLevel : StoreLayout::kFlat};
}

Result DeviceBackend::ScanPhotos(std::vector<FileRecord>& cameraRoll,
                                 std::vector<FileRecord>& photoStream) {
  if (const Result indexed = ReadIndex(); indexed != kResultOk) {
    cameraRoll.clear();
    photoStream.clear();
    return indexed;
  }
  return kestrio::ScanPhotos(Media(), progress_, cameraRoll, photoStream);
}

Result DeviceBackend::ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments) {
  if (const Result indexed = ReadIndex(); indexed != kResultOk) {
    attachments.clear();
    return indexed;
  }
  return kestrio::ScanMessageAttachments(Media(), progress_, attachments);
}

Result DeviceBackend::ScanAppFiles(std::vector<AppFileRecord>& appFiles) {
  if (const Result indexed = ReadIndex(); indexed != kResultOk) {
    appFiles.clear();
    return indexed;
  }
  std::vector<FileRecord> unused;  // the device walk keeps WhatsApp's files with the app files
  return kestrio::ScanAppFiles(Media(), progress_, AppWalkKind::kDeviceBackup, appFiles, unused);
}

Result DeviceBackend::ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) {
  if (const Result indexed = ReadIndex(); indexed != kResultOk) {
    attachments.clear();
    return indexed;
  }
  return kestrio::ScanWhatsAppAttachments(Media(), progress_, attachments);
}

Result DeviceBackend::ScanWhatsAppChats(WhatsAppConversationMap& chats) {
  whatsAppChats_.clear();
  const Result parsed = ParseWhatsApp(DatabaseCopy("ChatStorage"), whatsAppChats_);
  chats = whatsAppChats_;
  if (const Result answer = progress_.Advance(progress_.span); answer != kResultOk) return answer;
  return parsed;
}

// Without the device's index the chat scans find nothing and report why.
Result DeviceBackend::ScanQQ(ChatAppConversationMap& chats) {
  const Result indexed = ReadIndex();
  const Result parsed = ScanQQInIndex(Media(), qqChats_);
  chats = qqChats_;
  return indexed != kResultOk ? indexed : parsed;
}

Result DeviceBackend::ScanWeChat(WeChatAccountMap& accounts) {
  const Result indexed = ReadIndex();
  const Result parsed = ScanWeChatInIndex(Media(), weChatChats_);
  accounts = weChatChats_;
  return indexed != kResultOk ? indexed : parsed;
}

Result DeviceBackend::ExtractPreview(const fs::path& storedPath, std::string& previewPath,
                                     const ProgressFunction& progress) {
  return kestrio::ExtractPreview(storedPath, folders_.workFolder, previewPath, progress);
}

Result DeviceBackend::CopyBackupFile(const fs::path& source, const fs::path& destination,
                                     const CopyProgress& progress) {
  return kestrio::CopyBackupFile(source, destination, progress);
}

Result DeviceBackend::WriteMessagesCsv(const fs::path& destination) {
  return DumpMessageRows(DatabaseCopy("sms"), destination, messageRowIdBase_);
}

Result DeviceBackend::WriteContactsCsv(const fs::path& destination) {
  return DumpContactRows(DatabaseCopy("AddressBook"), destination, contactRowIdBase_, newLayout_);
}

Result DeviceBackend::WriteWhatsAppChatText(std::int32_t sessionId, const fs::path& output,
                                            const std::string& /*contactName*/,
                                            const ProgressFunction& progress) {
  return kestrio::WriteWhatsAppChatText(whatsAppChats_, sessionId, output, progress);
}

Result DeviceBackend::WriteQQChatText(const std::string& chatKey, const fs::path& output,
                                      const std::string& contactName,
                                      const ProgressFunction& progress) {
  return WriteChatAppText(qqChats_, chatKey, output, contactName, progress);
}

Result DeviceBackend::WriteWeChatChatText(const std::string& chatKey, const fs::path& output,
                                          const std::string& contactName,
                                          const ProgressFunction& progress) {
  return WriteChatAppText(weChatChats_, chatKey, output, contactName, progress);
}

}  // namespace kestrio
