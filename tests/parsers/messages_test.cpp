#include "parsers/messages.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <set>

#include "base/findings.h"
#include "base/time_text.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

// Dates are compared as local time texts: pin the zone.
class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/New_York", 1);
    tzset();
  }
};

// An address book with one contact whose phone text contains `address`.
void WriteBookFor(const std::filesystem::path& path, const std::string& address) {
  std::string columns = "docid INTEGER PRIMARY KEY";
  for (int i = 0; i < 23; ++i) columns += ", c" + std::to_string(i);
  std::string values = "1, 'Known', 'Person'";
  for (int c = 3; c < 24; ++c) values += c == 16 ? ", '0000000 " + address + " '" : ", NULL";
  testing::ExecSql(path, "CREATE TABLE ABPersonFullTextSearch_content (" + columns +
                             "); INSERT INTO ABPersonFullTextSearch_content VALUES (" + values +
                             ");");
}

std::string ExpectedDate(const fixtures::MessageRow& row) {
  return AppleTimeText(row.dateInNanoseconds ? row.date / 1000000000 : row.date);
}

struct MessagesCase {
  int columns;
  bool nanoseconds;
  int pageSize;
};

class MessagesLayout : public MessagesTest, public ::testing::WithParamInterface<MessagesCase> {};

TEST_P(MessagesLayout, LiveMessagesExactJoinsFilledDeletedOnesRecovered) {
  const MessagesCase layout = GetParam();
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.messageColumns = layout.columns;
  options.nanosecondDates = layout.nanoseconds;
  options.pageSize = layout.pageSize;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);

  std::map<std::int64_t, std::string> liveHandles;
  for (const auto& h : db.handles) {
    if (!h.deleted) liveHandles[h.rowId] = h.address;
  }
  ASSERT_FALSE(liveHandles.empty());
  const std::string knownAddress = liveHandles.begin()->second;
  WriteBookFor(dir / "ab.db", knownAddress);
  std::map<std::int64_t, std::string> fileOfMessage;
  for (const auto& a : db.attachments) {
    if (!a.deleted) fileOfMessage.try_emplace(a.messageId, a.fileName);
  }
  // Chats of the fixture: one per handle with the handle's ROWID, and one more for handle 0.
  const std::int32_t groupChat = static_cast<std::int32_t>(db.handles.size()) + 1;

  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages({}, dir / "ab.db", conversations, db.path, highest), kResultOk);

  std::map<std::uint32_t, const MessageRecord*> live;
  std::multiset<std::string> deletedTexts;
  for (const auto& [handle, list] : conversations) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const MessageRecord& m = list[i];
      EXPECT_EQ(m.conversationId, handle);
      EXPECT_FALSE(m.text.empty() && m.attachments.empty());
      if (i > 0) {
        EXPECT_LE(list[i - 1].dateText, m.dateText) << "conversation " << handle;
      }
      if (m.deleted) {
        deletedTexts.insert(m.text);
      } else {
        EXPECT_TRUE(live.emplace(m.rowId, &m).second) << "live rowid twice: " << m.rowId;
      }
    }
  }

  std::int64_t maxLive = 0;
  int deletedWithText = 0, deletedFound = 0, linked = 0, named = 0;
  std::size_t liveWithText = 0;
  for (const fixtures::MessageRow& row : db.messages) {
    const bool hasText = row.text && !row.text->empty();
    const bool hasFile = fileOfMessage.count(row.rowId) != 0;
    if (row.deleted) {
      if (!hasText) continue;
      ++deletedWithText;
      deletedFound += deletedTexts.count(*row.text) ? 1 : 0;
      continue;
    }
    maxLive = std::max(maxLive, row.rowId);
    auto it = live.find(static_cast<std::uint32_t>(row.rowId));
    if (!hasText && !hasFile) {
      EXPECT_EQ(it, live.end()) << "a message without text or file is never listed: " << row.rowId;
      continue;
    }
    ++liveWithText;
    ASSERT_NE(it, live.end()) << "live message missing: " << row.rowId;
    const MessageRecord& m = *it->second;
    EXPECT_EQ(m.text, row.text.value_or(""));
    EXPECT_EQ(m.handleId, row.handleId);
    // Live messages are in their chat, whose ROWID is the handle's or the group's.
    EXPECT_EQ(m.conversationId, row.handleId == 0 ? groupChat : row.handleId) << row.rowId;
    EXPECT_EQ(m.isFromMe, row.isFromMe);
    EXPECT_EQ(m.dateText, ExpectedDate(row));
    auto handle = liveHandles.find(row.handleId);
    EXPECT_EQ(m.address, handle == liveHandles.end() ? "" : handle->second) << row.rowId;
    if (m.address == knownAddress) {
      EXPECT_EQ(m.contactName, "Known Person");
      ++named;
    } else {
      EXPECT_EQ(m.contactName, "");
    }
    auto file = fileOfMessage.find(row.rowId);
    EXPECT_EQ(m.attachmentPath, file == fileOfMessage.end() ? "" : file->second);
    linked += m.attachmentPath.empty() ? 0 : 1;
  }
  EXPECT_EQ(live.size(), liveWithText);
  // A freed page that still holds a copy of a live row does not list that row as deleted.
  for (const auto& [handle, list] : conversations) {
    for (const MessageRecord& m : list) {
      if (!m.deleted || m.rowId == 0) continue;
      auto it = live.find(m.rowId);
      EXPECT_FALSE(it != live.end() && it->second->text == m.text) << "copy of live " << m.rowId;
    }
  }
  EXPECT_EQ(highest, static_cast<std::uint64_t>(maxLive));
  EXPECT_GT(linked, 0);
  EXPECT_GT(named, 0);
  ASSERT_GT(deletedWithText, 10);
  std::printf(
      "live messages: %zu of %zu; deleted messages recovered: %d of %d (%d columns, "
      "page %d)\n",
      live.size(), liveWithText, deletedFound, deletedWithText, layout.columns, layout.pageSize);
  // A floor against breakage; the figure itself is printed above.
  EXPECT_GE(deletedFound * 5, deletedWithText);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MessagesLayout,
                         ::testing::Values(MessagesCase{38, false, 4096},
                                           MessagesCase{51, true, 4096},
                                           MessagesCase{38, true, 1024},
                                           MessagesCase{51, false, 1024}),
                         [](const auto& info) {
                           return "Columns" + std::to_string(info.param.columns) +
                                  (info.param.nanoseconds ? "Nanoseconds" : "Seconds") + "Page" +
                                  std::to_string(info.param.pageSize);
                         });

