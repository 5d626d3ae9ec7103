#include "parsers/messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/external_sort.h"
#include "base/findings.h"
#include "base/record_file.h"
#include "base/spill_store.h"
#include "base/text.h"
#include "base/time_text.h"
#include "parsers/contact_names.h"
#include "parsers/contacts.h"
#include "parsers/decoder_support.h"
#include "parsers/typedstream.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

constexpr std::string_view kSmsLabel = "sms.db";

// The layouts assumed when a table's own CREATE statement cannot be read: the tables of the
// oldest message/handle generation (iOS 6).
constexpr std::string_view kFallbackMessageSql =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
    "text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, "
    "subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER "
    "DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, error INTEGER DEFAULT 0, date "
    "INTEGER, date_read INTEGER, date_delivered INTEGER, is_delivered INTEGER DEFAULT 0, "
    "is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, "
    "is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, is_auto_reply INTEGER DEFAULT 0, "
    "is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, is_system_message INTEGER "
    "DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
    "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER "
    "DEFAULT 0, is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, "
    "cache_roomnames TEXT, was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER "
    "DEFAULT 0)";
constexpr std::string_view kFallbackHandleSql =
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, "
    "country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT)";
constexpr std::string_view kFallbackAttachmentSql =
    "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
    "NULL, created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti "
    "TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0)";
constexpr std::string_view kFallbackAttachmentJoinSql =
    "CREATE TABLE message_attachment_join (message_id INTEGER, attachment_id INTEGER)";
constexpr std::string_view kFallbackChatHandleJoinSql =
    "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER)";
constexpr std::string_view kFallbackChatMessageJoinSql =
    "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER)";
constexpr std::string_view kFallbackRecoverableJoinSql =
    "CREATE TABLE chat_recoverable_message_join (chat_id INTEGER, message_id INTEGER, "
    "delete_date INTEGER, ck_sync_state INTEGER DEFAULT 0)";
constexpr std::string_view kFallbackRecoverablePartSql =
    "CREATE TABLE recoverable_message_part (chat_id INTEGER, message_id INTEGER, part_index "
    "INTEGER, delete_date INTEGER, part_text BLOB NOT NULL, ck_sync_state INTEGER DEFAULT 0)";
constexpr std::string_view kFallbackGroupMemberSql =
    "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, "
    "address TEXT, country TEXT)";
constexpr std::string_view kFallbackMadridAttachmentSql =
    "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, attachment_guid "
    "TEXT, created_date INTEGER, start_date INTEGER, filename TEXT, uti_type TEXT, mime_type "
    "TEXT, transfer_state INTEGER, is_incoming INTEGER, message_id INTEGER)";

// The places of the fixed 38/51-column layout the row dump keeps for those tables.
struct DumpColumns {
  std::uint32_t guid = 1;
  std::uint32_t text = 2;
  std::uint32_t attributedBody = 8;
  std::uint32_t accountGuid = 13;
  std::uint32_t date = 15;
  std::uint32_t dateRead = 16;
  std::uint32_t isFinished = 19;
  std::uint32_t isFromMe = 21;
  std::uint32_t isRead = 26;
};

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
// Dates above this are nanoseconds: 1e11 seconds would be the year 5170, 1e11 nanoseconds
// are 100 seconds after 2001-01-01.
constexpr std::int64_t kNanosecondThreshold = 100000000000;

// associated_message_type: 2000 + n adds tapback n to the message associated_message_guid
// names, 3000 + n takes it back. 0 to 5: love, like, dislike, laugh, emphasis, question;
// 6 an emoji and 7 a sticker (iOS 17 and later).
constexpr std::int64_t kTapbackAdded = 2000;
constexpr std::int64_t kTapbackRemoved = 3000;
constexpr std::int64_t kTapbackKinds = 8;
constexpr const char* kTapbackVerbs[kTapbackKinds] = {
    "Loved",      "Liked",      "Disliked",           "Laughed at",
    "Emphasized", "Questioned", "Reacted with emoji", "Reacted with a sticker"};

constexpr std::string_view kUnsentText = "(This message was unsent by its sender.)";
constexpr std::string_view kObjectMarker = "\xEF\xBF\xBC";  // U+FFFC

// iOS 5: flags of an SMS row (2 received, 3 sent) and madrid_flags of an iMessage row
// (12289 received, 36869 sent, ...) carry "sent by the owner" in these bits.
constexpr std::int64_t kLegacySmsSentBit = 1;
constexpr std::int64_t kLegacyMadridSentBit = 4;

std::int64_t IntOr0(const FieldValue& value) { return value.Integer().value_or(0); }

// Identifiers and paths: valid UTF-8 up to the first NUL.
std::string_view LooseView(const FieldValue& value) {
  if (value.kind != FieldValue::Kind::kText) return {};
  const std::string_view text = value.Text();
  if (!IsValidUtf8(text)) return {};
  return text.substr(0, text.find('\0'));
}

std::string LooseText(const FieldValue& value) { return std::string(LooseView(value)); }

// A message guid as 16 bytes, so that every message of a large file need not keep its
// 36-character text for the few tapbacks that name one. A guid of the usual shape
// ("8-4-4-4-12" upper-case hexadecimal digits) is its own 128 bits; any other text is
// hashed to 128 bits (two 64-bit FNV-1a sums), whose clash with another guid is as unlikely
// as that of two random 128-bit numbers.
struct GuidKey {
  std::uint64_t high = 0;
  std::uint64_t low = 0;

  bool empty() const { return high == 0 && low == 0; }
  bool operator==(const GuidKey&) const = default;

  static GuidKey Of(std::string_view text) {
    GuidKey key;
    if (text.empty()) return key;
    if (text.size() == 36) {
      std::size_t digits = 0;
      for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
          if (c != '-') break;
          continue;
        }
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0) break;
        std::uint64_t& half = digits < 16 ? key.high : key.low;
        half = half << 4 | static_cast<std::uint64_t>(v);
        ++digits;
      }
      if (digits == 32 && !key.empty()) return key;
      key = {};
    }
    // FNV-1a over the text, twice with different starting values.
    std::uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
    for (const char c : text) {
      a = (a ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
      b = (b ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
      b ^= b >> 29;
    }
    key.high = a;
    key.low = b | 1;
    return key;
  }
};

struct GuidKeyHash {
  std::size_t operator()(const GuidKey& key) const {
    return static_cast<std::size_t>(key.high ^ (key.low * 0x9E3779B97F4A7C15ULL));
  }
};

// The plain text an archived NSAttributedString holds, without the markers of attachments;
// empty when the blob is none or its text is not valid UTF-8. `cut` (when given) is set when
// the text was cut short by the end of the blob.
std::string BodyOfAttributed(const FieldValue& value, bool* cut = nullptr) {
  if (value.kind != FieldValue::Kind::kBlob && value.kind != FieldValue::Kind::kText) return {};
  const std::optional<AttributedText> decoded = AttributedBodyText(value.bytes);
  if (!decoded || !IsValidUtf8(decoded->text)) return {};
  if (cut != nullptr) *cut = decoded->truncated;
  return WithoutObjectMarkers(decoded->text);
}

// A date of the newer layouts: seconds or nanoseconds since 2001, decided per value.
std::string AppleDateText(const FieldValue& value) {
  std::int64_t number = 0;
  if (auto integer = value.Integer()) {
    number = *integer;
  } else {
    return {};
  }
  if (number == 0) return {};
  if (number > kNanosecondThreshold || number < -kNanosecondThreshold)
    number /= kNanosecondsPerSecond;
  return AppleTimeText(number);
}

