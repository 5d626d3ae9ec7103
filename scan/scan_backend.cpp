#include "scan/scan_backend.h"

#include <utility>

#include "backup/backup_store.h"
#include "backup/manifest.h"
#include "device/device_session.h"
#include "parsers/note_store.h"
#include "scan/backup_folder_source.h"
#include "scan/chat_text.h"
#include "scan/device_source.h"
#include "scan/index_scans.h"

namespace kestrio {
namespace {

// The databases as the backup names them, for what the user is told.
constexpr std::string_view kSmsDbKey = "HomeDomain-Library/SMS/sms.db";
constexpr std::string_view kAddressBookKey = "HomeDomain-Library/AddressBook/AddressBook.sqlitedb";
constexpr std::string_view kCallHistoryKey =
    "HomeDomain-Library/CallHistoryDB/CallHistory.storedata";
constexpr std::string_view kNotesKey = "HomeDomain-Library/Notes/notes.sqlite";
constexpr std::string_view kNoteStoreKey = "AppDomainGroup-group.com.apple.notes-NoteStore.sqlite";
constexpr std::string_view kWhatsAppKey =
    "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite";
constexpr std::string_view kPhotoLibraryKey = "CameraRollDomain-Media/PhotoData/Photos.sqlite";
constexpr std::string_view kWhatsAppDocumentsKey =
    "AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite";

// Not in the backup at all. A path that exists but is no readable file is left to the parser,
// whose failure is then explained.
bool Absent(const std::filesystem::path& path) {
  std::error_code ignored;
  return path.empty() || !std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

std::string_view WhatsAppKeyOf(const std::filesystem::path& database) {
  return database.filename() == kWhatsAppDocumentsName ? kWhatsAppDocumentsKey : kWhatsAppKey;
}

}  // namespace

ScanBackend::ScanBackend(std::unique_ptr<ScanSource> source) : source_(std::move(source)) {}

ScanBackend::~ScanBackend() = default;

Result ScanBackend::SetProgressCallback(ProgressFunction progress) {
  progress_.callback = std::move(progress);
  return kResultOk;
}

SourceKind ScanBackend::Kind() const { return source_->Kind(); }

Result ScanBackend::Open(const std::string& password) {
  qqChats_.clear();
  weChatChats_.clear();
  whatsAppChats_.clear();
  whatsAppAttachments_.clear();
  whatsAppWalked_ = false;
  return source_->Open(password, progress_, &Findings());
}

std::optional<CategoryExplanation> ScanBackend::TakeExplanation() {
  return std::exchange(explanation_, std::nullopt);
}

void ScanBackend::Explain(std::string_view key, std::string reason) {
  explanation_ = CategoryExplanation{std::string(key), reason};
  findings_.Report(Finding{std::string(key), "database", "", std::move(reason)});
}

Result ScanBackend::ExplainFailure(Result parsed, std::string_view key, std::string_view name,
                                   std::string_view tables) {
  if (parsed == kResultOk || parsed == kResultStopped) return parsed;
  if (parsed == kResultLayoutUnknown) {
    Explain(key, std::string(name) + " has no " + std::string(tables) +
                     " table (layout not recognised)");
  } else {
    Explain(key, std::string(name) + " could not be read: " + ResultText(parsed));
  }
  return parsed;
}

void ScanBackend::SetSpillFolder(std::function<std::filesystem::path()> folder) {
  spillFolder_ = std::move(folder);
}

std::filesystem::path ScanBackend::SpillFolder() const {
  return spillFolder_ ? spillFolder_() : std::filesystem::path();
}

ParseContext ScanBackend::Context() const {
  ParseContext context;
  context.newLayout = source_->Backup().newLayout;
  context.progress = progress_;
  context.findings = &Findings();
  return context;
}

Result ScanBackend::ScanMessages(ConversationMap& conversations) {
  const std::filesystem::path database = source_->Database(KnownDatabase::kMessages);
  // Parsed straight into the caller's map: a large database's messages are never copied.
  conversations.clear();
  Result parsed = kResultOk;
  if (Absent(database)) {
    Explain(kSmsDbKey, "no messages in this backup: it holds no message database");
  } else {
    std::uint64_t highest = 0;
    ParseContext context = Context();
    context.spillFolder = SpillFolder();
    const std::filesystem::path addressBook = source_->Database(KnownDatabase::kAddressBook);
    parsed = messageSink_ ? ParseMessages(context, addressBook, *messageSink_, database, highest)
                          : ParseMessages(context, addressBook, conversations, database, highest);
    if (parsed == kResultOk) source_->Backup().messageRowIdBase = highest;
  }
  return progress_.AfterDatabase(ExplainFailure(parsed, kSmsDbKey, "sms.db", "message"));
}

Result ScanBackend::ScanContacts(std::vector<ContactRecord>& contacts) {
  const std::filesystem::path database = source_->Database(KnownDatabase::kAddressBook);
  if (Absent(database)) {
    contacts.clear();
    Explain(kAddressBookKey, "no contacts in this backup: it holds no address book");
    return progress_.AfterDatabase(kResultOk);
  }
  std::uint64_t highest = 0;
  const Result parsed = ParseContacts(Context(), database, contacts, highest);
  if (parsed == kResultOk) source_->Backup().contactRowIdBase = highest;
  return progress_.AfterDatabase(
      ExplainFailure(parsed, kAddressBookKey, "AddressBook.sqlitedb", "ABPerson"));
}

// The store of iOS 8 and earlier first (often still in later backups with old notes), then
// the one of iOS 9 and later; each only when its file is there. OK when either was read; the
// other's failure is then a finding.
Result ScanBackend::ScanNotes(std::vector<NoteRecord>& notes) {
  notes.clear();
  const std::filesystem::path legacy = source_->Database(KnownDatabase::kNotes);
  const std::filesystem::path store = source_->Database(KnownDatabase::kNoteStore);
  const bool hasLegacy = !Absent(legacy);
  const bool hasStore = !Absent(store);
  if (!hasLegacy && !hasStore) {
    // Named by the store of today's iPhones; the older one was looked for too.
    Explain(kNoteStoreKey, "no notes in this backup (nor the older Library/Notes/notes.sqlite)");
    return progress_.AfterDatabase(kResultOk);
  }
  Result legacyRead = kResultOk;
  if (hasLegacy) legacyRead = ParseNotes(legacy, notes, &Findings());
  if (legacyRead == kResultStopped) return progress_.AfterDatabase(legacyRead);
  Result storeRead = kResultOk;
  if (hasStore) storeRead = ParseNoteStore(store, notes, &Findings());
  if (storeRead == kResultStopped) return progress_.AfterDatabase(storeRead);
  const bool legacyFailed = hasLegacy && legacyRead != kResultOk;
  const bool storeFailed = hasStore && storeRead != kResultOk;
  auto explainLegacy = [&] {
    return ExplainFailure(legacyRead, kNotesKey, "notes.sqlite", "ZNOTE");
  };
  auto explainStore = [&] {
    return ExplainFailure(storeRead, kNoteStoreKey, "NoteStore.sqlite",
                          "ZICCLOUDSYNCINGOBJECT or ZICNOTEDATA");
  };
  if (!hasStore) return progress_.AfterDatabase(explainLegacy());
  if (!hasLegacy) return progress_.AfterDatabase(explainStore());
  if (legacyFailed && storeFailed) {
    Findings().Report(Finding{std::string(kNotesKey), "database", "",
                              "notes.sqlite could not be read: " + ResultText(legacyRead)});
    return progress_.AfterDatabase(explainStore());
  }
  // One store was read: the other's failure is a finding, not the category's.
  if (legacyFailed) {
    Findings().Report(Finding{std::string(kNotesKey), "database", "",
                              "notes.sqlite could not be read: " + ResultText(legacyRead)});
  }
  if (storeFailed) {
    Findings().Report(Finding{std::string(kNoteStoreKey), "database", "",
                              "NoteStore.sqlite could not be read: " + ResultText(storeRead)});
  }
  return progress_.AfterDatabase(kResultOk);
}

Result ScanBackend::ScanCallHistory(std::vector<CallRecord>& calls) {
  const std::filesystem::path database = source_->Database(KnownDatabase::kCallHistory);
  if (Absent(database)) {
    calls.clear();
    Explain(kCallHistoryKey,
            "no call history in this backup (recent iPhones put their call history only into "
            "encrypted backups)");
    return progress_.AfterDatabase(kResultOk);
  }
  return progress_.AfterDatabase(
      ExplainFailure(ParseCallHistory(source_->Database(KnownDatabase::kAddressBook), calls,
                                      source_->Backup().newLayout, database, &Findings()),
                     kCallHistoryKey, "the call history", "ZCALLRECORD or call"));
}

Result ScanBackend::ScanPhotos(std::vector<FileRecord>& cameraRoll,
                               std::vector<FileRecord>& photoStream) {
  if (const Result indexed = source_->PrepareWalk(); indexed != kResultOk) {
    cameraRoll.clear();
    photoStream.clear();
    return indexed;
  }
  const Result walked = kestrio::ScanPhotos(Media(), progress_, cameraRoll, photoStream);
  // The library only adds to what the walk found: a library that is missing, damaged or of
  // no known layout leaves the list and the result as they are.
  const std::filesystem::path library = source_->Database(KnownDatabase::kPhotoLibrary);
  std::error_code ignored;
  if (walked != kResultOk || library.empty() || !std::filesystem::is_regular_file(library, ignored))
    return walked;
  PhotoLibrary read;
  const Result parsed = ReadPhotoLibrary(library, read, &Findings());
  if (parsed != kResultOk) {
    const std::string why = parsed == kResultLayoutUnknown
                                ? "has no ZASSET or ZGENERICASSET table (layout not recognised)"
                                : "could not be read: " + ResultText(parsed);
    Report(&Findings(), {std::string(kPhotoLibraryKey), "database", "",
                         "Photos.sqlite " + why +
                             "; Camera Roll files are listed without what it knows of them"});
    if (read.assets.empty()) return walked;
  }
  ApplyPhotoLibrary(read, cameraRoll, &Findings());
  return walked;
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
  MediaSource media = Media();
  media.findings = &Findings();
  return kestrio::ScanAppFiles(media, progress_, source_->AppWalk(), appFiles,
                               whatsAppAttachments_);
}

Result ScanBackend::ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) {
  if (source_->AppWalk() == AppWalkKind::kLocalBackup || whatsAppWalked_) {
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
  Result parsed = kResultOk;
  bool present = false;
  whatsAppChats_.clear();
  for (const std::filesystem::path& database : source_->WhatsAppChatDatabases()) {
    if (Absent(database)) continue;
    present = true;
    WhatsAppConversationMap found;
    parsed = ExplainFailure(ParseWhatsApp(database, found, &Findings()), WhatsAppKeyOf(database),
                            "ChatStorage.sqlite", "message");
    for (auto& [session, messages] : found) {
      auto& into = whatsAppChats_[session];
      into.insert(into.end(), std::make_move_iterator(messages.begin()),
                  std::make_move_iterator(messages.end()));
    }
  }
  if (!present) Explain(kWhatsAppKey, "WhatsApp is not installed in this backup");
  // The messages learn which of WhatsApp's files they show, the files their chats. A backup
  // folder's app walk has set the files aside already; a device's WhatsApp walk runs here,
  // without progress of its own, and its category hands out what it found.
  if (present && source_->AppWalk() == AppWalkKind::kDeviceBackup &&
      source_->PrepareWalk() == kResultOk) {
    ProgressSink quiet = progress_;
    quiet.span = 0;
    whatsAppWalked_ =
        kestrio::ScanWhatsAppAttachments(Media(), quiet, whatsAppAttachments_) == kResultOk;
  }
  if (present && (source_->AppWalk() == AppWalkKind::kLocalBackup || whatsAppWalked_))
    TieWhatsAppMedia(whatsAppChats_, whatsAppAttachments_, &Findings());
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
    case SourceKind::kDevice: {
      BackupStoreFolders folders = store ? store->Folders() : BackupStoreFolders::Platform();
      auto temporary = folders.temporaryBackupFolder;
      auto backend = std::make_unique<ScanBackend>(
          std::make_unique<DeviceSource>(DeviceBackupSession::Instance(), std::move(folders)));
      backend->SetSpillFolder(std::move(temporary));
      return backend;
    }
    case SourceKind::kBackupFolder: {
      if (store == nullptr) return nullptr;
      auto backend = std::make_unique<ScanBackend>(std::make_unique<BackupFolderSource>(*store));
      // Large temporary data goes where the store puts a decrypted backup's files.
      backend->SetSpillFolder([store] { return store->TemporaryBackupFolder(); });
      return backend;
    }
  }
  return nullptr;
}

}  // namespace kestrio
