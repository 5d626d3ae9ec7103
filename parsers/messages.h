// Text messages from the messages database (sms.db).
//
// Tables and the columns read (counted from 0 in schema order):
//   message                  2 text (body), 5 handle_id, 15 date, 21 is_from_me;
//                            38 columns in older databases, 51 in newer ones
//   handle                   1 id (the other party's number or address)
//   attachment               4 filename
//   message_attachment_join  0 message_id, 1 attachment_id
// Dates are seconds since 2001-01-01 when stored in 1 to 4 bytes and nanoseconds since then
// when stored in 8 bytes (iOS 11 and later).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "parsers/parse_context.h"
#include "parsers/table_shapes.h"

namespace kestrio {

struct MessageRecord {
  bool deleted = false;
  bool isFromMe = false;    // sent by the device's owner
  std::uint32_t rowId = 0;  // 0 for carved rows
  std::int32_t handleId = 0;
  std::string dateText;
  std::string address;      // the handle's id
  std::string contactName;  // the first contact whose phone text contains the address
  std::string text;         // never empty
  std::string attachmentPath;
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

// handleId -> the conversation's messages in date order; handle 0 gathers the rest.
using ConversationMap = std::map<std::int32_t, std::vector<MessageRecord>>;

// Record decoders, one per table; each appends the record when it accepts it and answers
// kResultOk, or kResultInvalid when it rejects it.
Result DecodeMessage(TableReader& reader, const RecordView& view, std::vector<MessageRecord>& out);
Result DecodeHandle(TableReader& reader, const RecordView& view, std::vector<HandleRecord>& out);
Result DecodeAttachment(TableReader& reader, const RecordView& view,
                        std::vector<AttachmentRecord>& out);
Result DecodeAttachmentLink(TableReader& reader, const RecordView& view,
                            std::vector<AttachmentLink>& out);

// Reads every live and deleted message, joins handles, attachments and contact names, and
// groups the messages into conversations. `highestRowId` receives the highest live rowid of
// the message table. On any error or stop `conversations` is left unchanged.
Result ParseMessages(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     ConversationMap& conversations, const std::filesystem::path& messagesDbPath,
                     std::uint64_t& highestRowId);

// Appends every row of the message table, live and deleted, as a line of comma-separated
// SQL-style values to `outputFile`. Rows without a rowid are numbered on from
// `highestRowId`, and deleted rows get a fresh guid and are marked for re-import.
// `appleNow` is the time written into deleted rows (seconds since 2001; default: now).
Result DumpMessageRows(const std::filesystem::path& messagesDbPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       std::optional<std::int64_t> appleNow = std::nullopt);

}  // namespace kestrio
