#include "parsers/whatsapp.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <set>

#include "base/time_text.h"
#include "tests/fixtures/call_chat_stores.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

namespace fx = fixtures;
using testing::Quote;

constexpr std::string_view kSchema = "ios15-whatsapp-ChatStorage.sqlite";

// The four tables of the real iOS 15 store, then `rows`.
void WriteStore(const std::filesystem::path& path, const std::string& rows) {
  std::string sql = "PRAGMA page_size=1024;";
  for (const char* table : {"ZWAMEDIAITEM", "ZWACHATSESSION", "ZWAGROUPMEMBER", "ZWAMESSAGE"})
    sql += fx::RealTableSql(kSchema, table) + ";";
  testing::ExecSql(path, sql + rows);
}

std::string Session(int id, const std::string& jid, const std::string& name, int type = 0) {
  return "INSERT INTO ZWACHATSESSION (Z_PK, ZSESSIONTYPE, ZCONTACTJID, ZPARTNERNAME) VALUES (" +
         std::to_string(id) + ", " + std::to_string(type) + ", " + Quote(jid) + ", " +
         (name.empty() ? "NULL" : Quote(name)) + ");";
}

std::string Message(int id, int session, const std::string& text, double date,
                    const std::string& pushName = "", bool fromMe = false) {
  return "INSERT INTO ZWAMESSAGE (Z_PK, ZISFROMME, ZCHATSESSION, ZMESSAGEDATE, ZTEXT, "
         "ZPUSHNAME, ZFROMJID) VALUES (" +
         std::to_string(id) + ", " + (fromMe ? "1" : "0") + ", " + std::to_string(session) + ", " +
         std::to_string(date) + ", " + (text.empty() ? "NULL" : Quote(text)) + ", " +
         (pushName.empty() ? "NULL" : Quote(pushName)) + ", '5511900000000@s.whatsapp.net');";
}

bool Has(const std::vector<Finding>& findings, std::string_view text) {
  for (const Finding& f : findings) {
    if (f.why.find(text) != std::string::npos) return true;
  }
  return false;
}

class WhatsAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
  }
};

// The real iOS 15 store against its truth: every live message exact with its chat, group
// members and sender; deleted ones recovered as far as their bytes survive; the blank
// system row left out with one finding.
TEST_F(WhatsAppTest, Ios15ChatStorageAgainstItsTruth) {
  fx::TempDir dir;
  fx::ChatStorageOptions options;
  options.messageCount = 220;
  const fx::ChatStorage store = fx::WriteChatStorage(dir / "ChatStorage.sqlite", options);
  WhatsAppConversationMap chats;
  FindingsList findings;
  ASSERT_EQ(ParseWhatsApp(store.path, chats, &findings), kResultOk);
  const auto list = findings.Snapshot();
  ASSERT_EQ(list.size(), 1u) << FindingLine(list.front());
  EXPECT_EQ(list[0].why, "1 row has neither text nor date nor media; not a message, left out");

  std::map<std::int64_t, const fx::ChatMessage*> byRowId;
  std::map<std::string, const fx::ChatMessage*> deletedByText, deletedMediaByDate;
  int liveExpected = 0, deletedExpected = 0;
  for (const fx::ChatMessage& m : store.messages) {
    byRowId[m.rowId] = &m;
    if (m.deleted && !m.text.empty()) deletedByText[m.text] = &m;
    if (m.deleted && m.text.empty()) deletedMediaByDate[AppleTimeText(m.appleDate)] = &m;
    if (m.isMessage && !m.deleted) ++liveExpected;
    // A deleted row is found by its text or its media link; a group event has neither.
    if (m.deleted && (!m.text.empty() || m.media != 0)) ++deletedExpected;
  }
  int live = 0, deleted = 0, groupMessages = 0, mediaMessages = 0;
  std::set<std::int64_t> recovered;
  for (const auto& [session, messages] : chats) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const WhatsAppMessageRecord& m = messages[i];
      if (i > 0) {
        EXPECT_LE(messages[i - 1].dateText, m.dateText);
      }
      const fx::ChatMessage* truth = nullptr;
      if (m.rowId != 0) {
        // Live, or deleted yet intact on a page the freelist took: known by its rowid.
        const auto it = byRowId.find(m.rowId);
        ASSERT_NE(it, byRowId.end());
        truth = it->second;
        ASSERT_TRUE(truth->isMessage);
        EXPECT_EQ(m.deleted, truth->deleted);
        if (!m.deleted) {
          EXPECT_EQ(m.text, truth->expectedText);
          // A live media message carries its item's path even when it has a caption.
          const std::string path =
              truth->media != 0 ? store.media[static_cast<std::size_t>(truth->media - 1)].path
                                : std::string();
          EXPECT_EQ(m.mediaPath, path);
          EXPECT_TRUE(m.mediaFile.empty()) << "only a scan knows the files";
        }
      } else {
        EXPECT_TRUE(m.deleted);
        if (m.text.empty()) {
          // A deleted media message: its item went with it; the date tells which one.
          const auto it = deletedMediaByDate.find(m.dateText.str());
          ASSERT_NE(it, deletedMediaByDate.end()) << "carved message never stored";
          truth = it->second;
        } else {
          const auto it = deletedByText.find(m.text);
          ASSERT_NE(it, deletedByText.end()) << "carved text never stored: " << m.text;
          truth = it->second;
        }
      }
      if (m.deleted) {
        // Found once, with its own text or none (or its media item's, found intact too).
        EXPECT_TRUE(recovered.insert(truth->rowId).second) << m.text;
        if (!truth->text.empty()) {
          EXPECT_EQ(m.text, truth->text);
        }
        ++deleted;
      } else {
        ++live;
      }
      SCOPED_TRACE(truth->rowId);
      EXPECT_EQ(session, truth->session);
      EXPECT_EQ(m.isFromMe, truth->fromMe);
      EXPECT_EQ(m.dateText, AppleTimeText(truth->appleDate));
      EXPECT_EQ(m.senderName, truth->expectedSender);
      const fx::ChatSession& chat = *store.Session(truth->session);
      EXPECT_EQ(m.partnerName, chat.name);
      if (chat.group) {
        ++groupMessages;
        EXPECT_EQ(m.chatIds, store.MemberIds(chat.rowId));
        EXPECT_EQ(m.chatNames, store.MemberNames(chat.rowId));
      } else {
        EXPECT_EQ(m.chatIds, chat.jid.substr(0, chat.jid.find('@')));
        EXPECT_EQ(m.chatNames, chat.name);
      }
      mediaMessages += m.text.starts_with("Media/");
    }
  }
  EXPECT_EQ(live, liveExpected);
  EXPECT_GT(groupMessages, 0);
  EXPECT_GT(mediaMessages, 0);
  const int surviving = store.census.probed - store.census.nowhere;
  std::printf("iOS 15 ChatStorage: live %d/%d, deleted %d/%d (%d with text, %d with bytes left)\n",
              live, liveExpected, deleted, deletedExpected, static_cast<int>(deletedByText.size()),
              surviving);
  EXPECT_GE(deleted * 10, surviving * 8);
}