TEST_F(MessagesTest, ProgressPointsAndStop) {
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.messageCount = 40;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);
  WriteBookFor(dir / "ab.db", "+10000000000");

  std::vector<std::int32_t> points;
  ParseContext context;
  context.progress = {[&](std::int32_t p) {
                        points.push_back(p);
                        return kResultOk;
                      },
                      10, 60};
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages(context, dir / "ab.db", conversations, db.path, highest), kResultOk);
  EXPECT_EQ(points, (std::vector<std::int32_t>{22, 25, 30, 40, 70}));

  // A stop answer ends the parse at once with that answer, and nothing is added.
  ConversationMap untouched;
  int calls = 0;
  context.progress.callback = [&](std::int32_t) { return ++calls == 2 ? kResultStopped : 0; };
  EXPECT_EQ(ParseMessages(context, dir / "ab.db", untouched, db.path, highest), kResultStopped);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(untouched.empty());
}

TEST_F(MessagesTest, MissingFilesGiveTheirErrorAndNoConversations) {
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.messageCount = 20;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);
  ConversationMap conversations;
  std::uint64_t highest = 0;
  EXPECT_EQ(ParseMessages({}, dir / "ab.db", conversations, dir / "none.db", highest),
            kResultSystemBase + ENOENT);
  EXPECT_TRUE(conversations.empty());
  // Without an address book the messages come all the same, without names, and the missing
  // book is a finding.
  FindingsList findings;
  ParseContext context;
  context.findings = &findings;
  EXPECT_EQ(ParseMessages(context, dir / "missing-ab.db", conversations, db.path, highest),
            kResultOk);
  EXPECT_FALSE(conversations.empty());
  for (const auto& [key, list] : conversations) {
    for (const MessageRecord& m : list) EXPECT_EQ(m.contactName, "");
  }
  ASSERT_FALSE(findings.Snapshot().empty());
  EXPECT_EQ(findings.Snapshot().front().file, "AddressBook.sqlitedb");
  conversations.clear();
  testing::WriteBytes(dir / "text.db", std::vector<std::uint8_t>(512, 'x'));
  EXPECT_EQ(ParseMessages({}, dir / "ab.db", conversations, dir / "text.db", highest),
            kResultInvalid);
}

