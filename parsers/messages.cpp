#include "parsers/messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "base/text.h"
#include "base/time_text.h"
#include "parsers/contacts.h"
#include "parsers/decoder_support.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

constexpr std::uint32_t kGuidColumn = 1;
constexpr std::uint32_t kTextColumn = 2;
constexpr std::uint32_t kHandleColumn = 5;
constexpr std::uint32_t kAttributedBodyColumn = 8;
constexpr std::uint32_t kAccountGuidColumn = 13;
constexpr std::uint32_t kDateColumn = 15;
constexpr std::uint32_t kDateReadColumn = 16;
constexpr std::uint32_t kIsFinishedColumn = 19;
constexpr std::uint32_t kIsFromMeColumn = 21;
constexpr std::uint32_t kIsReadColumn = 26;

constexpr std::uint32_t kOlderMessageColumns = 38;
constexpr std::uint32_t kNewerMessageColumns = 51;

constexpr std::uint32_t kHandleAddressColumn = 1;
constexpr std::uint32_t kAttachmentFileColumn = 4;
constexpr std::uint32_t kLinkMessageColumn = 0;
constexpr std::uint32_t kLinkAttachmentColumn = 1;

// Deleted rows written back by the row dump get a guid of this prefix and the row's new
// rowid as 12 hexadecimal digits.
constexpr const char* kDumpGuidPrefix = "27B99F78-F6F0-475F-8BA1-";
constexpr std::size_t kGuidLength = 36;
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// A live message row teaches the reader which table layout it reads, and the highest rowid.
void LearnFromLiveMessage(TableReader& reader, const DecodedRecord& record) {
  LearnedLayout& learned = reader.Learned();
  learned.messageColumnCount =
      record.headerSize < kNewerMessageColumns ? kOlderMessageColumns : kNewerMessageColumns;
  learned.highestMessageRowId = std::max(learned.highestMessageRowId, record.rowId);
}

// Splits a message row; a live row first teaches the reader the table's layout (before the
// row is judged, as the carving tests of later pages need it) and the highest rowid.
Result DecodeMessageRecord(TableReader& reader, const RecordView& view, DecodedRecord& record) {
  if (view.carved) {
    return DecodeRecord(reader.Sqlite(), view,
                        CarvedRun{reader.TableColumnCount("message"), std::nullopt}, record);
  }
  if (DecodeRecord(reader.Sqlite(), view, {}, record) != kResultOk) return kResultInvalid;
  LearnFromLiveMessage(reader, record);
  return kResultOk;
}

// Column 15: seconds since 2001 in 1 to 4 bytes, nanoseconds in 8.
std::string MessageDate(const RecordColumn* column) {
  if (column == nullptr) return {};
  const std::uint64_t t = column->serialType;
  if (t >= 1 && t <= 4) return AppleTimeText(*column->Integer());
  if (t == 6) return AppleTimeText(*column->Integer() / kNanosecondsPerSecond);
  return {};
}

std::uint32_t RowId32(const RecordView& view, const DecodedRecord& record) {
  return view.carved ? 0 : static_cast<std::uint32_t>(record.rowId);
}

}  // namespace

Result DecodeMessage(TableReader& reader, const RecordView& view, std::vector<MessageRecord>& out) {
  DecodedRecord record;
  if (DecodeMessageRecord(reader, view, record) != kResultOk) return kResultInvalid;
  MessageRecord message;
  if (!StrictText(record.Column(kTextColumn), message.text)) return kResultInvalid;
  if (message.text.empty()) return kResultInvalid;
  message.deleted = view.deleted;
  message.rowId = RowId32(view, record);
  message.handleId = static_cast<std::int32_t>(IntegerOr0(record.Column(kHandleColumn)));
  message.dateText = MessageDate(record.Column(kDateColumn));
  const RecordColumn* fromMe = record.Column(kIsFromMeColumn);
  message.isFromMe = fromMe != nullptr && fromMe->serialType == 9;
  out.push_back(std::move(message));
  return kResultOk;
}