// The column indexes of one message table, looked up once.
struct MessageColumns {
  explicit MessageColumns(const TableSchema& schema) : schema(&schema) {
    guid = schema.Find("guid");
    text = schema.Find("text");
    attributedBody = schema.Find("attributedBody");
    handleId = schema.Find("handle_id");
    date = schema.Find("date");
    isFromMe = schema.Find("is_from_me");
    associatedGuid = schema.Find("associated_message_guid");
    associatedType = schema.Find("associated_message_type");
    dateEdited = schema.Find("date_edited");
    dateRetracted = schema.Find("date_retracted");
    address = schema.Find("address");
    flags = schema.Find("flags");
    groupId = schema.Find("group_id");
    isMadrid = schema.Find("is_madrid");
    madridHandle = schema.Find("madrid_handle");
    madridFlags = schema.Find("madrid_flags");
    madridAttributedBody = schema.Find("madrid_attributedBody");
    madridGuid = schema.Find("madrid_guid");
    legacy = handleId == TableSchema::kMissing && address != TableSchema::kMissing;
  }

  const TableSchema* schema;
  std::uint32_t guid, text, attributedBody, handleId, date, isFromMe, associatedGuid,
      associatedType, dateEdited, dateRetracted;
  // iOS 5.
  std::uint32_t address, flags, groupId, isMadrid, madridHandle, madridFlags, madridAttributedBody,
      madridGuid;
  bool legacy = false;
};

// One decoded message row: the fields of MessageRecord it fills itself, and what the joins
// need. A parse decodes every row into the same one; its fields are then split between a
// ParsedMessage and the spill store.
struct DecodedMessage {
  bool deleted = false;
  bool isFromMe = false;
  bool edited = false;
  bool unsent = false;
  std::uint32_t rowId = 0;
  std::int32_t handleId = 0;
  std::int64_t tapback = 0;  // associated_message_type of a tapback, else 0
  DateText dateText;
  SharedText address;
  std::string text;
  GuidKey guid;
  GuidKey target;  // a tapback's message guid
};

// A message row while the parse joins it, in 64 bytes: what the joins, the tapbacks and the
// ordering need. Its date text, body and (in the oldest layout) address wait in the spill
// store, `bodyLength` bytes at `bodyAt` (see SpillBody), until the message is written out. The
// rows themselves wait on disk too (MessageRows), in the order of the scan: `index` is a row's
// place there. So a large file's million rows cost a few buffers of memory.
struct ParsedMessage {
  std::uint64_t bodyAt = 0;
  std::uint64_t date = 0;  // DateTextKey of the date text
  GuidKey guid;
  std::uint32_t bodyLength = 0;
  std::uint32_t rowId = 0;
  std::uint32_t index = 0;
  std::int32_t handleId = 0;
  std::int32_t conversationId = 0;
  std::uint16_t tapback = 0;  // associated_message_type of a tapback, else 0
  bool deleted : 1 = false;
  bool isFromMe : 1 = false;
  bool edited : 1 = false;
  bool unsent : 1 = false;
  bool hasText : 1 = false;
  bool inChat : 1 = false;   // the conversation key is a chat's (or iOS 5 group's)
  bool dropped : 1 = false;  // a tapback given to its message, or one that is not listed
};
static_assert(sizeof(ParsedMessage) <= 64);

using MessageRows = RecordFile<ParsedMessage>;

// What of a message waits in the spill store.
struct MessageBody {
  DateText dateText;
  std::string address;
  std::string text;
};

// A body in the spill store: the date text's length (1 byte) and bytes, 1 byte that says
// whether an address follows, its length (4 bytes, little-endian) and bytes, then the text to
// the end.
void SpillBody(SpillStore& store, std::string_view dateText, std::string_view address,
               std::string_view text, ParsedMessage& into, std::string& scratch) {
  scratch.clear();
  scratch.push_back(static_cast<char>(dateText.size()));
  scratch.append(dateText);
  scratch.push_back(address.empty() ? 0 : 1);
  if (!address.empty()) {
    const auto length = static_cast<std::uint32_t>(address.size());
    for (int shift = 0; shift < 32; shift += 8)
      scratch.push_back(static_cast<char>(length >> shift));
    scratch.append(address);
  }
  scratch.append(text);
  into.bodyAt = store.Append(scratch);
  into.bodyLength = static_cast<std::uint32_t>(scratch.size());
  into.date = DateTextKey(dateText);
  into.hasText = !text.empty();
}