// The group as the issue met it: names and JIDs from their own columns, not swapped.
TEST_F(WhatsAppTest, GroupMembersAreNamedByTheirColumns) {
  fx::TempDir dir;
  WriteStore(dir / "c.sqlite",
             Session(1, "120363-1600000000@g.us", "Family", 1) +
                 "INSERT INTO ZWAGROUPMEMBER (Z_PK, ZCHATSESSION, ZCONTACTNAME, ZFIRSTNAME, "
                 "ZMEMBERJID) VALUES (5, 1, 'Mum', 'Maria', '15550104477@s.whatsapp.net'), "
                 "(6, 1, NULL, 'Rafa', '15550104488@s.whatsapp.net'), "
                 "(7, 1, NULL, NULL, '15550104499@s.whatsapp.net'), "
                 "(8, 9, 'Nobody', NULL, '15550100000@s.whatsapp.net');" +
                 "INSERT INTO ZWAMESSAGE (Z_PK, ZISFROMME, ZCHATSESSION, ZGROUPMEMBER, "
                 "ZMESSAGEDATE, ZTEXT, ZPUSHNAME, ZFROMJID) VALUES "
                 "(1, 0, 1, 5, 600000000.5, 'Dinner at 8', 'Mummy', '120363-1600000000@g.us'), "
                 "(2, 0, 1, 7, 600000001.5, 'on my way', 'Leo', '120363-1600000000@g.us'), "
                 "(3, 0, 1, 7, 600000002.5, 'no push name', NULL, '120363-1600000000@g.us'), "
                 "(4, 1, 1, NULL, 600000003.5, 'ok', NULL, NULL);");
  WhatsAppConversationMap chats;
  FindingsList findings;
  ASSERT_EQ(ParseWhatsApp(dir / "c.sqlite", chats, &findings), kResultOk);
  ASSERT_EQ(chats.at(1).size(), 4u);
  const auto& family = chats.at(1);
  EXPECT_EQ(family[0].chatIds,
            "15550104477@s.whatsapp.net,15550104488@s.whatsapp.net,15550104499@s.whatsapp.net");
  EXPECT_EQ(family[0].chatNames, "Mum,Rafa,15550104499");
  EXPECT_EQ(family[0].partnerName, "Family");
  EXPECT_EQ(family[0].senderName, "Mum");
  EXPECT_EQ(family[0].senderId, "15550104477");
  EXPECT_EQ(family[1].senderName, "Leo");  // a member without a name: the push name
  EXPECT_EQ(family[2].senderName, "15550104499");
  EXPECT_EQ(family[3].senderName, "Me");
  EXPECT_EQ(family[3].senderId, "");
  // The member of a chat that does not exist is a finding, not a member.
  EXPECT_TRUE(Has(findings.Snapshot(), "1 member belongs to a chat that ZWACHATSESSION does not"));
}