Result DecodeHandle(TableReader& reader, const RecordView& view, std::vector<HandleRecord>& out) {
  DecodedRecord record;
  if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
  HandleRecord handle;
  if (!LenientText(record.Column(kHandleAddressColumn), handle.address)) return kResultInvalid;
  if (handle.address.empty()) return kResultInvalid;
  handle.deleted = view.deleted;
  handle.rowId = RowId32(view, record);
  out.push_back(std::move(handle));
  return kResultOk;
}

Result DecodeAttachment(TableReader& reader, const RecordView& view,
                        std::vector<AttachmentRecord>& out) {
  DecodedRecord record;
  if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
  AttachmentRecord attachment;
  if (!LenientText(record.Column(kAttachmentFileColumn), attachment.fileName))
    return kResultInvalid;
  if (attachment.fileName.empty()) return kResultInvalid;
  attachment.deleted = view.deleted;
  attachment.rowId = RowId32(view, record);
  out.push_back(std::move(attachment));
  return kResultOk;
}

Result DecodeAttachmentLink(TableReader& reader, const RecordView& view,
                            std::vector<AttachmentLink>& out) {
  DecodedRecord record;
  if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
  AttachmentLink link;
  link.deleted = view.deleted;
  link.messageId = static_cast<std::uint32_t>(IntegerOr0(record.Column(kLinkMessageColumn)));
  link.attachmentId = static_cast<std::uint32_t>(IntegerOr0(record.Column(kLinkAttachmentColumn)));
  out.push_back(link);
  return kResultOk;
}

namespace {

// Scans one table with a decoder that appends to `out`.
template <typename Record, typename Decode>
void ScanWith(TableReader& reader, std::string_view table, Decode decode,
              std::vector<Record>& out) {
  reader.ScanTable(table, [&](const RecordView& view) { return decode(reader, view, out); });
}

void JoinMessages(std::vector<MessageRecord>& messages, const std::vector<HandleRecord>& handles,
                  std::vector<AttachmentRecord>& attachments,
                  const std::vector<AttachmentLink>& links,
                  const std::vector<ContactRecord>& contacts) {
  // Each attachment takes the message of the first link that names it.
  std::unordered_map<std::uint32_t, std::uint32_t> messageOfAttachment;
  for (const AttachmentLink& link : links)
    messageOfAttachment.try_emplace(link.attachmentId, link.messageId);
  for (AttachmentRecord& attachment : attachments) {
    auto it = messageOfAttachment.find(attachment.rowId);
    if (it != messageOfAttachment.end()) attachment.messageId = it->second;
  }

  // First match wins everywhere. Carved handles and attachments have rowid 0 and carved
  // messages rowid 0: those never match.
  std::unordered_map<std::int64_t, const std::string*> addressOfHandle;
  for (const HandleRecord& handle : handles) {
    if (handle.rowId != 0) addressOfHandle.try_emplace(handle.rowId, &handle.address);
  }
  std::unordered_map<std::uint32_t, const std::string*> fileOfMessage;
  for (const AttachmentRecord& attachment : attachments) {
    if (attachment.messageId != 0)
      fileOfMessage.try_emplace(attachment.messageId, &attachment.fileName);
  }
  std::unordered_map<std::string, std::string> nameOfAddress;
  for (MessageRecord& message : messages) {
    if (auto it = addressOfHandle.find(message.handleId); it != addressOfHandle.end())
      message.address = *it->second;
    if (!message.address.empty()) {
      auto [it, fresh] = nameOfAddress.try_emplace(message.address);
      if (fresh) {
        for (const ContactRecord& contact : contacts) {
          if (contact.phones.find(message.address) != std::string::npos) {
            it->second = contact.fullName;
            break;
          }
        }
      }
      message.contactName = it->second;
    }
    if (message.rowId != 0) {
      if (auto it = fileOfMessage.find(message.rowId); it != fileOfMessage.end())
        message.attachmentPath = *it->second;
    }
  }
}

// A page freed when SQLite rebalanced the table keeps the cells it had, and some of them
// were moved to a live page, not deleted. Such a row has its rowid and the same body and date
// as the live row: it is not listed again as a deleted message.
void DropCopiesOfLiveRows(std::vector<MessageRecord>& messages) {
  std::unordered_map<std::uint32_t, std::size_t> liveByRowId;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (!messages[i].deleted) liveByRowId.try_emplace(messages[i].rowId, i);
  }
  std::vector<bool> copy(messages.size(), false);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const MessageRecord& m = messages[i];
    if (!m.deleted || m.rowId == 0) continue;
    auto it = liveByRowId.find(m.rowId);
    copy[i] = it != liveByRowId.end() && messages[it->second].text == m.text &&
              messages[it->second].dateText == m.dateText;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (copy[i]) continue;
    if (kept != i) messages[kept] = std::move(messages[i]);
    ++kept;
  }
  messages.resize(kept);
}

}  // namespace