// The body in `bytes` as SpillBody wrote it; false when it is not one.
bool ParseBody(std::string_view bytes, MessageBody& body) {
  body = MessageBody{};
  if (bytes.empty()) return false;
  const std::size_t dateLength = static_cast<unsigned char>(bytes.front());
  if (bytes.size() < 2 + dateLength) return false;
  body.dateText = DateText(bytes.substr(1, dateLength));
  bytes.remove_prefix(1 + dateLength);
  const bool hasAddress = bytes.front() != 0;
  bytes.remove_prefix(1);
  if (hasAddress) {
    if (bytes.size() < 4) return false;
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(bytes[i]);
    bytes.remove_prefix(4);
    if (bytes.size() < length) return false;
    body.address.assign(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
  body.text.assign(bytes);
  return true;
}

// The body of `message` read back; false when the store cannot give it (its file failed).
bool ReadBody(const SpillStore& store, const ParsedMessage& message, std::string& scratch,
              MessageBody& body) {
  return store.Read(message.bodyAt, message.bodyLength, scratch) && ParseBody(scratch, body);
}

// A row by its rowid, for the joins on rowid (the carved copies of live rows, the chats).
struct RowKey {
  std::uint32_t rowId = 0;
  std::uint32_t index = 0;  // kPartOnly: a ROWID that only recoverable parts name
  bool deleted = false;
};
constexpr std::uint32_t kPartOnly = UINT32_MAX;

// Rowid order; of one rowid, the live rows first, each kind in the order of the scan.
struct RowIdOrder {
  bool operator()(const RowKey& x, const RowKey& y) const {
    if (x.rowId != y.rowId) return x.rowId < y.rowId;
    if (x.deleted != y.deleted) return !x.deleted;
    return x.index < y.index;
  }
};
using RowKeySorter = ExternalSorter<RowKey, RowIdOrder>;

// A chat by a key: a message ROWID (chat_message_join) or a row's index.
struct KeyedChat {
  std::uint32_t key = 0;
  std::int32_t chat = 0;  // Key32 of the chat's ROWID
};
struct KeyOrder {
  bool operator()(const KeyedChat& x, const KeyedChat& y) const { return x.key < y.key; }
};
using ChatSorter = ExternalSorter<KeyedChat, KeyOrder>;

// What each of these sorts holds in memory at once.
constexpr std::size_t kKeySortMemoryBytes = std::size_t{2} << 20;

// A tapback row as read, with what only a tapback needs: the guid of its message, and its
// address (in the oldest layout the row's own, else its handle's).
struct TapbackRow {
  ParsedMessage row;
  GuidKey target;
  SharedText address;
};

bool IsTapback(std::int64_t type) {
  return (type >= kTapbackAdded && type < kTapbackAdded + kTapbackKinds) ||
         (type >= kTapbackRemoved && type < kTapbackRemoved + kTapbackKinds);
}

// "p:0/GUID" (a part of the message) and "bp:GUID" name the message GUID.
std::string_view TargetGuid(std::string_view associated) {
  if (associated.starts_with("bp:")) return associated.substr(3);
  if (associated.starts_with("p:")) {
    const std::size_t slash = associated.find('/');
    if (slash != std::string_view::npos) return associated.substr(slash + 1);
  }
  return associated;
}

// A live message row teaches the reader which fixed layout it reads (used when the table is
// carved without a schema of its own), and the highest rowid.
void LearnFromLiveMessage(TableReader& reader, const DecodedRecord& record) {
  LearnedLayout& learned = reader.Learned();
  learned.messageColumnCount =
      record.headerSize < kNewerMessageColumns ? kOlderMessageColumns : kNewerMessageColumns;
  learned.highestMessageRowId = std::max(learned.highestMessageRowId, record.rowId);
}

// Splits a message row; a live row first teaches the reader the table's layout (before the
// row is judged, as the carving tests of later pages need it) and the highest rowid.
Result DecodeMessageRecord(TableReader& reader, const RecordView& view, DecodedRecord& record) {
  if (view.carved) return DecodeTableRecord(reader, view, record);
  if (DecodeRecord(reader.Sqlite(), view, {}, record) != kResultOk) return kResultInvalid;
  LearnFromLiveMessage(reader, record);
  return kResultOk;
}

std::uint32_t RowId32(const RecordView& view, const DecodedRecord& record) {
  return view.carved ? 0 : static_cast<std::uint32_t>(record.rowId);
}

// Decodes one message row. A live row is accepted without a body (its attachments may be
// all it has; the joins decide); a carved one needs a body, as free space that is not a
// message rarely decodes to clean text.
// `unreadableBody` (when given) is set when the row's only body is an attributedBody that
// holds no readable text, or whose text its blob cuts short.
bool DecodeMessageRow(const MessageColumns& c, const RecordView& view, const DecodedRecord& record,
                      DecodedMessage& out, bool* unreadableBody = nullptr) {
  const TableSchema& s = *c.schema;
  const bool carved = view.carved;
  DecodedMessage& m = out;
  std::string text = std::move(out.text);  // the last row's buffer, reused
  out = DecodedMessage{};
  if (!StrictText(s.Field(record, c.text, carved), text)) return false;
  if (text.find(kObjectMarker) != std::string::npos) text = WithoutObjectMarkers(text);
  const std::int64_t edited = IntOr0(s.Field(record, c.dateEdited, carved));
  const std::uint32_t bodyColumn = c.legacy ? c.madridAttributedBody : c.attributedBody;
  // An edited message keeps its latest version in attributedBody; text may hold an older
  // one or nothing.
  if (text.empty() || edited != 0) {
    const FieldValue blob = s.Field(record, bodyColumn, carved);
    bool cut = false;
    std::string attributed = BodyOfAttributed(blob, &cut);
    if (unreadableBody != nullptr &&
        (attributed.empty() ? text.empty() && !blob.bytes.empty() : cut))
      *unreadableBody = true;
    if (!attributed.empty()) text = std::move(attributed);
  }
  m.edited = edited != 0;
  m.unsent = IntOr0(s.Field(record, c.dateRetracted, carved)) != 0 || (m.edited && text.empty());
  if (m.unsent) text = kUnsentText;
  const std::int64_t associated = IntOr0(s.Field(record, c.associatedType, carved));
  if (IsTapback(associated)) {
    out.tapback = associated;
    out.target = GuidKey::Of(TargetGuid(LooseView(s.Field(record, c.associatedGuid, carved))));
  }
  if (carved && text.empty()) return false;
  m.text = std::move(text);
  m.deleted = view.deleted;
  m.rowId = RowId32(view, record);
  // Only tapbacks need the guid, and only layouts that have them.
  if (c.associatedType != TableSchema::kMissing)
    out.guid = GuidKey::Of(LooseView(s.Field(record, c.guid, carved)));
  if (c.legacy) {
    const bool madrid = IntOr0(s.Field(record, c.isMadrid, carved)) == 1;
    m.handleId = static_cast<std::int32_t>(IntOr0(s.Field(record, c.groupId, carved)));
    m.address = LooseText(s.Field(record, c.address, carved));
    if (m.address.empty()) m.address = LooseText(s.Field(record, c.madridHandle, carved));
    if (madrid) {
      m.isFromMe = (IntOr0(s.Field(record, c.madridFlags, carved)) & kLegacyMadridSentBit) != 0;
    } else {
      m.isFromMe = (IntOr0(s.Field(record, c.flags, carved)) & kLegacySmsSentBit) != 0;
    }
    const std::int64_t date = IntOr0(s.Field(record, c.date, carved));
    if (date != 0) m.dateText = madrid ? AppleTimeText(date) : UnixTimeText(date);
  } else {
    m.handleId = static_cast<std::int32_t>(IntOr0(s.Field(record, c.handleId, carved)));
    m.isFromMe = IntOr0(s.Field(record, c.isFromMe, carved)) == 1;
    m.dateText = AppleDateText(s.Field(record, c.date, carved));
  }
  return true;
}

// The fields every form of a message row carries alike.
template <typename From, typename To>
void CopyRowFields(const From& from, To& to) {
  to.deleted = from.deleted;
  to.isFromMe = from.isFromMe;
  to.edited = from.edited;
  to.unsent = from.unsent;
  to.rowId = from.rowId;
  to.handleId = from.handleId;
}

// The fields a decoded row gives its record itself; the text is moved.
void FillRecord(DecodedMessage& p, MessageRecord& m) {
  CopyRowFields(p, m);
  m.dateText = p.dateText;
  m.text = std::move(p.text);
}

const TableSchema& FixedMessageSchema() {
  static const TableSchema schema = *ParseCreateTable(kFallbackMessageSql);
  return schema;
}

}  // namespace

Result DecodeMessage(TableReader& reader, const RecordView& view, std::vector<MessageRecord>& out) {
  static const MessageColumns columns(FixedMessageSchema());
  DecodedRecord record;
  if (DecodeMessageRecord(reader, view, record) != kResultOk) return kResultInvalid;
  DecodedMessage message;
  if (!DecodeMessageRow(columns, view, record, message)) return kResultInvalid;
  if (message.text.empty()) return kResultInvalid;
  MessageRecord& m = out.emplace_back();
  FillRecord(message, m);
  m.address = std::move(message.address);
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

// Reads the tables of one messages database by column name.
class MessagesReader {
 public:
  explicit MessagesReader(TableReader& reader, FindingsSink* findings)
      : reader_(reader), findings_(findings) {}

  // Whether `table` is worth a scan: the schema lists it, or the schema could not be read at
  // all (then every table is tried with its assumed layout).
  bool Wanted(std::string_view table) {
    return reader_.HasTable(table) || !reader_.HasTable("message");
  }

  // The columns of `table`, or null when it is not worth a scan.
  const TableSchema* Columns(std::string_view table, std::string_view fallback) {
    if (!Wanted(table)) return nullptr;
    return &reader_.SchemaOr(table, fallback);
  }

  // A column the parse needs is missing from the table's own layout.
  void Missing(std::string_view table, std::string_view columns) {
    Report(findings_, {std::string(kSmsLabel), "column", "table " + std::string(table),
                       "has no column " + std::string(columns) + "; read without it"});
  }

  // Scans `table`; `visit(view, record)` answers whether it accepts the row.
  template <typename Visit>
  void Scan(std::string_view table, Visit visit) {
    ScanDecoded(reader_, table, visit);
  }

  // Every row of the message table, live and carved, in `rows`, its body set aside in
  // `bodies`; each row with a rowid also in `keys`, and each tapback in `tapbacks` too.
  void ReadMessages(MessageRows& rows, SpillStore& bodies, RowKeySorter& keys,
                    std::vector<TapbackRow>& tapbacks) {
    const MessageColumns c(reader_.SchemaOr("message", kFallbackMessageSql));
    legacy_ = c.legacy;
    if (c.date == TableSchema::kMissing) Missing("message", "date");
    if (c.text == TableSchema::kMissing && c.attributedBody == TableSchema::kMissing &&
        c.madridAttributedBody == TableSchema::kMissing) {
      Missing("message", "text");
    }
    if (!c.legacy && c.handleId == TableSchema::kMissing) Missing("message", "handle_id");
    DecodedRecord record;
    DecodedMessage decoded;
    std::string scratch;
    reader_.ScanTable("message", [&](const RecordView& view) {
      if (DecodeMessageRecord(reader_, view, record) != kResultOk) return kResultInvalid;
      bool unreadableBody = false;
      if (!DecodeMessageRow(c, view, record, decoded, &unreadableBody)) return kResultInvalid;
      if (rows.size() >= UINT32_MAX) return kResultInvalid;
      ParsedMessage m;
      CopyRowFields(decoded, m);
      m.index = static_cast<std::uint32_t>(rows.size());
      m.tapback = static_cast<std::uint16_t>(decoded.tapback);
      m.guid = decoded.guid;
      SpillBody(bodies, decoded.dateText, decoded.address.view(), decoded.text, m, scratch);
      rows.Append(m);
      if (m.rowId != 0) keys.Add({m.rowId, m.index, m.deleted});
      if (m.tapback != 0) tapbacks.push_back({m, decoded.target, decoded.address});
      // A live row's body that does not decode is said; a carved row's is just not taken.
      if (unreadableBody && !view.carved) {
        Report(findings_, {std::string(kSmsLabel), "attributedBody",
                           "message row " + std::to_string(record.rowId),
                           "the archived body's text is unreadable or cut short; the message "
                           "is shown with what could be read"});
      }
      return kResultOk;
    });
  }

  // handle ROWID -> address, live rows.
  void ReadHandles(std::unordered_map<std::int64_t, SharedText>& out) {
    const TableSchema* s = Columns("handle", kFallbackHandleSql);
    if (s == nullptr) return;
    const std::uint32_t id = s->Find("id");
    if (id == TableSchema::kMissing) return Missing("handle", "id");
    Scan("handle", [&](const RecordView& view, const DecodedRecord& record) {
      const std::string_view address = LooseView(s->Field(record, id, view.carved));
      if (address.empty()) return false;
      if (!view.carved) out.try_emplace(static_cast<std::int64_t>(record.rowId), address);
      return true;
    });
  }

  // message ROWID -> its attachments' paths, in the join table's order.
  void ReadAttachments(std::unordered_map<std::uint32_t, std::vector<std::string>>& out) {
    std::unordered_map<std::int64_t, std::string> fileOf;
    std::vector<std::pair<std::int64_t, std::int64_t>> links;  // (message, attachment)
    if (legacy_) {
      // iOS 5: each attachment row names its message itself.
      const TableSchema* s = Columns("madrid_attachment", kFallbackMadridAttachmentSql);
      if (s == nullptr) return;
      const std::uint32_t file = s->Find("filename");
      const std::uint32_t message = s->Find("message_id");
      if (file == TableSchema::kMissing || message == TableSchema::kMissing)
        return Missing("madrid_attachment", "filename or message_id");
      Scan("madrid_attachment", [&](const RecordView& view, const DecodedRecord& record) {
        std::string path = LooseText(s->Field(record, file, view.carved));
        if (path.empty()) return false;
        const std::int64_t id = IntOr0(s->Field(record, message, view.carved));
        if (id > 0 && id <= UINT32_MAX)
          out[static_cast<std::uint32_t>(id)].push_back(std::move(path));
        return true;
      });
      return;
    }
    if (const TableSchema* s = Columns("attachment", kFallbackAttachmentSql)) {
      const std::uint32_t file = s->Find("filename");
      if (file == TableSchema::kMissing) {
        Missing("attachment", "filename");
      } else {
        Scan("attachment", [&](const RecordView& view, const DecodedRecord& record) {
          std::string path = LooseText(s->Field(record, file, view.carved));
          if (path.empty()) return false;
          if (!view.carved) fileOf.try_emplace(static_cast<std::int64_t>(record.rowId), path);
          return true;
        });
      }
    }
    if (const TableSchema* s = Columns("message_attachment_join", kFallbackAttachmentJoinSql)) {
      const std::uint32_t message = s->Find("message_id");
      const std::uint32_t attachment = s->Find("attachment_id");
      if (message == TableSchema::kMissing || attachment == TableSchema::kMissing) {
        Missing("message_attachment_join", "message_id or attachment_id");
      } else {
        // Carved join rows count too: their attachment may still be live.
        Scan("message_attachment_join", [&](const RecordView& view, const DecodedRecord& record) {
          links.emplace_back(IntOr0(s->Field(record, message, view.carved)),
                             IntOr0(s->Field(record, attachment, view.carved)));
          return true;
        });
      }
    }
    // An attachment belongs to the first message that names it; a message lists each of its
    // attachments once.
    std::unordered_set<std::int64_t> taken;
    for (const auto& [message, attachment] : links) {
      if (message <= 0 || message > UINT32_MAX) continue;
      const auto it = fileOf.find(attachment);
      if (it == fileOf.end() || !taken.insert(attachment).second) continue;
      out[static_cast<std::uint32_t>(message)].push_back(it->second);
    }
  }

  // The live rows of a two-column join table in table order: `add(first, second)` for each.
  template <typename Add>
  void ReadJoin(std::string_view table, std::string_view fallback, std::string_view first,
                std::string_view second, Add add) {
    const TableSchema* s = Columns(table, fallback);
    if (s == nullptr) return;
    const std::uint32_t a = s->Find(first);
    const std::uint32_t b = s->Find(second);
    if (a == TableSchema::kMissing || b == TableSchema::kMissing) {
      return Missing(table, std::string(first) + " or " + std::string(second));
    }
    Scan(table, [&](const RecordView& view, const DecodedRecord& record) {
      if (!view.carved && !view.deleted) {
        add(IntOr0(s->Field(record, a, false)), IntOr0(s->Field(record, b, false)));
      }
      return true;
    });
  }

  // iOS 5: group_id -> the addresses of the group's people.
  void ReadGroupMembers(std::unordered_map<std::int64_t, std::vector<std::string>>& out) {
    const TableSchema* s = Columns("group_member", kFallbackGroupMemberSql);
    if (s == nullptr) return;
    const std::uint32_t group = s->Find("group_id");
    const std::uint32_t address = s->Find("address");
    if (group == TableSchema::kMissing || address == TableSchema::kMissing)
      return Missing("group_member", "group_id or address");
    Scan("group_member", [&](const RecordView& view, const DecodedRecord& record) {
      if (view.carved || view.deleted) return true;
      std::string text = LooseText(s->Field(record, address, false));
      if (!text.empty()) out[IntOr0(s->Field(record, group, false))].push_back(std::move(text));
      return true;
    });
  }

  // iOS 16 and later: (message ROWID, part index) -> the text of a part of a message in
  // "Recently Deleted".
  void ReadRecoverableParts(std::map<std::pair<std::int64_t, std::int64_t>, std::string>& out,
                            std::unordered_map<std::int64_t, std::int64_t>& chatOf) {
    const TableSchema* s = Columns("recoverable_message_part", kFallbackRecoverablePartSql);
    if (s == nullptr) return;
    const std::uint32_t chat = s->Find("chat_id");
    const std::uint32_t message = s->Find("message_id");
    const std::uint32_t part = s->Find("part_index");
    const std::uint32_t text = s->Find("part_text");
    if (message == TableSchema::kMissing || text == TableSchema::kMissing)
      return Missing("recoverable_message_part", "message_id or part_text");
    Scan("recoverable_message_part", [&](const RecordView& view, const DecodedRecord& record) {
      if (view.carved || view.deleted) return true;
      const FieldValue blob = s->Field(record, text, false);
      std::string body = BodyOfAttributed(blob);
      if (body.empty() && blob.kind == FieldValue::Kind::kText && IsCleanUtf8(blob.Text()))
        body.assign(blob.Text());
      const std::int64_t id = IntOr0(s->Field(record, message, false));
      if (body.empty() || id <= 0) return true;
      out[{id, IntOr0(s->Field(record, part, false))}] = std::move(body);
      chatOf.try_emplace(id, IntOr0(s->Field(record, chat, false)));
      return true;
    });
  }

  bool Legacy() const { return legacy_; }

 private:
  TableReader& reader_;
  FindingsSink* findings_;
  bool legacy_ = false;
};

// Whether carved row `copy` is live row `original` again: the same date, body and date text.
bool SameMessage(const ParsedMessage& copy, const ParsedMessage& original,
                 const SpillStore& bodies) {
  if (original.date != copy.date || original.hasText != copy.hasText) return false;
  std::string scratch;
  MessageBody mine, theirs;
  return ReadBody(bodies, copy, scratch, mine) && ReadBody(bodies, original, scratch, theirs) &&
         mine.text == theirs.text && mine.dateText == theirs.dateText;
}

// The rows joined on their rowids, in one walk of the rows and of chat_message_join in rowid
// order. A page freed when SQLite rebalanced the table keeps the cells it had, and some of
// them were moved to a live page, not deleted. Such a row has its rowid and the same body and
// date as the live row (the first of its rowid): it is not listed again as a deleted message.
// Answers the indexes of those copies. `chatOfRow` gets the chat of every other row that
// chat_message_join names (the first chat of its rowid), and `orphanParts` each ROWID that
// recoverable parts name but no row has, with its chat if it has one.
std::unordered_set<std::uint32_t> JoinByRowId(
    RowKeySorter& keys, ChatSorter& chats, const MessageRows& rows, const SpillStore& bodies,
    ChatSorter& chatOfRow,
    std::unordered_map<std::uint32_t, std::optional<std::int32_t>>& orphanParts) {
  std::unordered_set<std::uint32_t> copies;
  keys.Finish();
  chats.Finish();
  KeyedChat join;
  bool joined = chats.Next(join);
  RowKey key;
  std::uint32_t rowId = 0;
  std::optional<std::uint32_t> original;  // the index of the first live row of `rowId`
  bool hasRows = false;                   // whether a row of `rowId` came (they come first)
  ParsedMessage copy, live;
  while (keys.Next(key)) {
    if (key.rowId != rowId) {
      rowId = key.rowId;
      original.reset();
      hasRows = false;
    }
    if (key.index != kPartOnly) {
      hasRows = true;
      if (!key.deleted) {
        if (!original) original = key.index;
      } else if (original && rows.Get(key.index, copy) && rows.Get(*original, live) &&
                 SameMessage(copy, live, bodies)) {
        copies.insert(key.index);
        continue;
      }
    }
    while (joined && join.key < key.rowId) joined = chats.Next(join);
    const bool hasChat = joined && join.key == key.rowId;
    if (key.index == kPartOnly) {
      if (!hasRows)
        orphanParts.emplace(key.rowId, hasChat ? std::optional(join.chat) : std::nullopt);
    } else if (hasChat) {
      chatOfRow.Add({key.index, join.chat});
    }
  }
  chatOfRow.Finish();
  return copies;
}

// Who a tapback or a conversation shows for an address.
std::string PersonOf(const ContactNames& names, std::string_view address) {
  const std::string_view name = names.NameOf(address);
  return std::string(name.empty() ? address : name);
}

// What the tapbacks come to: the reactions, by the index of the message they are given to,
// and the indexes of the tapback rows that are not listed as messages of their own.
struct TapbackOutcome {
  std::unordered_map<std::uint32_t, SharedText> reactionsOf;
  std::unordered_set<std::uint32_t> dropped;
};

// Turns the tapback rows (carved copies of live rows left out) into reactions on the messages
// they name. A tapback so given, or taken back, is dropped; one whose message is not among
// the rows read stays an ordinary message when it has a text of its own.
TapbackOutcome ApplyTapbacks(std::vector<TapbackRow>& tapbacks, const MessageRows& rows,
                             const std::unordered_set<std::uint32_t>& copies,
                             const ContactNames& names) {
  TapbackOutcome outcome;
  if (tapbacks.empty()) return outcome;
  // Only the messages that tapbacks name are looked up by guid, the first row of each guid.
  std::unordered_set<GuidKey, GuidKeyHash> targets;
  for (const TapbackRow& t : tapbacks) {
    if (!t.target.empty()) targets.insert(t.target);
  }
  std::unordered_map<GuidKey, std::uint32_t, GuidKeyHash> byGuid;
  MessageRows::Cursor cursor(rows);
  ParsedMessage m;
  while (!targets.empty() && cursor.Next(m)) {
    if (m.tapback == 0 && !m.guid.empty() && targets.contains(m.guid) && !copies.contains(m.index))
      byGuid.try_emplace(m.guid, m.index);
  }
  struct Reaction {
    std::string person;
    std::int64_t kind = 0;
  };
  std::unordered_map<std::uint32_t, std::vector<Reaction>> listOf;
  // Tapbacks apply in date order, equal dates in scan order.
  std::stable_sort(tapbacks.begin(), tapbacks.end(), [](const TapbackRow& a, const TapbackRow& b) {
    return a.row.date < b.row.date;
  });
  for (const TapbackRow& entry : tapbacks) {
    const ParsedMessage& tapback = entry.row;
    const auto target = entry.target.empty() ? byGuid.end() : byGuid.find(entry.target);
    if (target == byGuid.end()) {
      if (tapback.tapback >= kTapbackRemoved || !tapback.hasText)
        outcome.dropped.insert(tapback.index);
      continue;
    }
    outcome.dropped.insert(tapback.index);
    const std::string person = tapback.isFromMe ? "Me" : PersonOf(names, entry.address);
    std::vector<Reaction>& list = listOf[target->second];
    const std::int64_t kind = tapback.tapback % 1000;
    // One tapback per person and message: a new one replaces the old, a removal takes it.
    std::erase_if(list, [&](const Reaction& r) {
      return r.person == person && (tapback.tapback < kTapbackRemoved || r.kind == kind);
    });
    if (tapback.tapback < kTapbackRemoved) list.push_back({person, kind});
  }
  for (auto& [index, list] : listOf) {
    std::string text;
    for (const Reaction& r : list) {
      if (!text.empty()) text += "; ";
      text.append(kTapbackVerbs[r.kind]).append(" by ").append(r.person);
    }
    if (!text.empty()) outcome.reactionsOf[index] = text;
  }
  return outcome;
}

// Everybody of a chat, by name where the address book knows them.
std::string PeopleText(const std::vector<std::string>& addresses, const ContactNames& names) {
  std::string text;
  for (const std::string& address : addresses) {
    if (!text.empty()) text += ", ";
    text += PersonOf(names, address);
  }
  return text;
}

std::int32_t Key32(std::int64_t key) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(key, INT32_MIN + 1, INT32_MAX));
}

