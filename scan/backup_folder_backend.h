// The back-end over a backup folder on this computer: a thin object over the backup store,
// which it does not own.
#pragma once

#include "backup/backup_store.h"
#include "scan/scan_backend.h"

namespace kestrio {

class BackupFolderBackend final : public ScanBackend {
 public:
  Result AttachStore(BackupStore* store) override;
  Result SetProgressCallback(ProgressFunction progress) override;
  Result ReservedOp(std::int32_t) override { return kResultOk; }
  bool IsBackupSource(std::int32_t) const override { return true; }
  // Reads the backup's index, an encrypted backup after running the decryption program on it
  // (its output folder becomes the current folder). 87 when the index file is missing or the
  // decryption program cannot run; -110 for a wrong password; 6009, 1006 or SQLite's open
  // result from the index readers; the progress callback's non-zero answer.
  Result Open(const std::string& password) override;
  Result ScanMessages(ConversationMap& conversations) override;
  Result ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments) override;
  Result ScanContacts(std::vector<ContactRecord>& contacts) override;
  Result ScanNotes(std::vector<NoteRecord>& notes) override;
  Result ScanCallHistory(std::vector<CallRecord>& calls) override;
  Result ScanPhotos(std::vector<FileRecord>& cameraRoll,
                    std::vector<FileRecord>& photoStream) override;
  Result ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) override;
  Result ScanAppFiles(std::vector<AppFileRecord>& appFiles) override;
  Result ScanQQ(ChatAppConversationMap& chats) override;
  Result ScanWeChat(WeChatAccountMap& accounts) override;
  Result ScanWhatsAppChats(WhatsAppConversationMap& chats) override;
  Result ExtractPreview(const std::filesystem::path& storedPath, std::string& previewPath,
                        const ProgressFunction& progress) override;
  Result CopyBackupFile(const std::filesystem::path& source,
                        const std::filesystem::path& destination,
                        const CopyProgress& progress) override;
  Result WriteMessagesCsv(const std::filesystem::path& destination) override;
  Result WriteContactsCsv(const std::filesystem::path& destination) override;
  Result WriteWhatsAppChatText(std::int32_t sessionId, const std::filesystem::path& output,
                               const std::string& contactName,
                               const ProgressFunction& progress) override;
  Result WriteQQChatText(const std::string& chatKey, const std::filesystem::path& output,
                         const std::string& contactName, const ProgressFunction& progress) override;
  Result WriteWeChatChatText(const std::string& chatKey, const std::filesystem::path& output,
                             const std::string& contactName,
                             const ProgressFunction& progress) override;

 private:
  ParseContext Context() const;
  // Adds step / 2 to the progress base after a database parse and reports it; the parse's
  // result unless it was stopped or the report answers non-zero.
  Result AfterDatabase(Result parsed);

  BackupStore* store_ = nullptr;
};

}  // namespace kestrio
