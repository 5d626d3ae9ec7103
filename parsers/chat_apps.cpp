#include "parsers/chat_apps.h"

#include <openssl/evp.h>

#include <set>

#include "base/time_text.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

struct MessageColumns {
  std::uint32_t text;
  std::uint32_t date;
  std::uint32_t flag;
  std::optional<std::uint32_t> sender;
};

constexpr MessageColumns kQQColumns{1, 2, 4, 6};
constexpr MessageColumns kWeChatColumns{4, 3, 8, std::nullopt};
constexpr std::uint32_t kFriendUserNameColumn = 1;
constexpr std::uint32_t kFriendNickNameColumn = 2;
constexpr std::uint32_t kFriendTypeColumn = 6;
// The names under which freelist pages are searched: no table has them, so only freelist
// leaves whose first row has a message table's column count are read.
constexpr std::string_view kWeChatFreePages = "Chat_FreePageNumber";
constexpr std::string_view kQQFreePages = "tb_c2cMsg_FreePageNumber";

// Integers stored in 1 to 4 bytes (serial types 1 to 4).
std::optional<std::int64_t> SmallInteger(const RecordColumn* column) {
  if (column == nullptr || column->serialType < 1 || column->serialType > 4) return std::nullopt;
  return column->Integer();
}

bool DecodeMessage(const MessageColumns& columns, const RecordView& view,
                   const DecodedRecord& record, ChatAppMessageRecord& message) {
  if (!LenientText(record.Column(columns.text), message.text)) return false;
  if (columns.sender && !LenientText(record.Column(*columns.sender), message.senderName))
    return false;
  message.deleted = view.deleted;
  message.rowId = view.carved ? 0 : static_cast<std::uint32_t>(record.rowId);
  // The flag is stored as SQLite's constant 0 (serial type 8) for the owner's messages.
  const RecordColumn* flag = record.Column(columns.flag);
  message.isFromMe = flag != nullptr && flag->serialType == 8;
  if (const auto seconds = SmallInteger(record.Column(columns.date)))
    message.dateText = UnixTimeText(*seconds);
  // Free space of zeros reads as records of NULLs: a carved message needs a date and a text.
  return !view.carved || (!message.dateText.empty() && !message.text.empty());
}

enum class Pages { kTableOnly, kFreelistOnly };

// Scans one message table; a failure ends this table only. Every message table of a
// database has the same column count, so a freelist page cannot be told to belong to one
// of them: freelist rows are read once, for no table, and kept apart.
std::vector<ChatAppMessageRecord> ScanMessages(TableReader& reader, std::string_view table,
                                               const MessageColumns& columns, Pages pages) {
  std::vector<ChatAppMessageRecord> messages;
  ScanInto(reader, table, messages,
           [&](const RecordView& view, const DecodedRecord& record, ChatAppMessageRecord& out) {
             if (view.freePage != (pages == Pages::kFreelistOnly)) return false;
             return DecodeMessage(columns, view, record, out);
           });
  return messages;
}

// Conversations of one or two messages stay in scan order; longer ones go by date, equal
// dates in scan order.
void StoreConversation(ChatAppConversationMap& conversations, const std::string& key,
                       std::vector<ChatAppMessageRecord> messages) {
  if (messages.empty()) return;
  if (messages.size() > 2) {
    std::vector<ChatAppMessageRecord> sorted;
    sorted.reserve(messages.size());
    for (std::uint32_t i : DateOrder(messages)) sorted.push_back(std::move(messages[i]));
    messages = std::move(sorted);
  }
  auto& stored = conversations[key];
  stored.insert(stored.end(), std::make_move_iterator(messages.begin()),
                std::make_move_iterator(messages.end()));
}

}  // namespace

std::string WeChatTableName(std::string_view userName) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string name = "Chat_";
  if (EVP_Digest(userName.data(), userName.size(), digest, &length, EVP_md5(), nullptr) == 1)
    AppendHex(name, Bytes(digest, length));
  return name;
}

Result ParseQQ(const std::filesystem::path& qqDbPath, ChatAppConversationMap& conversations,
               FindingsSink* findings) {
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(qqDbPath); opened != kResultOk) return opened;
  std::vector<std::string> tables;
  const Result listed =
      ScanInto(reader, "tb_c2cTables", tables,
               [](const RecordView&, const DecodedRecord& record, std::string& name) {
                 return LenientText(record.Column(0), name) && !name.empty();
               });
  if (listed != kResultOk) return listed;
  // A carved copy of a listed name must not read its table twice.
  std::set<std::string_view> seen;
  for (const std::string& table : tables) {
    if (!seen.insert(table).second) continue;
    StoreConversation(conversations, table,
                      ScanMessages(reader, table, kQQColumns, Pages::kTableOnly));
  }
  StoreConversation(conversations, std::string(kUnknownChatKey),
                    ScanMessages(reader, kQQFreePages, kQQColumns, Pages::kFreelistOnly));
  return kResultOk;
}

Result ParseWeChat(const std::filesystem::path& mmSqlitePath, ChatAppConversationMap& conversations,
                   FindingsSink* findings) {
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(mmSqlitePath); opened != kResultOk) return opened;
  std::vector<WeChatFriend> friends;
  const Result listed = ScanInto(
      reader, "Friend", friends,
      [](const RecordView& view, const DecodedRecord& record, WeChatFriend& friendRow) {
        friendRow.deleted = view.deleted;
        friendRow.friendType =
            static_cast<std::int32_t>(SmallInteger(record.Column(kFriendTypeColumn)).value_or(0));
        return LenientText(record.Column(kFriendUserNameColumn), friendRow.userName) &&
               LenientText(record.Column(kFriendNickNameColumn), friendRow.nickName);
      });
  if (listed != kResultOk) return listed;
  std::set<std::string_view> seen;
  for (const WeChatFriend& friendRow : friends) {
    if (friendRow.userName.empty() || !seen.insert(friendRow.userName).second) continue;
    StoreConversation(conversations, friendRow.userName,
                      ScanMessages(reader, WeChatTableName(friendRow.userName), kWeChatColumns,
                                   Pages::kTableOnly));
  }
  StoreConversation(conversations, std::string(kUnknownChatKey),
                    ScanMessages(reader, kWeChatFreePages, kWeChatColumns, Pages::kFreelistOnly));
  return kResultOk;
}

}  // namespace kestrio