// The order of the output: conversations in key order, each in date order, equal dates in
// the order of the scan.
struct OutputOrder {
  bool operator()(const ParsedMessage& x, const ParsedMessage& y) const {
    if (x.conversationId != y.conversationId) return x.conversationId < y.conversationId;
    if (x.date != y.date) return x.date < y.date;
    return x.index < y.index;
  }
};
using MessageSorter = ExternalSorter<ParsedMessage, OutputOrder>;
// The rows the sort holds in memory at once (131,072 of them).
constexpr std::size_t kSortMemoryBytes = std::size_t{8} << 20;

// The sorted messages, each with its body. The bodies come back in windows: the next messages
// whose bodies fill at most kWindowBytes together (and at most kWindowRows of them), read in
// the order of their places in the store. So the store's file is read in whole blocks, once
// for each window, and no more than a window of bodies is in memory.
class OrderedMessages {
 public:
  static constexpr std::uint64_t kWindowBytes = std::uint64_t{16} << 20;
  static constexpr std::size_t kWindowRows = std::size_t{1} << 17;

  OrderedMessages(MessageSorter& sorter, const SpillStore& bodies)
      : sorter_(sorter), bodies_(bodies) {}

  // The next message; `bodyRead` says whether its body could be read into `body`.
  bool Next(ParsedMessage& row, MessageBody& body, bool& bodyRead) {
    if (next_ == rows_.size() && !Fill()) return false;
    const std::size_t i = next_++;
    row = rows_[i];
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    bodyRead = read_[i] && ParseBody(std::string_view(window_.get() + begin,
                                                      static_cast<std::size_t>(ends_[i] - begin)),
                                     body);
    if (!bodyRead) body = MessageBody{};
    return true;
  }

