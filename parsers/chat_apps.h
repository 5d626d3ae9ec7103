// Two more messaging apps whose chats are kept in SQLite, read with the raw reader only.
//
// QQ (QQ.db):
//   tb_c2cTables   one column: the name of each per-friend message table
//   tb_c2cMsg...   1 text, 2 date (Unix seconds, a 1- to 4-byte integer), 4 flag (constant 0
//                  = sent by the owner, constant 1 = received), 6 sender name; 50 columns
// WeChat (MM.sqlite):
//   Friend         1 userName, 2 nickName, 6 type
//   Chat_<md5>     one table per friend, named by the lowercase hex MD5 of the friend's
//                  userName: 3 date (Unix seconds), 4 text, 8 flag (as in QQ); 9 columns
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/findings.h"
#include "base/result.h"

namespace kestrio {

struct ChatAppMessageRecord {
  bool deleted = false;
  bool isFromMe = false;
  std::uint32_t rowId = 0;  // 0 when carved
  std::string dateText;
  std::string senderName;  // QQ only
  std::string text;
};

struct WeChatFriend {
  bool deleted = false;
  std::int32_t friendType = 0;
  std::string userName;
  std::string nickName;
};

// Conversation key -> its messages, in date order when there are more than two.
using ChatAppConversationMap = std::map<std::string, std::vector<ChatAppMessageRecord>>;

// Messages found on freelist pages belong to no table that can be named; both parsers keep
// them under this key.
inline constexpr std::string_view kUnknownChatKey = "Unknown";

// Keyed by message table name; freelist messages under "Unknown". The reader's open error or the
// table list's scan result; a failing message table ends that table only.
Result ParseQQ(const std::filesystem::path& qqDbPath, ChatAppConversationMap& conversations,
               FindingsSink* findings = nullptr);

// Keyed by the friend's userName; messages found only on freelist pages go under "Unknown".
// The reader's open error or the friend list's scan result; a failing chat table ends that
// table only.
Result ParseWeChat(const std::filesystem::path& mmSqlitePath, ChatAppConversationMap& conversations,
                   FindingsSink* findings = nullptr);

// "Chat_" and the 32 lowercase hex digits of the MD5 digest of `userName`.
std::string WeChatTableName(std::string_view userName);

}  // namespace kestrio
