#include "parsers/whatsapp.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <map>

#include "base/time_text.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

using testing::Quote;

std::string Table(const std::string& name, int columns) { return testing::TableSql(name, columns); }

std::string Row(const std::string& table, int columns, int id,
                const std::map<int, std::string>& values) {
  return testing::RowSql(table, columns, id, values);
}

constexpr int kWide = 34;

std::string Message(int id, bool fromMe, int session, int member, int media, double date,
                    const std::string& text) {
  return Row("ZWAMESSAGE", kWide, id,
             {{12, fromMe ? "1" : "0"},
              {19, std::to_string(session)},
              {20, member ? std::to_string(member) : "NULL"},
              {22, media ? std::to_string(media) : "NULL"},
              {25, std::to_string(date)},
              {32, text.empty() ? "NULL" : Quote(text)}});
}

void WriteChatStorage(const std::filesystem::path& path, const std::string& rows) {
  testing::ExecSql(path, "PRAGMA page_size=1024;" + Table("ZWAMEDIAITEM", 24) +
                             Table("ZWACHATSESSION", 25) + Table("ZWAGROUPMEMBER", 13) +
                             Table("ZWAMESSAGE", kWide) + rows);
}

// Long enough for a 2-byte payload length: the freeblock header then covers exactly the
// cell's payload length, rowid and header size. (Shorter freed cells lose column 0's serial
// type as well, while their first surviving type is 0: the run is then read one column off
// and the record is not recovered.)
const std::string kDeletedText =
    "a message that was deleted later, long enough that its cell payload takes more than "
    "127 bytes and so a two-byte length";

class WhatsAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
  }
};

TEST_F(WhatsAppTest, ChatsGroupsSendersMediaAndDeletedMessages) {
  fixtures::TempDir dir;
  std::string rows =
      Row("ZWACHATSESSION", 25, 1,
          {{20, Quote("5511987654321@s.whatsapp.net")}, {23, Quote("Lucas")}}) +
      Row("ZWACHATSESSION", 25, 2, {{20, Quote("120363-1600000000@g.us")}, {23, Quote("Family")}}) +
      Row("ZWACHATSESSION", 25, 3, {{20, Quote("status")}, {23, Quote("No at sign")}}) +
      Row("ZWAGROUPMEMBER", 13, 2,
          {{7, "2"}, {10, Quote("5511911111111@s.whatsapp.net")}, {12, Quote("Mum")}}) +
      Row("ZWAGROUPMEMBER", 13, 3,
          {{7, "2"}, {10, Quote("5511922222222@s.whatsapp.net")}, {12, Quote("Dad")}}) +
      Row("ZWAMEDIAITEM", 24, 1,
          {{18, Quote("Media/5511987654321@s.whatsapp.net/a/b/photo.jpg")}}) +
      Message(1, false, 1, 0, 0, 600000000.5, "Oi, tudo bem?") +
      Message(2, true, 1, 0, 0, 600000100.5, "Tudo ótimo 😀") +
      Message(3, false, 2, 3, 0, 600000050.5, "Dinner at 8") +
      Message(4, false, 1, 0, 1, 600000200.5, "") +
      Message(5, false, 3, 0, 0, 600000300.5, "status update") +
      Message(6, false, 1, 0, 0, 600000400.5, kDeletedText) +
      "DELETE FROM ZWAMESSAGE WHERE Z_PK = 6;";
  WriteChatStorage(dir / "ChatStorage.sqlite", rows);
  WhatsAppConversationMap chats;
  ASSERT_EQ(ParseWhatsApp(dir / "ChatStorage.sqlite", chats), kResultOk);
  ASSERT_EQ(chats.size(), 3u);

  const auto& lucas = chats.at(1);
  ASSERT_EQ(lucas.size(), 4u);
  EXPECT_EQ(lucas[0].text, "Oi, tudo bem?");
  EXPECT_EQ(lucas[0].senderName, "Lucas");
  EXPECT_EQ(lucas[0].senderId, "5511987654321");
  EXPECT_EQ(lucas[0].chatIds, "5511987654321");
  EXPECT_EQ(lucas[0].dateText, AppleTimeText(600000000));
  EXPECT_EQ(lucas[1].senderName, "Me");
  EXPECT_EQ(lucas[1].senderId, "");
  EXPECT_TRUE(lucas[1].isFromMe);
  EXPECT_EQ(lucas[2].text, "Media/5511987654321@s.whatsapp.net/a/b/photo.jpg");
  EXPECT_EQ(lucas[3].text, kDeletedText);
  EXPECT_TRUE(lucas[3].deleted);
  EXPECT_EQ(lucas[3].rowId, 0u);

  // A group: the members' lists, and the sender from the group member.
  const auto& family = chats.at(2);
  ASSERT_EQ(family.size(), 1u);
  EXPECT_EQ(family[0].chatIds, "5511911111111@s.whatsapp.net,5511922222222@s.whatsapp.net");
  EXPECT_EQ(family[0].chatNames, "Mum,Dad");
  EXPECT_EQ(family[0].senderName, "Dad");
  EXPECT_EQ(family[0].partnerName, "Family");
  // The first message of a run in a group keeps its text.
  EXPECT_EQ(family[0].text, "Dinner at 8");

  // A contact identifier without an at sign leaves the partner id empty.
  EXPECT_EQ(chats.at(3)[0].senderId, "");
  EXPECT_EQ(chats.at(3)[0].senderName, "No at sign");
}

TEST_F(WhatsAppTest, DeletedMessageWhoseSessionIsGoneKeepsItsSession) {
  fixtures::TempDir dir;
  WriteChatStorage(
      dir / "c.sqlite",
      Row("ZWACHATSESSION", 25, 7, {{20, Quote("1@s.whatsapp.net")}, {23, Quote("Gone")}}) +
          Message(1, false, 7, 0, 0, 600000000, "left behind in a deleted chat") +
          Message(2, false, 7, 0, 0, 600000001, "second line of the deleted chat") +
          "DELETE FROM ZWAMESSAGE; DELETE FROM ZWACHATSESSION;");
  WhatsAppConversationMap chats;
  ASSERT_EQ(ParseWhatsApp(dir / "c.sqlite", chats), kResultOk);
  ASSERT_TRUE(chats.count(7));
  for (const auto& m : chats.at(7)) {
    EXPECT_TRUE(m.deleted);
    EXPECT_EQ(m.partnerName, "");
    EXPECT_EQ(m.senderName, "");
  }
}

TEST_F(WhatsAppTest, MissingTableAndFiles) {
  fixtures::TempDir dir;
  testing::ExecSql(dir / "other.sqlite", "CREATE TABLE ZOTHER (x);");
  WhatsAppConversationMap chats;
  EXPECT_EQ(ParseWhatsApp(dir / "other.sqlite", chats), kResultManifestDbQuery);
  EXPECT_EQ(ParseWhatsApp(dir / "none.sqlite", chats), SQLITE_CANTOPEN);
  EXPECT_FALSE(std::filesystem::exists(dir / "none.sqlite"));
  // An empty message table: narrow layout (23 columns), nothing found, no error.
  WriteChatStorage(dir / "empty.sqlite", "");
  EXPECT_EQ(ParseWhatsApp(dir / "empty.sqlite", chats), kResultOk);
  EXPECT_TRUE(chats.empty());
}

}  // namespace
}  // namespace kestrio