 private:
  bool Fill() {
    rows_.clear();
    ends_.clear();
    next_ = 0;
    // Reserved once for the largest window there will be: grown by doubling, the rows would
    // be copied and fresh pages touched at every step.
    if (rows_.capacity() == 0) {
      const auto most =
          static_cast<std::size_t>(std::min<std::uint64_t>(kWindowRows, sorter_.size()));
      rows_.reserve(most);
      ends_.reserve(most);
    }
    std::uint64_t total = 0;
    ParsedMessage row;
    while (rows_.size() < kWindowRows) {
      if (held_) {
        row = *held_;
        held_.reset();
      } else if (!sorter_.Next(row)) {
        break;
      }
      if (!rows_.empty() && total + row.bodyLength > kWindowBytes) {
        held_ = row;
        break;
      }
      rows_.push_back(row);
      total += row.bodyLength;
      ends_.push_back(total);
    }
    if (rows_.empty()) return false;
    // Allocated once at the full window size (larger only for a body that exceeds it), so
    // the windows after the first reuse pages that are already there; pages no window
    // reaches are never touched and cost no memory. Left unset, as every byte that is read is
    // copied in.
    if (windowBytes_ < total) {
      window_.reset();
      windowBytes_ = std::max(total, kWindowBytes);
      window_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(windowBytes_));
    }
    read_.assign(rows_.size(), false);
    order_.resize(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
    std::sort(order_.begin(), order_.end(),
              [&](std::uint32_t x, std::uint32_t y) { return rows_[x].bodyAt < rows_[y].bodyAt; });
    SpillStore::SequentialReader reader(bodies_);
    for (const std::uint32_t i : order_) {
      if (!reader.Read(rows_[i].bodyAt, rows_[i].bodyLength, scratch_)) continue;
      const std::uint64_t slot = i == 0 ? 0 : ends_[i - 1];
      std::memcpy(window_.get() + slot, scratch_.data(), rows_[i].bodyLength);
      read_[i] = true;
    }
    return true;
  }

