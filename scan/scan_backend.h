// The scan back-end interface: one source (a backup folder on this computer, or a connected
// device) turned into the item lists and maps the result page shows. The scan run calls the
// operations on one worker thread; the preview and the recovery run use the same back-end
// afterwards. The operations keep their fixed order; destroying the back-end is the last.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backup/media_files.h"
#include "base/file_copy.h"
#include "base/findings.h"
#include "base/result.h"
#include "parsers/calls.h"
#include "parsers/chat_apps.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/notes.h"
#include "parsers/whatsapp.h"

namespace kestrio {

class BackupStore;
using WeChatAccountMap = std::map<std::string, ChatAppConversationMap>;

// Called with a percent; answers 0 to go on, anything else (2: stop) to end the operation,
// which then returns that answer.
using ProgressFunction = std::function<Result(std::int32_t percent)>;

enum class SourceKind : std::int32_t { kDevice = 0, kBackupFolder = 1 };

class ScanBackend {
 public:
  virtual ~ScanBackend() = default;  // the last operation

  // What the operations skipped so far (unreadable pages, missing stored files, ...).
  FindingsList& Findings() const { return findings_; }

  virtual Result AttachStore(BackupStore* store) = 0;
  virtual Result SetProgressCallback(ProgressFunction progress) = 0;
  virtual Result ReservedOp(std::int32_t value) = 0;
  virtual bool IsBackupSource(std::int32_t value) const = 0;
  virtual Result Open(const std::string& password) = 0;
  virtual Result ScanMessages(ConversationMap& conversations) = 0;
  virtual Result ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments) = 0;
  virtual Result ScanContacts(std::vector<ContactRecord>& contacts) = 0;
  virtual Result ScanNotes(std::vector<NoteRecord>& notes) = 0;
  virtual Result ScanCallHistory(std::vector<CallRecord>& calls) = 0;
  virtual Result ScanPhotos(std::vector<FileRecord>& cameraRoll,
                            std::vector<FileRecord>& photoStream) = 0;
  virtual Result ScanWhatsAppAttachments(std::vector<FileRecord>& attachments) = 0;
  virtual Result ScanAppFiles(std::vector<AppFileRecord>& appFiles) = 0;
  virtual Result ScanQQ(ChatAppConversationMap& chats) = 0;
  virtual Result ScanWeChat(WeChatAccountMap& accounts) = 0;
  virtual Result ScanWhatsAppChats(WhatsAppConversationMap& chats) = 0;
  virtual Result ExtractPreview(const std::filesystem::path& storedPath, std::string& previewPath,
                                const ProgressFunction& progress) = 0;
  virtual Result CopyBackupFile(const std::filesystem::path& source,
                                const std::filesystem::path& destination,
                                const CopyProgress& progress) = 0;
  virtual Result WriteMessagesCsv(const std::filesystem::path& destination) = 0;
  virtual Result WriteContactsCsv(const std::filesystem::path& destination) = 0;
  virtual Result WriteWhatsAppChatText(std::int32_t sessionId, const std::filesystem::path& output,
                                       const std::string& contactName,
                                       const ProgressFunction& progress) = 0;
  virtual Result WriteQQChatText(const std::string& chatKey, const std::filesystem::path& output,
                                 const std::string& contactName,
                                 const ProgressFunction& progress) = 0;
  virtual Result WriteWeChatChatText(const std::string& chatKey,
                                     const std::filesystem::path& output,
                                     const std::string& contactName,
                                     const ProgressFunction& progress) = 0;

 private:
  // Filled from the worker thread, read by the owner; the list locks itself.
  mutable FindingsList findings_;
};

// Kind 0 gives the back-end over the connected device (the process's device session), working
// in the store's folders (the platform's without a store); kind 1 the back-end over the
// store's chosen backup folder, with the store attached; any other kind gives nothing.
std::unique_ptr<ScanBackend> CreateScanBackend(std::int32_t kind, BackupStore* store);

}  // namespace kestrio
