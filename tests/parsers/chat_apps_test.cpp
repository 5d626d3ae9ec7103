#include "parsers/chat_apps.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>
#include <cstdio>

#include <set>

#include "base/time_text.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

using testing::Quote;
using testing::RowSql;
using testing::TableSql;

constexpr int kQQColumns = 50;
constexpr int kWeChatColumns = 9;
constexpr std::int64_t kBaseTime = 1600000000;  // 2020-09-13 12:26:40 UTC

class ChatAppsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// The text of message `id` of a table, long enough that freed cells keep a 2-byte payload
// length and so every column's serial type.
std::string Text(const std::string& table, int id) {
  return "message " + std::to_string(id) + " of " + table +
         " - see you at the station at six, and bring the tickets and an umbrella";
}

std::string QQMessage(const std::string& table, int id, std::int64_t date, bool fromMe) {
  return RowSql(table, kQQColumns, id,
                {{1, Quote(Text(table, id))},
                 {2, std::to_string(date)},
                 {4, fromMe ? "0" : "1"},
                 {6, Quote(fromMe ? "" : "Xiao Ming")}});
}

std::string WeChatMessage(const std::string& table, int id, std::int64_t date, bool fromMe) {
  return RowSql(table, kWeChatColumns, id,
                {{3, std::to_string(date)}, {4, Quote(Text(table, id))}, {8, fromMe ? "0" : "1"}});
}

std::vector<std::string> Texts(const std::vector<ChatAppMessageRecord>& messages) {
  std::vector<std::string> texts;
  for (const auto& m : messages) texts.push_back(m.text);
  return texts;
}

TEST_F(ChatAppsTest, WeChatTableNamesAreLowercaseMd5OfTheUserName) {
  EXPECT_EQ(WeChatTableName(""), "Chat_d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(WeChatTableName("abc"), "Chat_900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(ChatAppsTest, QQConversationsSortedOnlyAboveTwoMessagesWithFlagsSendersAndRowIds) {
  fixtures::TempDir dir;
  std::string sql = "CREATE TABLE tb_c2cTables (name TEXT);" + TableSql("tb_c2cMsg_1001", 50) +
                    TableSql("tb_c2cMsg_1002", 50) + TableSql("tb_c2cMsg_1003", 50) +
                    "INSERT INTO tb_c2cTables VALUES ('tb_c2cMsg_1001'), ('tb_c2cMsg_1002'), "
                    "('tb_c2cMsg_1003'), ('tb_c2cMsg_missing');";
  // Five messages out of date order, two of them at the same second.
  const std::int64_t dates[] = {500, 100, 300, 100, 200};
  for (int id = 1; id <= 5; ++id)
    sql += QQMessage("tb_c2cMsg_1001", id, kBaseTime + dates[id - 1], id % 2 == 0);
  // Two messages out of date order stay as they are.
  sql += QQMessage("tb_c2cMsg_1002", 1, kBaseTime + 900, false) +
         QQMessage("tb_c2cMsg_1002", 2, kBaseTime + 10, true);
  testing::ExecSql(dir / "QQ.db", sql);

  ChatAppConversationMap conversations;
  ASSERT_EQ(ParseQQ(dir / "QQ.db", conversations), kResultOk);
  ASSERT_EQ(conversations.size(), 2u);  // the empty and the missing table give no entry
  const auto& first = conversations.at("tb_c2cMsg_1001");
  ASSERT_EQ(first.size(), 5u);
  const std::uint32_t order[] = {2, 4, 5, 3, 1};  // equal dates keep scan order
  for (std::size_t i = 0; i < 5; ++i) {
    const ChatAppMessageRecord& m = first[i];
    EXPECT_EQ(m.rowId, order[i]);
    EXPECT_FALSE(m.deleted);
    EXPECT_EQ(m.text, Text("tb_c2cMsg_1001", static_cast<int>(order[i])));
    EXPECT_EQ(m.dateText, UnixTimeText(kBaseTime + dates[order[i] - 1]));
    EXPECT_EQ(m.isFromMe, order[i] % 2 == 0);
    EXPECT_EQ(m.senderName, m.isFromMe ? "" : "Xiao Ming");
  }
  EXPECT_EQ(first[0].dateText, "2020-09-13 12:28:20");
  const auto& second = conversations.at("tb_c2cMsg_1002");
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].rowId, 1u);
  EXPECT_EQ(second[1].rowId, 2u);
}