  MessageSorter& sorter_;
  const SpillStore& bodies_;
  std::vector<ParsedMessage> rows_;  // the window's rows, in output order
  std::vector<std::uint64_t> ends_;  // where each row's body ends in `window_`
  std::vector<bool> read_;           // whether each body could be read
  std::unique_ptr<char[]> window_;
  std::uint64_t windowBytes_ = 0;
  std::vector<std::uint32_t> order_;
  std::optional<ParsedMessage> held_;  // read from the sort, for the next window
  std::string scratch_;
  std::size_t next_ = 0;
};

}  // namespace

Result ParseMessages(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     ConversationSink& sink, const std::filesystem::path& messagesDbPath,
                     std::uint64_t& highestRowId) {
  TableReader reader(context.findings);
  Result result = reader.OpenDatabase(messagesDbPath, kSmsLabel);
  if (result != kResultOk) return result;
  MessagesReader tables(reader, context.findings);

  // A failed page read ends one table's scan; the parse goes on with what was read. The rows
  // wait in `rows`, their bodies in `bodies`.
  SpillStore bodies(context.spillFolder);
  MessageRows rows(context.spillFolder);
  const std::size_t keySortBytes =
      context.sortMemoryBytes != 0 ? context.sortMemoryBytes : kKeySortMemoryBytes;
  RowKeySorter keys(context.spillFolder, keySortBytes);
  std::vector<TapbackRow> tapbacks;
  tables.ReadMessages(rows, bodies, keys, tapbacks);
  if ((result = context.progress.ReportShare(5)) != kResultOk) return result;
  highestRowId = reader.Learned().highestMessageRowId;
  const bool legacy = tables.Legacy();

  std::unordered_map<std::int64_t, SharedText> addressOfHandle;
  if (!legacy) tables.ReadHandles(addressOfHandle);
  if ((result = context.progress.ReportShare(4)) != kResultOk) return result;

  std::unordered_map<std::uint32_t, std::vector<std::string>> attachmentsOf;
  tables.ReadAttachments(attachmentsOf);
  if ((result = context.progress.ReportShare(3)) != kResultOk) return result;

  // Chats: who is in each, and which chat each message is in.
  std::unordered_map<std::int64_t, std::vector<std::string>> peopleOfChat;
  // chat_message_join: (message ROWID, chat) to be sorted by message.
  ChatSorter chatOfMessage(context.spillFolder, keySortBytes);
  std::unordered_map<std::int64_t, std::int64_t> recoverableChatOf;
  std::map<std::pair<std::int64_t, std::int64_t>, std::string> recoverableParts;
  std::unordered_map<std::int64_t, std::int64_t> oneToOneChatOfHandle;
  bool hasChats = false;
  if (legacy) {
    tables.ReadGroupMembers(peopleOfChat);
  } else {
    std::vector<std::pair<std::int64_t, std::int64_t>> chatHandles;
    std::size_t chatMessages = 0, recoverable = 0;
    tables.ReadJoin(
        "chat_handle_join", kFallbackChatHandleJoinSql, "chat_id", "handle_id",
        [&](std::int64_t chat, std::int64_t handle) { chatHandles.emplace_back(chat, handle); });
    // A message ROWID out of a row's range names no row read.
    tables.ReadJoin("chat_message_join", kFallbackChatMessageJoinSql, "chat_id", "message_id",
                    [&](std::int64_t chat, std::int64_t message) {
                      ++chatMessages;
                      if (message > 0 && message <= UINT32_MAX)
                        chatOfMessage.Add({static_cast<std::uint32_t>(message), Key32(chat)});
                    });
    if (reader.HasTable("chat_recoverable_message_join")) {
      tables.ReadJoin("chat_recoverable_message_join", kFallbackRecoverableJoinSql, "chat_id",
                      "message_id", [&](std::int64_t chat, std::int64_t message) {
                        ++recoverable;
                        recoverableChatOf[message] = chat;
                      });
    }
    if (reader.HasTable("recoverable_message_part"))
      tables.ReadRecoverableParts(recoverableParts, recoverableChatOf);
    hasChats = !chatHandles.empty() || chatMessages != 0 || recoverable != 0;
    std::unordered_map<std::int64_t, std::vector<std::int64_t>> handlesOfChat;
    for (const auto& [chat, handle] : chatHandles) {
      handlesOfChat[chat].push_back(handle);
      const auto it = addressOfHandle.find(handle);
      peopleOfChat[chat].push_back(it == addressOfHandle.end() ? std::string() : it->second.str());
    }
    for (auto& [chat, people] : peopleOfChat) std::erase(people, std::string());
    for (const auto& [chat, handles] : handlesOfChat) {
      if (handles.size() == 1) {
        auto [it, fresh] = oneToOneChatOfHandle.try_emplace(handles.front(), chat);
        if (!fresh) it->second = std::min(it->second, chat);
      }
    }
  }
  if ((result = context.progress.ReportShare(2)) != kResultOk) return result;

  // Names. Without an address book the messages come all the same, without names.
  std::vector<ContactRecord> contacts;
  reader.Learned().newLayout = context.newLayout;
  if (reader.OpenDatabase(addressBookPath, kAddressBookLabel) == kResultOk) {
    ReadContactRows(reader, contacts);
  } else {
    Report(context.findings,
           {std::string(kAddressBookLabel), "address book", addressBookPath.filename().string(),
            "cannot be read; messages are listed without names"});
  }
  const ContactNames names(contacts);
  if ((result = context.progress.ReportShare(1)) != kResultOk) return result;

  // The ROWIDs that only parts may name join the walk, so that their chats are found too.
  std::int64_t previousPart = 0;
  for (const auto& [key, part] : recoverableParts) {
    if (key.first == previousPart || key.first <= 0 || key.first > UINT32_MAX) continue;
    previousPart = key.first;
    keys.Add({static_cast<std::uint32_t>(key.first), kPartOnly, true});
  }
  ChatSorter chatOfRow(context.spillFolder, keySortBytes);
  std::unordered_map<std::uint32_t, std::optional<std::int32_t>> orphanParts;
  const std::unordered_set<std::uint32_t> copies =
      JoinByRowId(keys, chatOfMessage, rows, bodies, chatOfRow, orphanParts);

  // Messages in "Recently Deleted": the row stays in message and is the user's deletion. A
  // message whose row is gone too comes back from its parts.
  const auto partsText = [&](std::uint32_t rowId) {
    std::string text;
    for (auto it = recoverableParts.lower_bound({rowId, INT64_MIN});
         it != recoverableParts.end() && it->first.first == rowId; ++it) {
      if (!text.empty()) text += "\n";
      text += it->second;
    }
    return text;
  };
  const auto recentlyDeleted = [&](const ParsedMessage& m) {
    return m.rowId != 0 && recoverableChatOf.contains(m.rowId);
  };

  // Tapbacks, once the carved copies are left out and the texts of recently deleted rows are
  // known.
  std::erase_if(tapbacks, [&](const TapbackRow& t) { return copies.contains(t.row.index); });
  for (TapbackRow& t : tapbacks) {
    if (!legacy) {
      const auto it = addressOfHandle.find(t.row.handleId);
      t.address = it == addressOfHandle.end() ? SharedText() : it->second;
    }
    if (!t.row.hasText && recentlyDeleted(t.row) && !partsText(t.row.rowId).empty())
      t.row.hasText = true;
  }
  TapbackOutcome reactions = ApplyTapbacks(tapbacks, rows, copies, names);
  std::vector<TapbackRow>().swap(tapbacks);

  // Conversations. Each listed message goes to the sort with its conversation; the
  // conversations' sizes and latest messages are counted on the way.
  std::unordered_map<std::int64_t, SharedText> peopleText;
  for (const auto& [chat, people] : peopleOfChat) peopleText[chat] = PeopleText(people, names);
  struct Conversation {
    std::uint32_t count = 0;
    bool anyDeleted = false;
    ParsedMessage latest;
  };
  std::unordered_map<std::int32_t, Conversation> conversations;
  MessageSorter ordered(context.spillFolder,
                        context.sortMemoryBytes != 0 ? context.sortMemoryBytes : kSortMemoryBytes);
  // `joined`: the chat chat_message_join gives the row.
  const auto place = [&](ParsedMessage& m, std::optional<std::int32_t> joined) {
    // A message with neither text nor file is not listed.
    if (m.dropped || (!m.hasText && (m.rowId == 0 || !attachmentsOf.contains(m.rowId)))) return;
    std::int64_t chat = 0;
    bool found = false;
    if (legacy) {
      chat = m.handleId;
      found = true;
    } else if (hasChats) {
      if (m.rowId != 0 && joined) {
        chat = *joined;
        found = true;
      } else if (auto r = recoverableChatOf.find(m.rowId);
                 m.rowId != 0 && r != recoverableChatOf.end()) {
        chat = r->second;
        found = true;
      } else if (auto o = oneToOneChatOfHandle.find(m.handleId); o != oneToOneChatOfHandle.end()) {
        chat = o->second;
        found = true;
      } else {
        chat = -static_cast<std::int64_t>(m.handleId);
      }
    } else {
      chat = m.handleId;
    }
    m.conversationId = Key32(chat);
    m.inChat = found;
    Conversation& conversation = conversations[m.conversationId];
    if (conversation.count == 0 || !OutputOrder()(m, conversation.latest)) conversation.latest = m;
    ++conversation.count;
    conversation.anyDeleted |= m.deleted;
    ordered.Add(m);
  };
  std::string scratch;
  MessageBody body;
  MessageRows::Cursor cursor(rows);
  ParsedMessage row;
  KeyedChat rowChat;
  bool haveChat = chatOfRow.Next(rowChat);
  while (cursor.Next(row)) {
    if (copies.contains(row.index)) continue;
    if (recentlyDeleted(row)) {
      row.deleted = true;
      if (!row.hasText) {
        const std::string text = partsText(row.rowId);
        if (!text.empty() && ReadBody(bodies, row, scratch, body))
          SpillBody(bodies, body.dateText, body.address, text, row, scratch);
      }
    }
    row.dropped = reactions.dropped.contains(row.index);
    while (haveChat && rowChat.key < row.index) haveChat = chatOfRow.Next(rowChat);
    place(row, haveChat && rowChat.key == row.index ? std::optional(rowChat.chat) : std::nullopt);
  }
  bool lost = cursor.failed();
  std::uint64_t nextIndex = rows.size();
  // The parts of a ROWID no row has come back as messages of their own (one for each part).
  for (const auto& [key, part] : recoverableParts) {
    if (key.first > UINT32_MAX || nextIndex >= UINT32_MAX) continue;
    const auto orphan =
        key.first > 0 ? orphanParts.find(static_cast<std::uint32_t>(key.first)) : orphanParts.end();
    if (key.first > 0 && orphan == orphanParts.end()) continue;
    ParsedMessage added;
    added.deleted = true;
    added.rowId = static_cast<std::uint32_t>(key.first);
    added.index = static_cast<std::uint32_t>(nextIndex++);
    SpillBody(bodies, {}, {}, part, added, scratch);
    place(added, orphan == orphanParts.end() ? std::nullopt : orphan->second);
  }
  lost |= keys.failed() || chatOfMessage.failed() || chatOfRow.failed();
  ordered.Finish();

  // Few addresses, many messages: each address is looked up once, and its messages share
  // one copy of the address and of the name.
  TextPool addresses;
  std::unordered_map<std::string_view, SharedText> nameOfAddress;
  // The fields a message takes from the joins; `address` is the row's own (oldest layout).
  const auto join = [&](const ParsedMessage& p, std::string_view address, MessageRecord& m) {
    CopyRowFields(p, m);
    m.conversationId = p.conversationId;
    if (!legacy) {
      const auto it = addressOfHandle.find(p.handleId);
      address = it == addressOfHandle.end() ? std::string_view() : it->second.view();
    }
    if (!address.empty()) {
      m.address = addresses.Intern(address);
      auto [it, fresh] = nameOfAddress.try_emplace(m.address.view());
      if (fresh) it->second = names.NameOf(m.address);
      m.contactName = it->second;
    }
    if (p.inChat) {
      if (auto it = peopleText.find(p.conversationId); it != peopleText.end())
        m.conversation = it->second;
    }
  };
  OrderedMessages out(ordered, bodies);
  ParsedMessage p;
  bool bodyRead = false;
  bool open = false;
  std::int32_t current = 0;
  while (out.Next(p, body, bodyRead)) {
    if (!open || p.conversationId != current) {
      if (open) sink.EndConversation();
      const Conversation& conversation = conversations[p.conversationId];
      MessageBody latestBody;
      if (legacy) ReadBody(bodies, conversation.latest, scratch, latestBody);
      MessageRecord last;
      join(conversation.latest, latestBody.address, last);
      sink.BeginConversation(p.conversationId, conversation.count, last, conversation.anyDeleted);
      open = true;
      current = p.conversationId;
    }
    MessageRecord m;
    join(p, body.address, m);
    if (bodyRead) {
      m.dateText = body.dateText;
      m.text = std::move(body.text);
    }
    if (p.rowId != 0) {
      if (auto it = attachmentsOf.find(p.rowId); it != attachmentsOf.end()) {
        m.attachments = it->second;
        m.attachmentPath = m.attachments.front();
      }
    }
    if (auto it = reactions.reactionsOf.find(p.index); it != reactions.reactionsOf.end())
      m.reactions = std::move(it->second);
    sink.Message(std::move(m));
  }
  if (open) sink.EndConversation();
  lost |= ordered.failed();
  if (lost) {
    Report(context.findings,
           {std::string(kSmsLabel), "message", "the rows set aside on disk",
            "could not all be read back (the temporary file failed); some messages are missing"});
  }
  return kResultOk;
}

