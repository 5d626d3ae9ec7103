// The scan back-end: one source (a backup folder on this computer, or a connected device)
// turned into the item lists and maps the result page shows. The scan run calls the
// operations on one worker thread; the preview and the recovery run use the same back-end
// afterwards. The operations keep their fixed order: Open first, destroying the back-end last.
// Every operation runs the same way for both sources; the source decides only how the backup
// folder comes to exist and where the operations read from (scan/scan_source.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
#include "scan/scan_source.h"

namespace kestrio {

class BackupStore;

// Why a category came back empty or failed, in words a user can act on: the file that was
// looked for, named as the backup names it (domain "-" path), and what became of it.
struct CategoryExplanation {
  std::string file;    // "HomeDomain-Library/CallHistoryDB/CallHistory.storedata"
  std::string reason;  // "no call history in this backup"
  bool operator==(const CategoryExplanation&) const = default;
};

// WeChat chats per account ("User1", "User2", ... one per MM.sqlite of the backup).
using WeChatAccountMap = std::map<std::string, ChatAppConversationMap>;

// Called with a percent; answers 0 to go on, anything else (2: stop) to end the operation,
// which then returns that answer.
using ProgressFunction = std::function<Result(std::int32_t percent)>;

class ScanBackend {
 public:
  explicit ScanBackend(std::unique_ptr<ScanSource> source);
  // The last operation; the source removes what it made.
  virtual ~ScanBackend();
  ScanBackend(const ScanBackend&) = delete;
  ScanBackend& operator=(const ScanBackend&) = delete;

  // What the operations skipped so far (unreadable pages, missing stored files, ...).
  FindingsList& Findings() const { return findings_; }
  // Why the last database operation found nothing or failed, once: a database that is not in
  // the backup (the operation then succeeds with nothing), or one that is there but could not
  // be read (the operation's result says it failed). Cleared by taking it.
  std::optional<CategoryExplanation> TakeExplanation();

  // Where the parses keep what they read from a large database on disk until they want it
  // (see ParseContext::spillFolder), asked when a parse starts; unset or empty: in memory.
  void SetSpillFolder(std::function<std::filesystem::path()> folder);
  std::filesystem::path SpillFolder() const;
  // The messages go to `sink` as they are made instead of into ScanMessages' map, which then
  // stays empty: for a caller that writes them out and needs them no longer. Null: into the
  // map.
  void SendMessagesTo(ConversationSink* sink) { messageSink_ = sink; }

  // The operations are virtual so that a test can stand a scripted back-end in for the scan
  // run.
  virtual Result SetProgressCallback(ProgressFunction progress);
  // Which source the back-end reads.
  virtual SourceKind Kind() const;
  // Empties what an earlier Open scanned, then lets the source make the backup folder ready;
  // the source's result.
  virtual Result Open(const std::string& password);
  // The database operations add half the step to the progress base and report it afterwards.
  virtual Result ScanMessages(ConversationMap& conversations);
  virtual Result ScanContacts(std::vector<ContactRecord>& contacts);
  virtual Result ScanNotes(std::vector<NoteRecord>& notes);
  virtual Result ScanCallHistory(std::vector<CallRecord>& calls);
  // The media walks: the source's PrepareWalk failing gives its result and empty lists.
  virtual Result ScanMessageAttachments(std::vector<AttachmentFileRecord>& attachments);
  virtual Result ScanPhotos(std::vector<FileRecord>& cameraRoll,
                            std::vector<FileRecord>& photoStream);
  virtual Result ScanAppFiles(std::vector<AppFileRecord>& appFiles);
  // What the app walk set aside, or the WhatsApp walk of its own (see ScanSource::AppWalk).
  virtual Result ScanWhatsAppAttachments(std::vector<FileRecord>& attachments);
  // Without an index to walk the chat scans find nothing and report why.
  virtual Result ScanQQ(ChatAppConversationMap& chats);
  virtual Result ScanWeChat(WeChatAccountMap& accounts);
  virtual Result ScanWhatsAppChats(WhatsAppConversationMap& chats);
  virtual Result ExtractPreview(const std::filesystem::path& storedPath, std::string& previewPath,
                                const ProgressFunction& progress);
  virtual Result CopyBackupFile(const std::filesystem::path& source,
                                const std::filesystem::path& destination,
                                const CopyProgress& progress);
  virtual Result WriteMessagesCsv(const std::filesystem::path& destination);
  virtual Result WriteContactsCsv(const std::filesystem::path& destination);
  virtual Result WriteWhatsAppChatText(std::int32_t sessionId, const std::filesystem::path& output,
                                       const std::string& contactName,
                                       const ProgressFunction& progress);
  virtual Result WriteQQChatText(const std::string& chatKey, const std::filesystem::path& output,
                                 const std::string& contactName, const ProgressFunction& progress);
  virtual Result WriteWeChatChatText(const std::string& chatKey,
                                     const std::filesystem::path& output,
                                     const std::string& contactName,
                                     const ProgressFunction& progress);

 protected:
  // For a scripted stand-in that replaces every operation: it has no source.
  ScanBackend() = default;

 private:
  ParseContext Context() const;
  // Records why the operation on `database` (named by `key`) ended as it did, and reports it
  // as a finding too.
  void Explain(std::string_view key, std::string reason);
  // After a parse of a database that is there: a failure other than a stop gets its
  // explanation; the parse's result is passed on.
  Result ExplainFailure(Result parsed, std::string_view key, std::string_view name,
                        std::string_view tables);
  MediaSource Media() const { return source_->Backup().Media(); }

  std::unique_ptr<ScanSource> source_;
  std::function<std::filesystem::path()> spillFolder_;
  ConversationSink* messageSink_ = nullptr;
  ProgressSink progress_;  // the callback, the progress base and the step (its span)
  // What the scans found, for the row dumps and chat text exports afterwards.
  ChatAppConversationMap qqChats_;
  WeChatAccountMap weChatChats_;
  WhatsAppConversationMap whatsAppChats_;
  std::vector<FileRecord> whatsAppAttachments_;  // set aside by the app walk
  bool whatsAppWalked_ = false;                  // a device's WhatsApp walk ran with the chats
  // Filled from the worker thread, read by the owner; the list locks itself.
  mutable FindingsList findings_;
  std::optional<CategoryExplanation> explanation_;  // written and taken on the worker thread
};

// kDevice gives the back-end over the connected device (the process's device session),
// working in the store's folders (the platform's without a store); kBackupFolder the back-end
// over the store's chosen backup folder (nothing without a store); any other value gives
// nothing.
std::unique_ptr<ScanBackend> CreateScanBackend(SourceKind kind, BackupStore* store);

}  // namespace kestrio