TEST_F(ChatAppsTest, QQFlagsOtherThanTheTwoConstantsAreNotTheOwnersAndWideDatesAreEmpty) {
  fixtures::TempDir dir;
  const std::string table = "tb_c2cMsg_2001";
  std::string sql = "CREATE TABLE tb_c2cTables (name TEXT);" + TableSql(table, 50) +
                    "INSERT INTO tb_c2cTables VALUES ('" + table + "');";
  // Flag 2 is a one-byte integer, not the constant 0 or 1; the date 2^40 needs 6 bytes.
  sql += RowSql(table, kQQColumns, 1, {{1, "'a'"}, {2, "1099511627776"}, {4, "2"}});
  sql += RowSql(table, kQQColumns, 2, {{1, "'b'"}, {2, "-5"}, {4, "0"}});
  testing::ExecSql(dir / "QQ.db", sql);
  ChatAppConversationMap conversations;
  ASSERT_EQ(ParseQQ(dir / "QQ.db", conversations), kResultOk);
  const auto& messages = conversations.at(table);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_FALSE(messages[0].isFromMe);
  EXPECT_EQ(messages[0].dateText, "");
  EXPECT_TRUE(messages[1].isFromMe);
  EXPECT_EQ(messages[1].dateText, "1969-12-31 23:59:55");
}

TEST_F(ChatAppsTest, QQDeletedMessagesAreCarvedAndFreedPagesKeptApartOnce) {
  fixtures::TempDir dir;
  std::string sql = "PRAGMA page_size=1024; CREATE TABLE tb_c2cTables (name TEXT);" +
                    TableSql("tb_c2cMsg_a", 50) + TableSql("tb_c2cMsg_b", 50) +
                    TableSql("tb_c2cMsg_gone", 50) +
                    "INSERT INTO tb_c2cTables VALUES ('tb_c2cMsg_a'), ('tb_c2cMsg_b'), "
                    "('tb_c2cMsg_a');BEGIN;";
  for (int id = 1; id <= 40; ++id) {
    sql += QQMessage("tb_c2cMsg_a", id, kBaseTime + id, id % 3 == 0);
    sql += QQMessage("tb_c2cMsg_b", id, kBaseTime + id, false);
    sql += QQMessage("tb_c2cMsg_gone", id, kBaseTime + id, false);
  }
  sql += "COMMIT; DELETE FROM tb_c2cMsg_a WHERE Z_PK % 4 = 0; DROP TABLE tb_c2cMsg_gone;";
  testing::ExecSql(dir / "QQ.db", sql);

  ChatAppConversationMap conversations;
  ASSERT_EQ(ParseQQ(dir / "QQ.db", conversations), kResultOk);
  const auto& a = conversations.at("tb_c2cMsg_a");
  std::set<std::string> deleted;
  std::size_t live = 0;
  for (const auto& m : a) {
    EXPECT_NE(m.text.find("of tb_c2cMsg_a"), std::string::npos) << m.text;
    if (m.deleted) {
      EXPECT_EQ(m.rowId, 0u);
      deleted.insert(m.text);
    } else {
      ++live;
    }
  }
  EXPECT_EQ(live, 30u);  // listed twice, read once
  EXPECT_GE(deleted.size(), 8u) << "of 10 deleted";
  EXPECT_EQ(conversations.at("tb_c2cMsg_b").size(), 40u);

  // The dropped table's pages are on the freelist: their rows are found once, apart.
  const auto& unknown = conversations.at(std::string(kUnknownChatKey));
  std::set<std::string> gone;
  for (const auto& m : unknown) {
    EXPECT_TRUE(m.deleted);
    EXPECT_NE(m.text.find("of tb_c2cMsg_gone"), std::string::npos) << m.text;
    gone.insert(m.text);
  }
  EXPECT_EQ(gone.size(), 40u);
  EXPECT_EQ(unknown.size(), 40u);
  for (std::size_t i = 1; i < unknown.size(); ++i)
    EXPECT_LE(unknown[i - 1].dateText, unknown[i].dateText);
}

std::string Friend(int id, const std::string& userName, const std::string& nickName, int type) {
  return RowSql("Friend", 13, id,
                {{1, Quote(userName)}, {2, Quote(nickName)}, {6, std::to_string(type)}});
}