namespace {

// Gathers the conversations into a map of their own.
class MapSink : public ConversationSink {
 public:
  void BeginConversation(std::int32_t key, std::size_t count, const MessageRecord&, bool) override {
    list_ = &map_[key];
    list_->reserve(count);
  }
  void Message(MessageRecord&& message) override { list_->push_back(std::move(message)); }
  void EndConversation() override { list_ = nullptr; }
  ConversationMap& Map() { return map_; }

 private:
  ConversationMap map_;
  std::vector<MessageRecord>* list_ = nullptr;
};

}  // namespace

Result ParseMessages(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     ConversationMap& conversations, const std::filesystem::path& messagesDbPath,
                     std::uint64_t& highestRowId) {
  MapSink grouped;
  const Result result =
      ParseMessages(context, addressBookPath, grouped, messagesDbPath, highestRowId);
  if (result != kResultOk) return result;
  if (conversations.empty()) {
    conversations.swap(grouped.Map());
  } else {
    for (auto& [key, list] : grouped.Map()) {
      auto& target = conversations[key];
      target.insert(target.end(), std::make_move_iterator(list.begin()),
                    std::make_move_iterator(list.end()));
    }
  }
  return kResultOk;
}

namespace {

// One row of the message dump, the values of its columns in column order:
//   rowid           the row's own, or the next number after the highest rowid
//   NULL, ""        NULL
//   integers        decimal; the constants 0 and 1 without a comma in the last column
//   attributedBody  lowercase hexadecimal
//   other texts     quoted, with ' and " doubled
// A deleted row gets a new guid, is_finished 1, date and date_read of now (date_read 0 when
// it was sent by the owner) and is_read 1 unless sent by the owner.
Result DumpMessageRow(TableReader& reader, const DumpColumns& at, const RecordView& view,
                      std::int64_t appleNow, std::string& line) {
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
      if (c == at.text && !IsCleanUtf8(AsText(value))) return kResultInvalid;
      if (c == at.attributedBody) {
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
    if (at.guid < end) entries[at.guid] = guid;
    // A deleted row must still carry its 36-character account guid.
    const RecordColumn* account = record.Column(at.accountGuid);
    if (account == nullptr || account->value.size() != kGuidLength) return kResultInvalid;
    for (std::uint8_t b : account->value) {
      if (b < 0x2D || b > 0x7A) return kResultInvalid;
    }
  }
  entries[last] += "\r\n";
  if (view.deleted) {
    const bool fromMe = IntegerOr0(record.Column(at.isFromMe)) == 1;
    const std::string now = std::to_string(appleNow) + ",";
    // Only columns before the last are rewritten, so the line end stays in place.
    const auto set = [&](std::uint32_t c, const std::string& value) {
      if (c < last) entries[c] = value;
    };
    set(at.isFinished, "1,");
    set(at.date, now);
    set(at.dateRead, fromMe ? "0," : now);
    set(at.isRead, fromMe ? "0," : "1,");
  }
  line.clear();
  for (const std::string& entry : entries) line += entry;
  return kResultOk;
}

// The dump's columns: the fixed places for the 38/51-column tables, else by name.
DumpColumns DumpColumnsOf(const TableSchema& schema) {
  DumpColumns at;
  const std::uint32_t count = schema.ColumnCount();
  if (count == kOlderMessageColumns || count == kNewerMessageColumns) return at;
  at.guid = schema.Find("guid");
  at.text = schema.Find("text");
  at.attributedBody = schema.Find("attributedBody");
  at.accountGuid = schema.Find("account_guid");
  at.date = schema.Find("date");
  at.dateRead = schema.Find("date_read");
  at.isFinished = schema.Find("is_finished");
  at.isFromMe = schema.Find("is_from_me");
  at.isRead = schema.Find("is_read");
  return at;
}

}  // namespace

Result DumpMessageRows(const std::filesystem::path& messagesDbPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       std::optional<std::int64_t> appleNow) {
  TableReader reader;
  reader.Learned().highestMessageRowId = highestRowId;
  const Result opened = reader.OpenDatabase(messagesDbPath);
  if (opened != kResultOk) return opened;
  const DumpColumns at = DumpColumnsOf(reader.SchemaOr("message", kFallbackMessageSql));
  // A file that cannot be opened skips every row, as a row whose file did not open is
  // skipped.
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(outputFile.c_str(), "ab"), &std::fclose);
  const std::int64_t now = appleNow.value_or(AppleNow());
  std::string line;
  return reader.ScanTable("message", [&](const RecordView& view) {
    const Result result = DumpMessageRow(reader, at, view, now, line);
    if (result == kResultOk && out) std::fwrite(line.data(), 1, line.size(), out.get());
    return result;
  });
}

}  // namespace kestrio
