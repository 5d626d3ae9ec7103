#include "parsers/contacts.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "base/text.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

TEST(CleanPhoneList, KeepsLongPiecesFollowedByASpaceAndSkipsSameEndings) {
  // A short piece, a number, and the same number with its country code.
  EXPECT_EQ(CleanPhoneList("123 5551234567 +15551234567 "), "5551234567");
  EXPECT_EQ(CleanPhoneList("5551234567 5559876543 "), "5551234567\n5559876543");
  // The piece after the last space is never taken.
  EXPECT_EQ(CleanPhoneList("5551234567"), "");
  EXPECT_EQ(CleanPhoneList("5551234567 5559876543"), "5551234567");
  EXPECT_EQ(CleanPhoneList("  1234567 "), "1234567");
  // Only the number taken just before counts for the ending rule.
  EXPECT_EQ(CleanPhoneList("1111111 2222222 3333311 "), "1111111\n2222222\n3333311");
  // Characters, not bytes: seven CJK digits-like characters make a piece long enough.
  EXPECT_EQ(CleanPhoneList("\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8"
                           "\x80\xE4\xB8\x80 "),
            "\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80");
}

struct LayoutCase {
  int columns;
  bool newLayout;
  int pageSize;
};

class ContactsLayout : public ::testing::TestWithParam<LayoutCase> {};

std::string NameOf(const fixtures::ContactRow& row) {
  const std::string name = row.first + row.last;
  return name.empty() ? "No Name" : name;
}

TEST_P(ContactsLayout, LiveContactsExactDeletedOnesRecoveredAndSorted) {
  const LayoutCase layout = GetParam();
  fixtures::TempDir dir;
  fixtures::AddressBookOptions options;
  options.columns = layout.columns;
  options.pageSize = layout.pageSize;
  const fixtures::AddressBook book = fixtures::WriteAddressBook(dir / "ab.db", options);

  std::vector<ContactRecord> contacts;
  std::uint64_t highest = 0;
  ParseContext context;
  context.newLayout = layout.newLayout;
  ASSERT_EQ(ParseContacts(context, book.path, contacts, highest), kResultOk);

  std::multiset<std::string> liveFound;
  std::set<std::string> deletedFound;
  for (const ContactRecord& c : contacts) {
    EXPECT_FALSE(c.phones.empty() && c.fullName.empty());
    if (c.deleted) {
      deletedFound.insert(c.fullName + "|" + c.phones);
    } else {
      liveFound.insert(c.fullName + "|" + c.phones + "|" + c.email + "|" + c.company + "|" +
                       c.postalAddress + "|" + c.social + "|" + c.homePage);
    }
  }
  std::multiset<std::string> liveExpected;
  std::int64_t maxLive = 0;
  int deletedWithPhone = 0, deletedRecovered = 0;
  for (const fixtures::ContactRow& row : book.contacts) {
    if (!row.deleted) maxLive = std::max(maxLive, row.rowId);
    if (row.phone.empty()) continue;  // never listed
    const std::string key = NameOf(row) + "|" + fixtures::ExpectedPhones(row.phone);
    if (row.deleted) {
      ++deletedWithPhone;
      deletedRecovered += deletedFound.count(key) ? 1 : 0;
    } else {
      liveExpected.insert(key + "|" + row.email + "|" + row.organization + "|" + row.address + "|" +
                          row.social + "|" + row.url);
    }
  }
  EXPECT_EQ(liveFound, liveExpected);
  EXPECT_EQ(highest, static_cast<std::uint64_t>(maxLive));
  ASSERT_GT(deletedWithPhone, 10);
  // Recall of deleted contacts for this fixture, printed for the record. Records inside
  // merged freeblocks and on emptied freelist pages are out of the searches' reach, and
  // some were overwritten, so this is a floor against breakage, not a target.
  std::printf("deleted contacts recovered: %d of %d (%d columns, page %d)\n", deletedRecovered,
              deletedWithPhone, layout.columns, layout.pageSize);
  EXPECT_GE(deletedRecovered * 10, deletedWithPhone);

  for (std::size_t i = 1; i < contacts.size(); ++i) {
    EXPECT_LE(CompareIgnoreCase(contacts[i - 1].fullName, contacts[i].fullName), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ContactsLayout,
                         ::testing::Values(LayoutCase{24, false, 4096}, LayoutCase{25, true, 4096},
                                           LayoutCase{24, false, 1024}, LayoutCase{25, true, 1024}),
                         [](const auto& info) {
                           return "Columns" + std::to_string(info.param.columns) + "Page" +
                                  std::to_string(info.param.pageSize);
                         });

TEST(ParseContacts, MissingOrForeignFilesGiveTheirErrorAndNoContacts) {
  fixtures::TempDir dir;
  std::vector<ContactRecord> contacts(3);
  std::uint64_t highest = 7;
  EXPECT_EQ(ParseContacts({}, dir / "none.db", contacts, highest), kResultSystemBase + ENOENT);
  EXPECT_EQ(contacts.size(), 3u);  // left as it was
  testing::WriteBytes(dir / "plain.txt", std::vector<std::uint8_t>(200, 'a'));
  EXPECT_EQ(ParseContacts({}, dir / "plain.txt", contacts, highest), kResultInvalid);
}

// The contact table written by hand, so each value rule can be checked byte for byte.
struct SmallContact {
  int id;
  std::string first, last, phone, email;  // SQL expressions
};

void WriteContactTable(const std::filesystem::path& path, const std::vector<SmallContact>& rows,
                       const std::string& after) {
  std::string columns = "docid INTEGER PRIMARY KEY";
  for (int i = 0; i < 23; ++i) columns += ", c" + std::to_string(i);
  std::string sql =
      "PRAGMA page_size=1024; CREATE TABLE ABPersonFullTextSearch_content (" + columns + ");";
  for (const SmallContact& row : rows) {
    std::string values = std::to_string(row.id) + ", " + row.first + ", " + row.last;
    for (int c = 3; c < 24; ++c) {
      if (c == 16) {
        values += ", " + row.phone;
      } else if (c == 17) {
        values += ", " + row.email;
      } else if (c == 7) {
        values += ", 'Org ''A'' \"B\"'";
      } else {
        values += ", NULL";
      }
    }
    sql += "INSERT INTO ABPersonFullTextSearch_content VALUES (" + values + ");";
  }
  testing::ExecSql(path, sql + after);
}

// The contact table written by hand, so each value rule can be checked byte for byte.
void WriteSmallAddressBook(const std::filesystem::path& path) {
  WriteContactTable(path,
                    {{1, "'Anna'", "'Berg'", "'5551234567 +15551234567 '", "'a@b.c'"},
                     {2, "NULL", "NULL", "'5559990000 '", "NULL"},
                     {3, "'Zoe'", "''", "NULL", "'zoe@x.y'"},
                     {4, "'Deleted'", "'Person'", "'5554443333 '", "'gone@x.y'"}},
                    "DELETE FROM ABPersonFullTextSearch_content WHERE docid = 4;");
}

TEST(ParseContacts, RowsWithGarbageTextOrControlCharactersInPhonesAreRejected) {
  fixtures::TempDir dir;
  WriteContactTable(dir / "ab.db",
                    {{1, "'Good'", "'One'", "'5551112222 '", "NULL"},
                     {2, "'Tab'", "'Phone'", "'555' || char(9) || '3334444 '", "NULL"},
                     {3, "'Bad' || char(65533)", "'Name'", "'5554445555 '", "NULL"},
                     {4, "CAST(X'c3' AS TEXT)", "'Cut'", "'5556667777 '", "NULL"},
                     {5, "'Nul' || char(0)", "'Name'", "'5557778888 '", "NULL"},
                     // Every text of the row counts, not only the ones kept.
                     {6, "'Other'", "'Column'", "'5558889999 '", "CAST(X'ff' AS TEXT)"}},
                    "");
  std::vector<ContactRecord> contacts;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseContacts({}, dir / "ab.db", contacts, highest), kResultOk);
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts[0].fullName, "GoodOne");
  // The rejected rows still count as live rows for the highest rowid.
  EXPECT_EQ(highest, 6u);
}