TEST_F(ChatAppsTest, WeChatChatsByFriendAndFreedChatPagesUnderUnknown) {
  fixtures::TempDir dir;
  const std::string anna = WeChatTableName("wxid_anna");
  const std::string ben = WeChatTableName("wxid_ben");
  const std::string gone = WeChatTableName("wxid_gone");
  std::string sql = "PRAGMA page_size=1024;" + TableSql("Friend", 13) +
                    TableSql(anna, kWeChatColumns) + TableSql(ben, kWeChatColumns) +
                    TableSql(gone, kWeChatColumns) + Friend(1, "wxid_anna", "Anna", 1) +
                    Friend(2, "wxid_ben", "Ben", 1) + Friend(3, "wxid_nochat", "Carl", 3) +
                    "BEGIN;";
  for (int id = 1; id <= 30; ++id) {
    sql += WeChatMessage(anna, id, kBaseTime + 1000 - id, id % 2 == 1);
    sql += WeChatMessage(gone, id, kBaseTime + id, false);
  }
  sql += WeChatMessage(ben, 1, kBaseTime + 50, false) + WeChatMessage(ben, 2, kBaseTime, true);
  sql += "COMMIT; DELETE FROM " + anna + " WHERE Z_PK % 5 = 0; DROP TABLE " + gone +
         "; DELETE FROM Friend WHERE Z_PK = 3;";
  testing::ExecSql(dir / "MM.sqlite", sql);

  ChatAppConversationMap conversations;
  ASSERT_EQ(ParseWeChat(dir / "MM.sqlite", conversations), kResultOk);
  EXPECT_EQ(conversations.count("wxid_nochat"), 0u);
  const auto& annaChat = conversations.at("wxid_anna");
  std::size_t live = 0, deleted = 0;
  for (std::size_t i = 0; i < annaChat.size(); ++i) {
    const ChatAppMessageRecord& m = annaChat[i];
    EXPECT_NE(m.text.find(anna), std::string::npos);
    EXPECT_TRUE(m.senderName.empty());
    if (i > 0) {
      EXPECT_LE(annaChat[i - 1].dateText, m.dateText);
    }
    (m.deleted ? deleted : live)++;
    if (!m.deleted) {
      EXPECT_EQ(m.isFromMe, m.rowId % 2 == 1);
    } else {
      // Only rows that were deleted: a freed page's copy of a live row is no deleted message.
      int id = 0;
      EXPECT_EQ(std::sscanf(m.text.c_str(), "message %d", &id), 1) << m.text;
      EXPECT_EQ(id % 5, 0) << m.text;
    }
  }
  EXPECT_EQ(live, 24u);
  // Of the 6 deleted rows, 20 and 25 were overwritten when the deletes rebalanced the
  // table's pages and 30 lies on a freelist trunk page among copies of live rows.
  EXPECT_GE(deleted, 3u);
  EXPECT_EQ(Texts(conversations.at("wxid_ben")),
            (std::vector<std::string>{Text(ben, 1), Text(ben, 2)}));

  // A freed page belongs to no table: its rows come under the unknown chat, but not the
  // copies of rows that are live in a chat.
  std::set<std::string> unknown;
  for (const auto& m : conversations.at(std::string(kUnknownChatKey))) {
    EXPECT_TRUE(m.deleted);
    if (m.text.find(anna) != std::string::npos) {
      int id = 0;
      EXPECT_EQ(std::sscanf(m.text.c_str(), "message %d", &id), 1) << m.text;
      EXPECT_EQ(id % 5, 0) << m.text;
    } else {
      EXPECT_NE(m.text.find(gone), std::string::npos) << m.text;
      unknown.insert(m.text);
    }
  }
  EXPECT_EQ(unknown.size(), 30u);
}

TEST_F(ChatAppsTest, BrokenTextsRejectRowsAndBrokenFilesReportErrors) {
  fixtures::TempDir dir;
  const std::string table = WeChatTableName("wxid_x");
  testing::ExecSql(dir / "MM.sqlite",
                   TableSql("Friend", 13) + TableSql(table, kWeChatColumns) +
                       Friend(1, "wxid_x", "X", 1) +
                       RowSql(table, kWeChatColumns, 1, {{3, "1"}, {4, "'fine'"}}) +
                       RowSql(table, kWeChatColumns, 2, {{3, "2"}, {4, "CAST(x'c328' AS TEXT)"}}));
  ChatAppConversationMap conversations;
  ASSERT_EQ(ParseWeChat(dir / "MM.sqlite", conversations), kResultOk);
  EXPECT_EQ(Texts(conversations.at("wxid_x")), std::vector<std::string>{"fine"});

  conversations.clear();
  EXPECT_EQ(ParseQQ(dir / "absent.db", conversations), kResultSystemBase + ENOENT);
  testing::WriteBytes(dir / "junk.db", std::vector<std::uint8_t>(4096, 0x5A));
  EXPECT_EQ(ParseWeChat(dir / "junk.db", conversations), kResultInvalid);
  EXPECT_TRUE(conversations.empty());
}

}  // namespace
}  // namespace kestrio
