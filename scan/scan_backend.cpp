#include "scan/scan_backend.h"

#include "backup/backup_store.h"
#include "device/device_session.h"
#include "parsers/note_store.h"
#include "scan/backup_folder_source.h"
#include "scan/chat_text.h"
#include "scan/device_source.h"
#include "scan/index_scans.h"

namespace kestrio {

ScanBackend::ScanBackend(std::unique_ptr<ScanSource> source) : source_(std::move(source)) {}

ScanBackend::~ScanBackend() = default;

Result ScanBackend::SetProgressCallback(ProgressFunction progress) {
  progress_.callback = std::move(progress);
  return kResultOk;
}

SourceKind ScanBackend::Kind() const { return source_->Kind(); }

Result ScanBackend::Open(const std::string& password) {
  messages_.clear();
  qqChats_.clear();
  weChatChats_.clear();
  whatsAppChats_.clear();
  whatsAppAttachments_.clear();
  return source_->Open(password, progress_, &Findings());
}

ParseContext ScanBackend::Context() const {
  ParseContext context;
  context.newLayout = source_->Backup().newLayout;
  context.progress = progress_;
  context.findings = &Findings();
  return context;
}

Result ScanBackend::ScanMessages(ConversationMap& conversations) {
  std::uint64_t highest = 0;
  const Result parsed =
      ParseMessages(Context(), source_->Database(KnownDatabase::kAddressBook), messages_,
                    source_->Database(KnownDatabase::kMessages), highest);
  if (parsed == kResultOk) source_->Backup().messageRowIdBase = highest;
  conversations = messages_;
  return progress_.AfterDatabase(parsed);
}

Result ScanBackend::ScanContacts(std::vector<ContactRecord>& contacts) {
  std::uint64_t highest = 0;
  const Result parsed =
      ParseContacts(Context(), source_->Database(KnownDatabase::kAddressBook), contacts, highest);
  if (parsed == kResultOk) source_->Backup().contactRowIdBase = highest;
  return progress_.AfterDatabase(parsed);
}

namespace {

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error);
}

}  // namespace

// The store of iOS 8 and earlier first (often still in later backups with old notes), then
// the one of iOS 9 and later; each only when its file is there. OK when either was read.
Result ScanBackend::ScanNotes(std::vector<NoteRecord>& notes) {
  notes.clear();
  const std::filesystem::path legacy = source_->Database(KnownDatabase::kNotes);
  const std::filesystem::path store = source_->Database(KnownDatabase::kNoteStore);
  const bool hasLegacy = IsRegularFile(legacy);
  const bool hasStore = IsRegularFile(store);
  if (!hasLegacy && !hasStore) {
    // Neither file: the legacy reader's own answer for a missing file, as before.
    return progress_.AfterDatabase(ParseNotes(legacy, notes, &Findings()));
  }
  Result legacyRead = kResultOk;
  if (hasLegacy) legacyRead = ParseNotes(legacy, notes, &Findings());
  Result storeRead = kResultOk;
  if (hasStore) storeRead = ParseNoteStore(store, notes, &Findings());
  const bool read = (hasLegacy && legacyRead == kResultOk) || (hasStore && storeRead == kResultOk);
  return progress_.AfterDatabase(read ? kResultOk : hasLegacy ? legacyRead : storeRead);
}

Result ScanBackend::ScanCallHistory(std::vector<CallRecord>& calls) {
  return progress_.AfterDatabase(ParseCallHistory(
      source_->Database(KnownDatabase::kAddressBook), calls, source_->Backup().newLayout,
      source_->Database(KnownDatabase::kCallHistory), &Findings()));
}

Result ScanBackend::ScanPhotos(std::vector<FileRecord>& cameraRoll,
                               std::vector<FileRecord>& photoStream) {
  if (const Result indexed = source_->PrepareWalk(); indexed != kResultOk) {
    cameraRoll.clear();
    photoStream.clear();
    return indexed;
  }
  return kestrio::ScanPhotos(Media(), progress_, cameraRoll, photoStream);
}

Result ScanBackend::ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments) {
  if (const Result indexed = source_->PrepareWalk(); indexed != kResultOk) {
    attachments.clear();
    return indexed;
  }
  return kestrio::ScanMessageAttachments(Media(), progress_, attachments);
}