// A 38-column message table written by hand, for exact checks of single rows.
struct SmallMessage {
  int id;
  std::string textSql;  // an SQL expression
  int handle;
  int date;
  int fromMe;
  std::string blobSql = "NULL";
  std::string accountGuid = "11111111-2222-3333-4444-555555555555";
};

void WriteMessageTable(const std::filesystem::path& path, const std::vector<SmallMessage>& rows,
                       const std::string& after) {
  const char* names[] = {"ROWID INTEGER PRIMARY KEY AUTOINCREMENT",
                         "guid",
                         "text",
                         "replace",
                         "service_center",
                         "handle_id",
                         "subject",
                         "country",
                         "attributedBody",
                         "version",
                         "type",
                         "service",
                         "account",
                         "account_guid",
                         "error",
                         "date",
                         "date_read",
                         "date_delivered",
                         "is_delivered",
                         "is_finished",
                         "is_emote",
                         "is_from_me"};
  std::string columns;
  for (const char* name : names) columns += std::string(columns.empty() ? "" : ", ") + name;
  for (int c = 22; c < 38; ++c) columns += ", c" + std::to_string(c);
  std::string sql = "PRAGMA page_size=1024; CREATE TABLE message (" + columns +
                    "); CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT, "
                    "country TEXT, service TEXT, uncanonicalized_id TEXT);"
                    "INSERT INTO handle VALUES (1, '+15550000001', 'us', 'SMS', NULL);"
                    "INSERT INTO handle VALUES (2, '+15550000002', 'us', 'SMS', NULL);";
  for (const SmallMessage& m : rows) {
    std::string v = std::to_string(m.id) + ", 'AAAAAAAA-0000-0000-0000-00000000000" +
                    std::to_string(m.id) + "', " + m.textSql + ", 0, NULL, " +
                    std::to_string(m.handle) + ", NULL, NULL, " + m.blobSql +
                    ", 10, 0, 'SMS', 'e:', '" + m.accountGuid + "', 0, " + std::to_string(m.date) +
                    ", 0, 0, 1, 1, 0, " + std::to_string(m.fromMe);
    for (int c = 22; c < 38; ++c) v += c == 37 ? ", 1" : ", 0";
    sql += "INSERT INTO message VALUES (" + v + ");";
  }
  testing::ExecSql(path, sql + after);
}

void WriteSmallMessages(const std::filesystem::path& path) {
  WriteMessageTable(path,
                    {{1, "'Hello'", 1, 600000000, 1, "X'0aff'"},
                     {2, "'It''s \"quoted\"'", 2, 600000100, 0},
                     {3, "'Gone soon'", 2, 600000200, 0},
                     {4, "'Still here'", 2, 600000300, 1, "X''"}},
                    "DELETE FROM message WHERE ROWID = 3;");
}

