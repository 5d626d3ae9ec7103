#include "scan/backup_folder_backend.h"

#include "backup/decryption.h"
#include "scan/chat_text.h"
#include "scan/index_scans.h"

namespace kestrio {
namespace {

constexpr std::int32_t kOpenStep = 11;
constexpr std::int32_t kDecryptStep = 10;

bool FileExists(const std::filesystem::path& path) {
  std::error_code ignored;
  return !path.empty() && std::filesystem::is_regular_file(path, ignored);
}

}  // namespace

Result BackupFolderBackend::AttachStore(BackupStore* store) {
  store_ = store;
  return kResultOk;
}

Result BackupFolderBackend::SetProgressCallback(ProgressFunction progress) {
  if (store_ == nullptr) return kResultInvalid;
  store_->progress.callback = std::move(progress);
  return kResultOk;
}

Result BackupFolderBackend::Open(const std::string& password) {
  if (store_ == nullptr) return kResultInvalid;
  BackupStore& store = *store_;
  ProgressSink& progress = store.progress;
  progress.base = 0;
  progress.span = kOpenStep;
  if (const Result answer = progress.Report(0); answer != kResultOk) return answer;
  store.messages.clear();
  store.RemoveTemporaryFiles();  // empties the decrypted-files list
  store.backupList.clear();
  store.manifestEntries.clear();
  store.decrypted = false;

  const std::filesystem::path folder = store.currentFolder;
  store.newLayout = FileExists(folder / "Manifest.db");
  std::filesystem::path output;
  if (store.chosenBackup.encrypted) {
    progress.span = kDecryptStep;
    output = store.DecryptionOutputFolder();
    if (output.empty()) return kResultInvalid;  // no file system with room for it
    const DecryptionSetup setup{store.ProgramFolder(), store.workFolder, output};
    if (const Result decrypted = RunDecryption(password, folder, setup, progress);
        decrypted != kResultOk)
      return decrypted;
    store.decryptedFiles = FolderFiles(output);
  } else {
    progress.base = 1;
    if (const Result answer = progress.Report(1); answer != kResultOk) return answer;
  }

  Result indexed = kResultInvalid;
  if (store.newLayout) {
    const std::filesystem::path decryptedIndex = folder / "Manifest.db-decypted";
    if (FileExists(decryptedIndex)) {
      indexed = ReadManifestDb(decryptedIndex, store.manifestEntries);
    } else if (FileExists(folder / "Manifest.db")) {
      indexed = ReadManifestDb(folder / "Manifest.db", store.manifestEntries);
    }
  } else if (FileExists(folder / "Manifest.mbdb")) {
    indexed = ReadManifestMbdb(folder / "Manifest.mbdb", store.manifestEntries);
  }
  if (!output.empty()) {
    // The deciphered files are read from here on, flat.
    store.chosenBackup.folder = output;
    store.currentFolder = output;
    store.decrypted = true;
  }
  progress.base += progress.span;
  if (const Result answer = progress.Report(progress.base); answer != kResultOk) return answer;
  return indexed;
}

ParseContext BackupFolderBackend::Context() const {
  ParseContext context;
  context.newLayout = store_->newLayout;
  context.progress = store_->progress;
  context.findings = &Findings();
  return context;
}

Result BackupFolderBackend::AfterDatabase(Result parsed) {
  return store_->progress.AfterDatabase(parsed);
}

Result BackupFolderBackend::ScanMessages(ConversationMap& conversations) {
  if (store_ == nullptr) return kResultInvalid;
  std::uint64_t highest = 0;
  const Result parsed = ParseMessages(Context(), store_->StoredFile(kAddressBookName),
                                      store_->messages, store_->StoredFile(kSmsDbName), highest);
  if (parsed == kResultOk) store_->messageRowIdBase = highest;
  conversations = store_->messages;
  return AfterDatabase(parsed);
}

Result BackupFolderBackend::ScanContacts(std::vector<ContactRecord>& contacts) {
  if (store_ == nullptr) return kResultInvalid;
  std::uint64_t highest = 0;
  const Result parsed =
      ParseContacts(Context(), store_->StoredFile(kAddressBookName), contacts, highest);
  if (parsed == kResultOk) store_->contactRowIdBase = highest;
  return AfterDatabase(parsed);
}

Result BackupFolderBackend::ScanNotes(std::vector<NoteRecord>& notes) {
  if (store_ == nullptr) return kResultInvalid;
  return AfterDatabase(ParseNotes(store_->StoredFile(kNotesName), notes));
}

Result BackupFolderBackend::ScanCallHistory(std::vector<CallRecord>& calls) {
  if (store_ == nullptr) return kResultInvalid;
  std::filesystem::path callDb = store_->StoredFile(kCallHistoryStoreName);
  if (!FileExists(callDb)) callDb = store_->StoredFile(kCallHistoryDbName);
  return AfterDatabase(
      ParseCallHistory(store_->StoredFile(kAddressBookName), calls, store_->newLayout, callDb));
}

Result BackupFolderBackend::ScanPhotos(std::vector<FileRecord>& cameraRoll,
                                       std::vector<FileRecord>& photoStream) {
  if (store_ == nullptr) return kResultInvalid;
  return kestrio::ScanPhotos(store_->Media(), store_->progress, cameraRoll, photoStream);
}

Result BackupFolderBackend::ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments) {
  if (store_ == nullptr) return kResultInvalid;
  return kestrio::ScanMessageAttachments(store_->Media(), store_->progress, attachments);
}