TEST(ParseContacts, NamesPhonesAndDropsOnASmallBook) {
  fixtures::TempDir dir;
  WriteSmallAddressBook(dir / "ab.db");
  std::vector<ContactRecord> contacts;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseContacts({}, dir / "ab.db", contacts, highest), kResultOk);
  EXPECT_EQ(highest, 3u);
  // Zoe has no phone: dropped. The nameless one is "No Name". The deleted one is carved.
  ASSERT_EQ(contacts.size(), 3u);
  EXPECT_EQ(contacts[0].fullName, "AnnaBerg");
  EXPECT_EQ(contacts[0].phones, "5551234567");
  EXPECT_EQ(contacts[0].email, "a@b.c");
  EXPECT_EQ(contacts[0].company, "Org 'A' \"B\"");
  EXPECT_FALSE(contacts[0].deleted);
  EXPECT_EQ(contacts[1].fullName, "DeletedPerson");
  EXPECT_TRUE(contacts[1].deleted);
  EXPECT_EQ(contacts[1].phones, "5554443333");
  EXPECT_EQ(contacts[2].fullName, "No Name");
  EXPECT_EQ(contacts[2].phones, "5559990000");
}

TEST(DumpContactRows, MatchesTheGoldenFile) {
  fixtures::TempDir dir;
  WriteSmallAddressBook(dir / "ab.db");
  const auto out = dir / "contacts.csv";
  ASSERT_EQ(DumpContactRows(dir / "ab.db", out, 3), kResultOk);
  const std::string golden = testing::ReadText(std::filesystem::path(KESTRIO_SOURCE_DIR) /
                                               "tests/data/golden/contacts_dump.csv");
  EXPECT_EQ(testing::ReadText(out), golden);
  // Appending: a second dump adds the same rows again, the carved one numbered on.
  ASSERT_EQ(DumpContactRows(dir / "ab.db", out, 10), kResultOk);
  const std::string twice = testing::ReadText(out);
  EXPECT_EQ(twice.substr(0, golden.size()), golden);
  EXPECT_NE(twice.find("\r\n11,"), std::string::npos);
}

}  // namespace
}  // namespace kestrio