Result ParseMessages(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     ConversationMap& conversations, const std::filesystem::path& messagesDbPath,
                     std::uint64_t& highestRowId) {
  TableReader reader(context.findings);
  Result result = reader.OpenDatabase(messagesDbPath, "sms.db");
  if (result != kResultOk) return result;

  // A failed page read ends one table's scan; the parse goes on with what was read.
  std::vector<MessageRecord> messages;
  ScanWith(reader, "message", DecodeMessage, messages);
  if ((result = context.progress.ReportShare(5)) != kResultOk) return result;
  highestRowId = reader.Learned().highestMessageRowId;

  std::vector<HandleRecord> handles;
  ScanWith(reader, "handle", DecodeHandle, handles);
  if ((result = context.progress.ReportShare(4)) != kResultOk) return result;

  std::vector<AttachmentRecord> attachments;
  ScanWith(reader, "attachment", DecodeAttachment, attachments);
  if ((result = context.progress.ReportShare(3)) != kResultOk) return result;

  std::vector<AttachmentLink> links;
  ScanWith(reader, "message_attachment_join", DecodeAttachmentLink, links);
  if ((result = context.progress.ReportShare(2)) != kResultOk) return result;

  reader.Learned().newLayout = context.newLayout;
  if ((result = reader.OpenDatabase(addressBookPath, kAddressBookLabel)) != kResultOk)
    return result;
  std::vector<ContactRecord> contacts;
  ReadContactRows(reader, contacts);
  if ((result = context.progress.ReportShare(1)) != kResultOk) return result;

  DropCopiesOfLiveRows(messages);
  JoinMessages(messages, handles, attachments, links, contacts);
  ConversationMap grouped;
  for (std::uint32_t i : DateOrder(messages)) {
    grouped[messages[i].handleId].push_back(std::move(messages[i]));
  }
  for (auto& [handle, list] : grouped) {
    auto& target = conversations[handle];
    target.insert(target.end(), std::make_move_iterator(list.begin()),
                  std::make_move_iterator(list.end()));
  }
  return context.progress.ReportShare(1);
}