TEST_F(MessagesTest, BodiesThatAreNotCleanTextAreNeverListed) {
  fixtures::TempDir dir;
  WriteMessageTable(dir / "sms.db",
                    {{1, "'kept live'", 1, 600000000, 0},
                     {2, "CAST(X'48e96c6c6f' AS TEXT)", 1, 600000001, 0},  // not UTF-8
                     {3, "'cut' || char(0) || 'short'", 1, 600000002, 0},
                     {4, "'replacement ' || char(65533)", 1, 600000003, 0},
                     {5, "''", 1, 600000004, 0},
                     {6, "NULL", 1, 600000005, 0},
                     {7, "X'6b657074'", 1, 600000006, 0},  // a blob body
                     {8, "'kept deleted'", 1, 600000007, 0},
                     {9, "CAST(X'48e96c6c6f' AS TEXT)", 1, 600000008, 0},
                     {10, "''", 1, 600000009, 0}},
                    "DELETE FROM message WHERE ROWID >= 8;");
  WriteBookFor(dir / "ab.db", "+19999999999");
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages({}, dir / "ab.db", conversations, dir / "sms.db", highest), kResultOk);
  std::vector<std::string> texts;
  for (const MessageRecord& m : conversations[1]) texts.push_back(m.text + (m.deleted ? "*" : ""));
  EXPECT_EQ(texts, (std::vector<std::string>{"kept live", "kept deleted*"}));
  // The deletes merged the table's two pages; the freed page keeps rows 8 to 10 whole, and
  // their rowids count, so that a row dump never numbers a carved row like one of them.
  EXPECT_EQ(highest, 10u);
}

TEST_F(MessagesTest, EqualDatesKeepScanOrderAndADeletedHandleLeavesTheIdButNoAddress) {
  fixtures::TempDir dir;
  WriteMessageTable(dir / "sms.db",
                    {{1, "'first of two'", 2, 600000000, 0},
                     {2, "'second of two'", 2, 600000000, 1},
                     {3, "'to handle one'", 1, 600000005, 0},
                     {4, "'deleted with its handle'", 2, 600000010, 0}},
                    "DELETE FROM message WHERE ROWID = 4; DELETE FROM handle WHERE ROWID = 2;");
  WriteBookFor(dir / "ab.db", "+15550000001");
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages({}, dir / "ab.db", conversations, dir / "sms.db", highest), kResultOk);
  ASSERT_EQ(conversations.size(), 2u);
  const auto& two = conversations.at(2);
  ASSERT_EQ(two.size(), 3u);
  EXPECT_EQ(two[0].text, "first of two");
  EXPECT_EQ(two[1].text, "second of two");
  EXPECT_TRUE(two[1].isFromMe);
  // Handle 2 is gone: its carved copy has no rowid and matches nothing.
  EXPECT_EQ(two[0].address, "");
  EXPECT_EQ(two[2].text, "deleted with its handle");
  EXPECT_TRUE(two[2].deleted);
  EXPECT_EQ(two[2].handleId, 2);
  EXPECT_EQ(two[2].address, "");
  const auto& one = conversations.at(1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].address, "+15550000001");
  EXPECT_EQ(one[0].contactName, "Known Person");
}

TEST_F(MessagesTest, RowDumpAbandonsRowsThatFailItsChecks) {
  fixtures::TempDir dir;
  WriteMessageTable(dir / "sms.db",
                    {{1, "CAST(X'48e96c6c6f' AS TEXT)", 1, 600000000, 0},
                     {2, "'good live row'", 1, 600000001, 0},
                     {3, "'deleted, short account guid'", 1, 600000002, 0, "NULL", "short"},
                     {4, "'deleted, good'", 1, 600000003, 0}},
                    "DELETE FROM message WHERE ROWID >= 3;");
  const auto out = dir / "sms.csv";
  ASSERT_EQ(DumpMessageRows(dir / "sms.db", out, 2, 700000000), kResultOk);
  const std::string dump = testing::ReadText(out);
  EXPECT_EQ(dump.find("H"), std::string::npos) << dump;  // row 1: its body is not UTF-8
  EXPECT_NE(dump.find("\"good live row\""), std::string::npos);
  EXPECT_EQ(dump.find("short account guid"), std::string::npos);
  EXPECT_NE(dump.find("\"deleted, good\""), std::string::npos);
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 2);
  // Rows are skipped, not failed, when the output cannot be opened.
  EXPECT_EQ(DumpMessageRows(dir / "sms.db", dir / "no-such-folder" / "sms.csv", 2), kResultOk);
  EXPECT_EQ(DumpMessageRows(dir / "none.db", out, 2), kResultSystemBase + ENOENT);
}