// Another app version's table: fewer columns in another order. Read by name all the same.
TEST_F(WhatsAppTest, AnotherLayoutIsReadByName) {
  fx::TempDir dir;
  testing::ExecSql(
      dir / "c.sqlite",
      "CREATE TABLE ZWAMESSAGE (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
      "ZCHATSESSION INTEGER, ZISFROMME INTEGER, ZMEDIAITEM INTEGER, ZMESSAGETYPE INTEGER, "
      "ZTEXT VARCHAR, ZMESSAGEDATE TIMESTAMP);"
      "CREATE TABLE ZWACHATSESSION (Z_PK INTEGER PRIMARY KEY, ZPARTNERNAME VARCHAR, ZCONTACTJID "
      "VARCHAR);"
      "CREATE TABLE ZWAMEDIAITEM (Z_PK INTEGER PRIMARY KEY, ZMEDIALOCALPATH VARCHAR, ZMESSAGE "
      "INTEGER);"
      "INSERT INTO ZWACHATSESSION VALUES (3, 'Lucas', '5511987654321@s.whatsapp.net');"
      "INSERT INTO ZWAMEDIAITEM VALUES (1, 'Media/5511987654321@s.whatsapp.net/a/b/p.jpg', 2);"
      "INSERT INTO ZWAMESSAGE VALUES (1, 9, 1, 3, 0, NULL, 0, 'Oi, tudo bem?', 600000000),"
      "(2, 9, 1, 3, 1, NULL, 1, NULL, 600000100.5);");
  WhatsAppConversationMap chats;
  ASSERT_EQ(ParseWhatsApp(dir / "c.sqlite", chats), kResultOk);
  ASSERT_EQ(chats.size(), 1u);
  const auto& lucas = chats.at(3);
  ASSERT_EQ(lucas.size(), 2u);
  EXPECT_EQ(lucas[0].text, "Oi, tudo bem?");
  EXPECT_EQ(lucas[0].dateText, AppleTimeText(600000000));
  EXPECT_EQ(lucas[0].senderName, "Lucas");
  EXPECT_EQ(lucas[0].senderId, "5511987654321");
  EXPECT_EQ(lucas[0].chatIds, "5511987654321");
  // Found through the item's link back to its message.
  EXPECT_EQ(lucas[1].text, "Media/5511987654321@s.whatsapp.net/a/b/p.jpg");
  EXPECT_EQ(lucas[1].senderName, "Me");
}

TEST_F(WhatsAppTest, MessagesWhoseChatIsGone) {
  fx::TempDir dir;
  // Live messages pointing to a chat that is not there, and a chat deleted with its messages.
  WriteStore(
      dir / "c.sqlite",
      Session(7, "1@s.whatsapp.net", "Gone") +
          Message(1, 7, "left behind in a deleted chat, long enough to be carved whole",
                  600000000) +
          Message(2, 7, "second line of the deleted chat, also long enough for that", 600000001) +
          "DELETE FROM ZWAMESSAGE; DELETE FROM ZWACHATSESSION;" +
          Message(3, 8, "a live message of a chat that is not there", 600000002, "Bruna"));
  WhatsAppConversationMap chats;
  FindingsList findings;
  ASSERT_EQ(ParseWhatsApp(dir / "c.sqlite", chats, &findings), kResultOk);
  ASSERT_TRUE(chats.count(7));
  for (const auto& m : chats.at(7)) {
    EXPECT_TRUE(m.deleted);
    EXPECT_EQ(m.partnerName, "");
    EXPECT_EQ(m.senderName, "");
    EXPECT_EQ(m.senderId, "5511900000000");  // from ZFROMJID
  }
  ASSERT_EQ(chats.at(8).size(), 1u);
  EXPECT_EQ(chats.at(8)[0].senderName, "Bruna");
  EXPECT_TRUE(Has(findings.Snapshot(), "1 live message points to a chat that ZWACHATSESSION"));
}

TEST_F(WhatsAppTest, MissingTableAndFiles) {
  fx::TempDir dir;
  testing::ExecSql(dir / "other.sqlite", "CREATE TABLE ZWACHATSESSION (Z_PK INTEGER PRIMARY KEY);");
  WhatsAppConversationMap chats;
  FindingsList findings;
  EXPECT_EQ(ParseWhatsApp(dir / "other.sqlite", chats, &findings), kResultLayoutUnknown);
  ASSERT_EQ(findings.Snapshot().size(), 1u);
  EXPECT_EQ(findings.Snapshot()[0].file, "ChatStorage.sqlite");
  EXPECT_EQ(findings.Snapshot()[0].why, "no ZWAMESSAGE table (layout not recognised)");
  EXPECT_NE(ParseWhatsApp(dir / "none.sqlite", chats), kResultOk);
  EXPECT_FALSE(std::filesystem::exists(dir / "none.sqlite"));
  // An empty store: nothing found, no error.
  WriteStore(dir / "empty.sqlite", "");
  EXPECT_EQ(ParseWhatsApp(dir / "empty.sqlite", chats), kResultOk);
  EXPECT_TRUE(chats.empty());
}

}  // namespace
}  // namespace kestrio