Result ScanBackend::ScanAppFiles(std::vector<AppFileRecord>& appFiles) {
  if (const Result indexed = source_->PrepareWalk(); indexed != kResultOk) {
    appFiles.clear();
    return indexed;
  }
  return kestrio::ScanAppFiles(Media(), progress_, source_->AppWalk(), appFiles,
                               whatsAppAttachments_);
}

Result ScanBackend::ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) {
  if (source_->AppWalk() == AppWalkKind::kLocalBackup) {
    attachments = whatsAppAttachments_;
    return progress_.Advance(progress_.span);
  }
  if (const Result indexed = source_->PrepareWalk(); indexed != kResultOk) {
    attachments.clear();
    return indexed;
  }
  return kestrio::ScanWhatsAppAttachments(Media(), progress_, attachments);
}

Result ScanBackend::ScanWhatsAppChats(WhatsAppConversationMap& chats) {
  Result parsed = kResultInvalid;  // no chat database
  whatsAppChats_.clear();
  for (const std::filesystem::path& database : source_->WhatsAppChatDatabases()) {
    WhatsAppConversationMap found;
    parsed = ParseWhatsApp(database, found, &Findings());
    for (auto& [session, messages] : found) {
      auto& into = whatsAppChats_[session];
      into.insert(into.end(), std::make_move_iterator(messages.begin()),
                  std::make_move_iterator(messages.end()));
    }
  }
  chats = whatsAppChats_;
  if (const Result answer = progress_.Advance(progress_.span); answer != kResultOk) return answer;
  return parsed;
}

Result ScanBackend::ScanQQ(ChatAppConversationMap& chats) {
  const Result indexed = source_->PrepareWalk();
  const Result parsed = ScanQQInIndex(Media(), qqChats_, &Findings());
  chats = qqChats_;
  return indexed != kResultOk ? indexed : parsed;
}

Result ScanBackend::ScanWeChat(WeChatAccountMap& accounts) {
  const Result indexed = source_->PrepareWalk();
  const Result parsed = ScanWeChatInIndex(Media(), weChatChats_, &Findings());
  accounts = weChatChats_;
  return indexed != kResultOk ? indexed : parsed;
}

Result ScanBackend::ExtractPreview(const std::filesystem::path& storedPath,
                                   std::string& previewPath, const ProgressFunction& progress) {
  return kestrio::ExtractPreview(storedPath, source_->WorkFolder(), previewPath, progress);
}

Result ScanBackend::CopyBackupFile(const std::filesystem::path& source,
                                   const std::filesystem::path& destination,
                                   const CopyProgress& progress) {
  return kestrio::CopyBackupFile(source, destination, progress);
}

Result ScanBackend::WriteMessagesCsv(const std::filesystem::path& destination) {
  return DumpMessageRows(source_->Database(KnownDatabase::kMessages), destination,
                         source_->Backup().messageRowIdBase);
}

Result ScanBackend::WriteContactsCsv(const std::filesystem::path& destination) {
  const OpenedBackup& backup = source_->Backup();
  return DumpContactRows(source_->Database(KnownDatabase::kAddressBook), destination,
                         backup.contactRowIdBase, backup.newLayout);
}

Result ScanBackend::WriteWhatsAppChatText(std::int32_t sessionId,
                                          const std::filesystem::path& output,
                                          const std::string& /*contactName*/,
                                          const ProgressFunction& progress) {
  return kestrio::WriteWhatsAppChatText(whatsAppChats_, sessionId, output, progress);
}

Result ScanBackend::WriteQQChatText(const std::string& chatKey, const std::filesystem::path& output,
                                    const std::string& contactName,
                                    const ProgressFunction& progress) {
  return WriteChatAppText(qqChats_, chatKey, output, contactName, progress);
}

Result ScanBackend::WriteWeChatChatText(const std::string& chatKey,
                                        const std::filesystem::path& output,
                                        const std::string& contactName,
                                        const ProgressFunction& progress) {
  return WriteChatAppText(weChatChats_, chatKey, output, contactName, progress);
}

std::unique_ptr<ScanBackend> CreateScanBackend(SourceKind kind, BackupStore* store) {
  switch (kind) {
    case SourceKind::kDevice:
      return std::make_unique<ScanBackend>(std::make_unique<DeviceSource>(
          DeviceBackupSession::Instance(),
          store ? store->Folders() : BackupStoreFolders::Platform()));
    case SourceKind::kBackupFolder:
      if (store == nullptr) return nullptr;
      return std::make_unique<ScanBackend>(std::make_unique<BackupFolderSource>(*store));
  }
  return nullptr;
}

}  // namespace kestrio