TEST_F(MessagesTest, RowDumpMatchesTheGoldenFile) {
  fixtures::TempDir dir;
  WriteSmallMessages(dir / "sms.db");
  const auto out = dir / "sms.csv";
  ASSERT_EQ(DumpMessageRows(dir / "sms.db", out, 4, 700000000), kResultOk);
  const std::string golden = testing::ReadText(std::filesystem::path(KESTRIO_SOURCE_DIR) /
                                               "tests/data/golden/sms_dump.csv");
  EXPECT_EQ(testing::ReadText(out), golden);
}

TEST_F(MessagesTest, SmallDatabaseParsesWithTheDeletedRowMarked) {
  fixtures::TempDir dir;
  WriteSmallMessages(dir / "sms.db");
  WriteBookFor(dir / "ab.db", "+15550000000");
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages({}, dir / "ab.db", conversations, dir / "sms.db", highest), kResultOk);
  EXPECT_EQ(highest, 4u);
  ASSERT_EQ(conversations.size(), 2u);
  // handle_id 1 is stored as the constant 1 (serial type 9) and still names handle 1.
  ASSERT_EQ(conversations.at(1).size(), 1u);
  EXPECT_EQ(conversations.at(1)[0].text, "Hello");
  EXPECT_TRUE(conversations.at(1)[0].isFromMe);
  EXPECT_EQ(conversations.at(1)[0].dateText, AppleTimeText(600000000));
  const auto& second = conversations.at(2);
  ASSERT_EQ(second.size(), 3u);
  EXPECT_EQ(second[0].text, "It's \"quoted\"");
  EXPECT_EQ(second[1].text, "Gone soon");
  EXPECT_TRUE(second[1].deleted);
  EXPECT_EQ(second[1].rowId, 0u);
  EXPECT_EQ(second[2].text, "Still here");
}

// A message table of a layout never seen: what it has is read by name, what it lacks is a
// finding, and a tapback whose message is not in the file stays a message of its own.
TEST_F(MessagesTest, UnknownLayoutReadsWhatItHasAndSaysWhatItLacks) {
  fixtures::TempDir dir;
  testing::ExecSql(
      dir / "sms.db",
      "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, is_from_me INTEGER, "
      "associated_message_type INTEGER DEFAULT 0, associated_message_guid TEXT, guid TEXT, "
      "text TEXT, handle_id INTEGER, attributedBody BLOB);"
      "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);"
      "INSERT INTO handle VALUES (3, 'someone@example.com');"
      "INSERT INTO message VALUES (1, 0, 0, NULL, 'G1', 'no date here', 3, NULL);"
      "INSERT INTO message VALUES (2, 1, 2001, 'p:0/G1', 'G2', 'Liked \"no date here\"', 3, NULL);"
      "INSERT INTO message VALUES (3, 1, 2000, 'p:0/GONE', 'G3', 'Loved \"gone\"', 3, NULL);"
      "INSERT INTO message VALUES (4, 1, 3000, 'p:0/GONE', 'G4', 'x', 3, NULL);"
      // Bodies archived as typedstreams: one whose text length (65,535) runs far past its two
      // bytes, one that is no typedstream at all.
      "INSERT INTO message VALUES (5, 0, 0, NULL, 'G5', NULL, 3, "
      "X'040B73747265616D747970656481E80384014084848408"
      "4E53537472696E67018584012B82FFFF00004142');"
      "INSERT INTO message VALUES (6, 0, 0, NULL, 'G6', NULL, 3, X'0102030405');");
  FindingsList findings;
  ParseContext context;
  context.findings = &findings;
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages(context, dir / "none.db", conversations, dir / "sms.db", highest),
            kResultOk);
  ASSERT_EQ(conversations.size(), 1u);
  const auto& list = conversations.at(3);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].text, "no date here");
  EXPECT_EQ(list[0].dateText, "");
  EXPECT_EQ(list[0].address, "someone@example.com");
  EXPECT_EQ(list[0].reactions, "Liked by Me");
  // The tapback on a message that is not there keeps its own text; its removal is dropped.
  EXPECT_EQ(list[1].text, "Loved \"gone\"");
  const auto all = findings.Snapshot();
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const Finding& f) {
    return f.where == "table message" && f.why.find("date") != std::string::npos;
  }));
  // The lying body gives what it holds; the one that is no archive gives no message. Both
  // are said.
  EXPECT_EQ(list[2].text, "AB");
  for (const char* row : {"message row 5", "message row 6"}) {
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const Finding& f) {
      return f.what == "attributedBody" && f.where == row;
    })) << row;
  }
}