namespace {

// One row of the message dump, the values of its columns in column order:
//   rowid           the row's own, or the next number after the highest rowid
//   NULL, ""        NULL
//   integers        decimal; the constants 0 and 1 without a comma in the last column
//   column 8        attributedBody as lowercase hexadecimal
//   other texts     quoted, with ' and " doubled
// A deleted row gets a new guid in column 1, is_finished 1, date and date_read of now
// (date_read 0 when it was sent by the owner) and is_read 1 unless sent by the owner.
Result DumpMessageRow(TableReader& reader, const RecordView& view, std::int64_t appleNow,
                      std::string& line) {
  DecodedRecord record;
  if (DecodeMessageRecord(reader, view, record) != kResultOk) return kResultInvalid;
  if (record.columns.empty()) return kResultInvalid;
  LearnedLayout& learned = reader.Learned();
  std::uint64_t rowId = view.carved ? 0 : record.rowId;
  if (rowId == 0) rowId = ++learned.highestMessageRowId;

  const std::uint32_t end = record.EndColumn();
  const std::uint32_t last = end - 1;
  std::vector<std::string> entries(end);
  std::vector<std::uint8_t>& scratch = reader.Sqlite().Scratch();
  // Column 0 is the rowid alias (stored as NULL); a carved run that lost it still gets it.
  entries[0] = std::to_string(rowId) + ",";
  for (std::uint32_t c = record.firstColumn; c < end; ++c) {
    const RecordColumn& column = *record.Column(c);
    const std::uint64_t t = column.serialType;
    std::string& entry = entries[c];
    if (c == 0 && t == 0) continue;
    entry.clear();
    if (t == 0 || t == 13) {
      entry = "NULL,";
    } else if (t == 8 || t == 9) {
      entry.assign(1, t == 9 ? '1' : '0');
      if (c != last) entry += ",";
    } else if (t <= 7) {
      entry = NumberText(column) + ",";
    } else if (t == 12 || t >= 14) {
      // One value at a time passes through the reader's scratch buffer.
      if (column.value.size() > scratch.size()) return kResultInvalid;
      std::copy(column.value.begin(), column.value.end(), scratch.begin());
      const Bytes value(scratch.data(), column.value.size());
      if (c == kTextColumn && !IsCleanUtf8(AsText(value))) return kResultInvalid;
      if (c == kAttributedBodyColumn) {
        AppendHex(entry, value);
      } else {
        AppendQuoted(entry, AsText(value));
      }
      entry += ",";
    }
  }

  if (view.deleted) {
    char guid[64];
    std::snprintf(guid, sizeof guid, "\"%s%012llX\",", kDumpGuidPrefix,
                  static_cast<unsigned long long>(rowId));
    if (kGuidColumn < end) entries[kGuidColumn] = guid;
    // A deleted row must still carry its 36-character account guid.
    const RecordColumn* account = record.Column(kAccountGuidColumn);
    if (account == nullptr || account->value.size() != kGuidLength) return kResultInvalid;
    for (std::uint8_t b : account->value) {
      if (b < 0x2D || b > 0x7A) return kResultInvalid;
    }
  }
  entries[last] += "\r\n";
  if (view.deleted) {
    const bool fromMe = IntegerOr0(record.Column(kIsFromMeColumn)) == 1;
    const std::string now = std::to_string(appleNow) + ",";
    // Only columns before the last are rewritten, so the line end stays in place.
    const auto set = [&](std::uint32_t c, const std::string& value) {
      if (c < last) entries[c] = value;
    };
    set(kIsFinishedColumn, "1,");
    set(kDateColumn, now);
    set(kDateReadColumn, fromMe ? "0," : now);
    set(kIsReadColumn, fromMe ? "0," : "1,");
  }
  line.clear();
  for (const std::string& entry : entries) line += entry;
  return kResultOk;
}

}  // namespace

Result DumpMessageRows(const std::filesystem::path& messagesDbPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       std::optional<std::int64_t> appleNow) {
  TableReader reader;
  reader.Learned().highestMessageRowId = highestRowId;
  const Result opened = reader.OpenDatabase(messagesDbPath);
  if (opened != kResultOk) return opened;
  // A file that cannot be opened skips every row, as a row whose file did not open is
  // skipped.
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(outputFile.c_str(), "ab"), &std::fclose);
  const std::int64_t now = appleNow.value_or(AppleNow());
  std::string line;
  return reader.ScanTable("message", [&](const RecordView& view) {
    const Result result = DumpMessageRow(reader, view, now, line);
    if (result == kResultOk && out) std::fwrite(line.data(), 1, line.size(), out.get());
    return result;
  });
}

}  // namespace kestrio