Result BackupFolderBackend::ScanAppFiles(std::vector<AppFileRecord>& appFiles) {
  if (store_ == nullptr) return kResultInvalid;
  return kestrio::ScanAppFiles(store_->Media(), store_->progress, AppWalkKind::kLocalBackup,
                               appFiles, store_->whatsAppAttachments);
}

Result BackupFolderBackend::ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) {
  if (store_ == nullptr) return kResultInvalid;
  attachments = store_->whatsAppAttachments;
  return store_->progress.Advance(store_->progress.span);
}

Result BackupFolderBackend::ScanWhatsAppChats(WhatsAppConversationMap& chats) {
  if (store_ == nullptr) return kResultInvalid;
  // The chat database and the contacts database sit side by side; the walk ends once both
  // have been seen.
  Result parsed = kResultInvalid;
  std::size_t seen = 0;
  store_->whatsAppChats.clear();
  for (const ManifestEntry& entry : store_->manifestEntries) {
    if (seen >= 2) break;
    const bool chats = entry.key.find("ChatStorage.sqlite") != std::string::npos;
    if (!chats && entry.key.find("Contacts.sqlite") == std::string::npos) continue;
    ++seen;
    if (!chats) continue;
    WhatsAppConversationMap found;
    parsed = ParseWhatsApp(store_->StoredFile(entry.storedName), found);
    for (auto& [session, messages] : found) {
      auto& into = store_->whatsAppChats[session];
      into.insert(into.end(), std::make_move_iterator(messages.begin()),
                  std::make_move_iterator(messages.end()));
    }
  }
  chats = store_->whatsAppChats;
  if (const Result answer = store_->progress.Advance(store_->progress.span); answer != kResultOk)
    return answer;
  return parsed;
}

Result BackupFolderBackend::ScanQQ(ChatAppConversationMap& chats) {
  if (store_ == nullptr) return kResultInvalid;
  const Result parsed = ScanQQInIndex(store_->Media(), store_->qqChats);
  chats = store_->qqChats;
  return parsed;
}

Result BackupFolderBackend::ScanWeChat(WeChatAccountMap& accounts) {
  if (store_ == nullptr) return kResultInvalid;
  const Result parsed = ScanWeChatInIndex(store_->Media(), store_->weChatChats);
  accounts = store_->weChatChats;
  return parsed;
}

Result BackupFolderBackend::ExtractPreview(const std::filesystem::path& storedPath,
                                           std::string& previewPath,
                                           const ProgressFunction& progress) {
  if (store_ == nullptr) return kResultInvalid;
  return kestrio::ExtractPreview(storedPath, store_->workFolder, previewPath, progress);
}

Result BackupFolderBackend::CopyBackupFile(const std::filesystem::path& source,
                                           const std::filesystem::path& destination,
                                           const CopyProgress& progress) {
  return kestrio::CopyBackupFile(source, destination, progress);
}

Result BackupFolderBackend::WriteMessagesCsv(const std::filesystem::path& destination) {
  if (store_ == nullptr) return kResultInvalid;
  return DumpMessageRows(store_->StoredFile(kSmsDbName), destination, store_->messageRowIdBase);
}

Result BackupFolderBackend::WriteContactsCsv(const std::filesystem::path& destination) {
  if (store_ == nullptr) return kResultInvalid;
  return DumpContactRows(store_->StoredFile(kAddressBookName), destination,
                         store_->contactRowIdBase, store_->newLayout);
}

Result BackupFolderBackend::WriteWhatsAppChatText(std::int32_t sessionId,
                                                  const std::filesystem::path& output,
                                                  const std::string& /*contactName*/,
                                                  const ProgressFunction& progress) {
  if (store_ == nullptr) return kResultInvalid;
  return kestrio::WriteWhatsAppChatText(store_->whatsAppChats, sessionId, output, progress);
}

Result BackupFolderBackend::WriteQQChatText(const std::string& chatKey,
                                            const std::filesystem::path& output,
                                            const std::string& contactName,
                                            const ProgressFunction& progress) {
  if (store_ == nullptr) return kResultInvalid;
  return WriteChatAppText(store_->qqChats, chatKey, output, contactName, progress);
}

Result BackupFolderBackend::WriteWeChatChatText(const std::string& chatKey,
                                                const std::filesystem::path& output,
                                                const std::string& contactName,
                                                const ProgressFunction& progress) {
  if (store_ == nullptr) return kResultInvalid;
  return WriteChatAppText(store_->weChatChats, chatKey, output, contactName, progress);
}

}  // namespace kestrio