// Real layouts of sms.db, from iOS 5 to iOS 16, each read by its own column names.
struct RealCase {
  fixtures::MessagesLayout layout;
  const char* name;
  int pageSize;
};

class RealMessagesLayout : public MessagesTest, public ::testing::WithParamInterface<RealCase> {};

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

TEST_P(RealMessagesLayout, EveryLiveMessageExactDeletedOnesRecovered) {
  const RealCase param = GetParam();
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.layout = param.layout;
  options.pageSize = param.pageSize;
  options.seed = 11;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);
  const bool ios5 = param.layout == fixtures::MessagesLayout::kIos5;

  // No address book: the messages come without names.
  FindingsList findings;
  ParseContext context;
  context.findings = &findings;
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages(context, dir / "no-book.db", conversations, db.path, highest), kResultOk);

  std::map<std::uint32_t, const MessageRecord*> live;
  std::multiset<std::string> deletedTexts;
  std::map<std::string, std::int32_t> conversationOfDeleted;
  for (const auto& [key, list] : conversations) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const MessageRecord& m = list[i];
      EXPECT_EQ(m.conversationId, key);
      EXPECT_FALSE(m.text.empty() && m.attachments.empty());
      EXPECT_EQ(m.contactName, "");
      EXPECT_EQ(m.attachmentPath, m.attachments.empty() ? "" : m.attachments.front());
      if (i > 0) {
        EXPECT_LE(list[i - 1].dateText, m.dateText) << "conversation " << key;
      }
      const bool inModel = m.rowId != 0 && m.rowId <= db.messages.size();
      if (inModel && (!m.deleted || db.messages[m.rowId - 1].recentlyDeleted)) {
        EXPECT_TRUE(live.emplace(m.rowId, &m).second) << "rowid twice: " << m.rowId;
        continue;
      }
      deletedTexts.insert(m.text);
      conversationOfDeleted[m.text] = m.conversationId;
    }
  }

  std::map<std::int64_t, std::vector<std::string>> filesOf;
  for (const auto& a : db.attachments) {
    if (!a.deleted) filesOf[a.messageId].push_back(a.fileName);
  }
  std::map<std::int64_t, std::string> peopleOf;
  for (const auto& chat : db.chats) peopleOf[chat.rowId] = Joined(chat.addresses);
  std::map<std::int64_t, std::string> addressOf;
  for (const auto& h : db.handles) addressOf[h.rowId] = h.address;

  std::size_t liveExpected = 0, liveExact = 0;
  int deletedExpected = 0, deletedFound = 0, tapbacks = 0, reactions = 0, multiFile = 0;
  int attributedOnly = 0, edited = 0, unsent = 0, recentlyDeleted = 0;
  for (const fixtures::MessageRow& row : db.messages) {
    if (row.deleted) {
      if (row.shownText.size() < fixtures::kMinProbeBytes) continue;
      ++deletedExpected;
      if (deletedTexts.count(row.shownText)) {
        ++deletedFound;
        // iOS 5 rows name their conversation themselves.
        if (ios5) {
          EXPECT_EQ(conversationOfDeleted[row.shownText], row.chatId) << row.rowId;
        }
      }
      continue;
    }
    const auto it = live.find(static_cast<std::uint32_t>(row.rowId));
    const auto files = filesOf.find(row.rowId);
    if (row.associatedType != 0) {
      ++tapbacks;
      EXPECT_EQ(it, live.end()) << "a tapback is no message of its own: " << row.rowId;
      continue;
    }
    if (row.shownText.empty() && !row.unsent && files == filesOf.end()) {
      EXPECT_EQ(it, live.end()) << row.rowId;
      continue;
    }
    ++liveExpected;
    if (it == live.end()) {
      ADD_FAILURE() << "live message missing: " << row.rowId;
      continue;
    }
    const MessageRecord& m = *it->second;
    const std::string address = ios5 ? row.address : addressOf[row.handleId];
    const std::vector<std::string> expectedFiles =
        files == filesOf.end() ? std::vector<std::string>{} : files->second;
    const bool textRight = row.unsent ? m.unsent && !m.text.empty()  // says it was unsent
                                      : !m.unsent && m.text == row.shownText;
    const bool exact = textRight && m.edited == row.edited && m.deleted == row.recentlyDeleted &&
                       m.isFromMe == row.isFromMe && m.dateText == ExpectedDate(row) &&
                       m.conversationId == row.chatId && m.conversation == peopleOf[row.chatId] &&
                       m.reactions == row.reactions && m.address == address &&
                       m.attachments == expectedFiles;
    if (exact) {
      ++liveExact;
    } else {
      ADD_FAILURE() << "message " << row.rowId << ": text \"" << m.text << "\" (\"" << row.shownText
                    << "\") edited " << m.edited << " (" << row.edited << ") unsent " << m.unsent
                    << " (" << row.unsent << ") deleted " << m.deleted << " ("
                    << row.recentlyDeleted << ") from me " << m.isFromMe << " (" << row.isFromMe
                    << ") date " << m.dateText << " (" << ExpectedDate(row) << ") chat "
                    << m.conversationId << " (" << row.chatId << ") people \"" << m.conversation
                    << "\" (\"" << peopleOf[row.chatId] << "\") reactions \"" << m.reactions
                    << "\" (\"" << row.reactions << "\") address " << m.address << " (" << address
                    << ") files " << m.attachments.size() << " (" << expectedFiles.size() << ")";
    }
    unsent += row.unsent ? 1 : 0;
    reactions += row.reactions.empty() ? 0 : 1;
    multiFile += m.attachments.size() > 1 ? 1 : 0;
    attributedOnly += !row.text && !row.attributedBody.empty() ? 1 : 0;
    edited += row.edited ? 1 : 0;
    recentlyDeleted += row.recentlyDeleted ? 1 : 0;
  }
  EXPECT_EQ(live.size(), liveExpected);
  EXPECT_EQ(liveExact, liveExpected);
  // The fixture holds what each layout can hold.
  EXPECT_GT(multiFile, 0);
  EXPECT_GT(peopleOf.size(), 1u);
  if (!ios5) {
    EXPECT_GT(attributedOnly, 0);
  }
  if (param.layout >= fixtures::MessagesLayout::kIos12) {
    EXPECT_GT(tapbacks, 2);
    EXPECT_GT(reactions, 0);
  }
  if (param.layout == fixtures::MessagesLayout::kIos16) {
    EXPECT_GT(edited, 0);
    EXPECT_GT(unsent, 1);
    EXPECT_GT(recentlyDeleted, 1);
  }
  const auto all = findings.Snapshot();
  EXPECT_TRUE(std::any_of(all.begin(), all.end(),
                          [](const Finding& f) { return f.file == "AddressBook.sqlitedb"; }));
  std::printf(
      "%s page %d: live messages %zu exact of %zu; deleted recovered %d of %d (%d of them "
      "still in the file)\n",
      param.name, param.pageSize, liveExact, liveExpected, deletedFound, deletedExpected,
      db.census.probed - db.census.nowhere);
  ASSERT_GT(deletedExpected, 10);
  EXPECT_GE(deletedFound * 5, deletedExpected);

  // Sorts that hold a few rows at a time and write the rest to disk give the same result.
  const auto listed = [](const ConversationMap& map) {
    std::vector<std::string> out;
    for (const auto& [key, list] : map) {
      for (const MessageRecord& m : list) {
        std::string files;
        for (const std::string& file : m.attachments) files += file + ",";
        out.push_back(std::to_string(key) + "|" + std::to_string(m.rowId) + "|" +
                      std::string(m.dateText.view()) + "|" + m.text + "|" +
                      std::string(m.address.view()) + "|" + std::string(m.conversation.view()) +
                      "|" + std::string(m.reactions.view()) + "|" + files + "|" +
                      std::to_string(m.deleted));
      }
    }
    return out;
  };
  ParseContext spilling = context;
  spilling.spillFolder = dir.path();
  spilling.sortMemoryBytes = 200;
  ConversationMap again;
  ASSERT_EQ(ParseMessages(spilling, dir / "no-book.db", again, db.path, highest), kResultOk);
  EXPECT_EQ(listed(again), listed(conversations));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RealMessagesLayout,
    ::testing::Values(RealCase{fixtures::MessagesLayout::kIos5, "iOS5", 4096},
                      RealCase{fixtures::MessagesLayout::kIos9, "iOS9", 4096},
                      RealCase{fixtures::MessagesLayout::kIos12, "iOS12", 4096},
                      RealCase{fixtures::MessagesLayout::kIos14, "iOS14", 1024},
                      RealCase{fixtures::MessagesLayout::kIos16, "iOS16", 4096},
                      RealCase{fixtures::MessagesLayout::kIos16, "iOS16", 1024}),
    [](const auto& info) {
      return std::string(info.param.name) + "Page" + std::to_string(info.param.pageSize);
    });

