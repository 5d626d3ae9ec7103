// Text messages from the messages database (sms.db), read by column name.
//
// Every table is read through the CREATE statement the file itself holds, so any column order
// and any number of columns added by later versions read alike; a table whose statement cannot
// be read is read by the fixed 38-column layout of the oldest message/handle generation.
//
// Two families of layout:
//  - iOS 6 and later: message (text, attributedBody, handle_id, date, is_from_me, ...),
//    handle (the other party's number or address), chat with chat_handle_join (who is in a
//    chat) and chat_message_join (which chat a message is in), attachment with
//    message_attachment_join. iOS 16 adds date_edited/date_retracted to message and the
//    "Recently Deleted" tables chat_recoverable_message_join and recoverable_message_part.
//  - iOS 5: message holds the other party itself (address for SMS, madrid_handle for
//    iMessage), flags (SMS) or madrid_flags (iMessage) say who sent it, group_id names the
//    conversation (msg_group, whose people are in group_member) and madrid_attachment the
//    files. SMS rows count their date in seconds since 1970, iMessage rows (is_madrid = 1) in
//    seconds since 2001.
// Dates of the newer family are seconds since 2001-01-01, or nanoseconds since then from iOS 11
// on; the unit is decided per value.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/compact_text.h"
#include "base/result.h"
#include "parsers/parse_context.h"
#include "parsers/table_shapes.h"

namespace kestrio {

struct MessageRecord {
  bool deleted = false;       // carved from free space, or moved to "Recently Deleted" by the user
  bool isFromMe = false;      // sent by the device's owner
  bool edited = false;        // changed by its sender after it was sent; `text` is the last version
  bool unsent = false;        // taken back by its sender; `text` says so
  std::uint32_t rowId = 0;    // 0 for carved rows
  std::int32_t handleId = 0;  // iOS 5: the message's group_id
  // The key of the message's conversation in ConversationMap.
  std::int32_t conversationId = 0;
  DateText dateText;
  // The texts a conversation's messages repeat are shared by them (a large sms.db holds a
  // million messages and a few hundred people).
  SharedText address;      // the other party's number or e-mail address
  SharedText contactName;  // the address book's name for `address`
  // Everybody in the conversation, by name where the address book has one, in the chat's
  // order ("Ava Moreau, +15550109321"); empty when the message has no chat.
  SharedText conversation;
  std::string text;  // empty only when the message has attachments
  // Tapbacks the message received, in the order they were given: "Loved by Ava Moreau;
  // Liked by Me". A tapback taken back is not listed.
  SharedText reactions;
  std::vector<std::string> attachments;  // the files' paths as the database stores them
  SharedText attachmentPath;             // the first of `attachments`, or empty
};

struct HandleRecord {
  bool deleted = false;
  std::uint32_t rowId = 0;
  std::string address;
};

struct AttachmentRecord {
  bool deleted = false;
  std::uint32_t rowId = 0;
  std::uint32_t messageId = 0;  // filled by the join
  std::string fileName;
};

struct AttachmentLink {
  bool deleted = false;
  std::uint32_t attachmentId = 0;
  std::uint32_t messageId = 0;
};

// The conversations, each with its messages in date order. The key is the chat's ROWID (iOS 5:
// the group_id) for a message that names its chat; a message without one (a carved row, or a
// chat join that is gone) goes to the one-to-one chat of its handle, else to the key
// -handle_id (0 gathers the messages without a handle). A database without chats keys by
// handle_id.
using ConversationMap = std::map<std::int32_t, std::vector<MessageRecord>>;

// Record decoders of the fixed 38/51-column layout, one per table; each appends the record
// when it accepts it and answers kResultOk, or kResultInvalid when it rejects it. The parse
// itself reads by column name.
Result DecodeMessage(TableReader& reader, const RecordView& view, std::vector<MessageRecord>& out);
Result DecodeHandle(TableReader& reader, const RecordView& view, std::vector<HandleRecord>& out);
Result DecodeAttachment(TableReader& reader, const RecordView& view,
                        std::vector<AttachmentRecord>& out);
Result DecodeAttachmentLink(TableReader& reader, const RecordView& view,
                            std::vector<AttachmentLink>& out);

// Takes a parse's conversations one after another, in the order of their keys, each message
// in date order: a caller that writes them out never holds them all.
class ConversationSink {
 public:
  virtual ~ConversationSink() = default;
  // A conversation of `count` messages begins. `last` is its latest message without its text
  // and attachments (who the conversation is with); `anyDeleted` whether any of its messages
  // is a deleted one.
  virtual void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord& last,
                                 bool anyDeleted) = 0;
  virtual void Message(MessageRecord&& message) = 0;
  virtual void EndConversation() = 0;
};

// Reads every live and deleted message, joins handles, chats, attachments, tapbacks and
// contact names, and hands the messages to `sink` grouped into conversations. `highestRowId`
// receives the highest live rowid of the message table. An address book that cannot be read
// is a finding: the messages come without names. On any error or stop nothing reaches the
// sink. While the tables are read, the messages' texts wait in a temporary file in
// `context.spillFolder` (in memory when it is empty or has no room).
Result ParseMessages(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     ConversationSink& sink, const std::filesystem::path& messagesDbPath,
                     std::uint64_t& highestRowId);

// The same into `conversations`: a conversation that is there already gets the new messages
// after its own. On any error or stop `conversations` is left unchanged.
Result ParseMessages(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     ConversationMap& conversations, const std::filesystem::path& messagesDbPath,
                     std::uint64_t& highestRowId);

// Appends every row of the message table, live and deleted, as a line of comma-separated
// SQL-style values to `outputFile`. The 38- and 51-column tables use the columns' fixed
// places; other layouts find guid, text, attributedBody, account_guid, date, date_read,
// is_finished, is_from_me and is_read by name. Rows without a rowid are numbered on from
// `highestRowId`, and deleted rows get a fresh guid and are marked for re-import.
// `appleNow` is the time written into deleted rows (seconds since 2001; default: now).
Result DumpMessageRows(const std::filesystem::path& messagesDbPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       std::optional<std::int64_t> appleNow = std::nullopt);

}  // namespace kestrio