// A recently deleted message whose row is gone too comes back from its parts, deleted, in
// its chat.
TEST_F(MessagesTest, ARecentlyDeletedMessageWithoutItsRowComesBackFromItsParts) {
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.layout = fixtures::MessagesLayout::kIos16;
  options.seed = 11;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);
  const auto gone = std::find_if(db.messages.begin(), db.messages.end(), [](const auto& m) {
    return m.recentlyDeleted && !m.deleted && m.shownText.size() > 3;
  });
  ASSERT_NE(gone, db.messages.end());
  testing::ExecSql(db.path, "PRAGMA secure_delete=ON; DELETE FROM message WHERE ROWID = " +
                                std::to_string(gone->rowId) + ";");
  ParseContext context;
  ConversationMap conversations;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseMessages(context, dir / "no-book.db", conversations, db.path, highest), kResultOk);
  const auto& list = conversations[static_cast<std::int32_t>(gone->chatId)];
  const auto found = std::find_if(list.begin(), list.end(),
                                  [&](const MessageRecord& m) { return m.rowId == gone->rowId; });
  ASSERT_NE(found, list.end());
  EXPECT_EQ(found->text, gone->shownText);
  EXPECT_TRUE(found->deleted);
}

// The row dump of a layout other than the fixed ones finds its columns by name: a deleted row
// gets its fresh guid in the guid column and the dump's date in the date column.
TEST_F(MessagesTest, RowDumpOfALaterLayoutRewritesColumnsFoundByName) {
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.layout = fixtures::MessagesLayout::kIos16;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);
  const auto out = dir / "sms.csv";
  ASSERT_EQ(DumpMessageRows(db.path, out, db.messages.size(), 700000000), kResultOk);
  const std::string dump = testing::ReadText(out);
  std::size_t lines = 0, rewritten = 0;
  for (std::size_t at = 0, end; (end = dump.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = dump.substr(at, end - at);
    ++lines;
    if (line.find("\"27B99F78-F6F0-475F-8BA1-") == std::string::npos) continue;
    ++rewritten;
    // guid is the second value; date (column 15) carries the dump's time.
    EXPECT_EQ(line.find(",\"27B99F78-F6F0-475F-8BA1-"), line.find(',')) << line;
    EXPECT_NE(line.find(",700000000,"), std::string::npos) << line;
  }
  std::size_t liveRows = 0;
  for (const auto& row : db.messages) liveRows += row.deleted ? 0 : 1;
  EXPECT_GE(lines, liveRows);
  EXPECT_GT(rewritten, 0u);
}

}  // namespace
}  // namespace kestrio
