#include "parsers/contacts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "base/findings.h"
#include "base/text.h"
#include "parsers/contact_names.h"
#include "tests/fixtures/carving_census.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

TEST(SearchTextPhones, KeepsEachNumberWholeInItsFirstForm) {
  // The forms of one number as the index writes them: the typed form comes first.
  EXPECT_EQ(SearchTextPhones("(919) 888-7386 +19198887386 01119198887386 0019198887386 "
                             "19198887386 9198887386 8887386"),
            "(919) 888-7386");
  EXPECT_EQ(SearchTextPhones("+1 (555) 010-9321 15550109321 5550109321 "), "+1 (555) 010-9321");
  // A national trunk zero and the country code are one number.
  EXPECT_EQ(SearchTextPhones("015112345678 +4915112345678 0151 12345678 "), "015112345678");
  // Two numbers, even with the same last digits; the piece after the last space counts.
  EXPECT_EQ(SearchTextPhones("5551234567 +15551234567 5559876567 +15559876567"),
            "5551234567\n5559876567");
  // Pieces without 7 digits are not numbers, and they are not glued to a number the text does
  // not hold whole.
  EXPECT_EQ(SearchTextPhones("112 5551234567 "), "5551234567");
  EXPECT_EQ(SearchTextPhones("\xE5\x86\x85\xE7\xBA\xBF"
                             "123 "),
            "");
  EXPECT_EQ(SearchTextPhones("   "), "");
  EXPECT_EQ(SearchTextPhones(""), "");
}

struct LayoutCase {
  int columns;
  bool newLayout;
  int pageSize;
};

class ContactsLayout : public ::testing::TestWithParam<LayoutCase> {};

std::string NameOf(const fixtures::ContactRow& row) {
  std::string name = row.first;
  if (!name.empty() && !row.last.empty()) name += ' ';
  name += row.last;
  if (name.empty()) name = row.organization;
  return name.empty() ? "No Name" : name;
}

std::string LiveKey(const ContactRecord& c) {
  return c.fullName + "|" + c.phones + "|" + c.email + "|" + c.company + "|" + c.postalAddress +
         "|" + c.social + "|" + c.homePage;
}

std::string ModelKey(const fixtures::ContactRow& row) {
  return NameOf(row) + "|" + row.phoneLines + "|" + row.emailLines + "|" + row.organization + "|" +
         row.addressLines + "|" + row.socialLines + "|" + row.urlLines;
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
  std::set<std::string> deletedFound, deletedEmails;
  for (const ContactRecord& c : contacts) {
    EXPECT_FALSE(c.fullName.empty());
    if (c.deleted) {
      deletedFound.insert(c.fullName + "|" + c.phones);
      if (!c.email.empty()) deletedEmails.insert(c.email);
    } else {
      liveFound.insert(LiveKey(c));
    }
  }
  std::multiset<std::string> liveExpected;
  std::int64_t maxLive = 0;
  int deletedWithPhone = 0, deletedRecovered = 0;
  // Against the census: the deleted contacts whose phone text (e-mail address when they have
  // no phone) is still in the file.
  fixtures::CarvingTally tally;
  tally.recoverable = fixtures::Recoverable(book.census);
  for (const fixtures::ContactRow& row : book.contacts) {
    if (!row.deleted) {
      maxLive = std::max(maxLive, row.rowId);
      liveExpected.insert(ModelKey(row));  // with or without a phone
    } else if (!row.phoneLines.empty()) {
      ++deletedWithPhone;
      const bool found = deletedFound.count(NameOf(row) + "|" + row.phoneLines) != 0;
      deletedRecovered += found ? 1 : 0;
      if (found) tally.found.insert(row.rowId);
    } else if (deletedEmails.count(row.emailLines) != 0) {
      tally.found.insert(row.rowId);
    }
  }
  EXPECT_GE(tally.Recall(), 0.90) << tally.recoverable.size() << " recoverable";
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

// The person and value tables of the real layouts.
struct RealCase {
  fixtures::AddressBookLayout layout;
  const char* name;
};

class RealAddressBook : public ::testing::TestWithParam<RealCase> {};

bool SharesALine(std::string_view a, std::string_view b) {
  for (std::size_t start = 0; start < a.size();) {
    std::size_t end = a.find('\n', start);
    if (end == std::string_view::npos) end = a.size();
    const std::string_view line = a.substr(start, end - start);
    for (std::size_t s = 0; s < b.size();) {
      std::size_t e = b.find('\n', s);
      if (e == std::string_view::npos) e = b.size();
      if (b.substr(s, e - s) == line) return true;
      s = e + 1;
    }
    start = end + 1;
  }
  return false;
}

TEST_P(RealAddressBook, EveryLivePersonWithTheirValuesAndTheDeletedOnesThatSurvived) {
  fixtures::TempDir dir;
  fixtures::AddressBookOptions options;
  options.layout = GetParam().layout;
  options.contactCount = 80;
  const fixtures::AddressBook book = fixtures::WriteAddressBook(dir / "ab.db", options);
  ASSERT_GT(book.removedValues, 2);

  FindingsList findings;
  ParseContext context;
  context.findings = &findings;
  std::vector<ContactRecord> contacts;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseContacts(context, book.path, contacts, highest), kResultOk);
  EXPECT_TRUE(findings.Snapshot().empty());

  std::multiset<std::string> liveFound, liveExpected;
  std::vector<const ContactRecord*> deletedFound;
  for (const ContactRecord& c : contacts) {
    if (c.deleted) {
      deletedFound.push_back(&c);
    } else {
      liveFound.insert(LiveKey(c));
    }
  }
  std::int64_t maxLive = 0;
  std::vector<const fixtures::ContactRow*> deletedExpected;
  for (const fixtures::ContactRow& row : book.contacts) {
    if (row.deleted) {
      deletedExpected.push_back(&row);
    } else {
      liveExpected.insert(ModelKey(row));
      maxLive = std::max(maxLive, row.rowId);
    }
  }
  EXPECT_EQ(liveFound, liveExpected);
  EXPECT_EQ(highest, static_cast<std::uint64_t>(maxLive));

  // A deleted contact counts as found when a listed deleted contact has its name or one of its
  // values; every listed deleted contact must be one of them (no garbage, no live copies).
  auto matches = [](const ContactRecord& c, const fixtures::ContactRow& row) {
    return (c.fullName != "No Name" && c.fullName == NameOf(row)) ||
           SharesALine(c.phones, row.phoneLines) || SharesALine(c.email, row.emailLines) ||
           SharesALine(c.homePage, row.urlLines);
  };
  int recovered = 0;
  for (const fixtures::ContactRow* row : deletedExpected) {
    recovered += std::any_of(deletedFound.begin(), deletedFound.end(),
                             [&](const ContactRecord* c) { return matches(*c, *row); });
  }
  for (const ContactRecord* c : deletedFound) {
    EXPECT_TRUE(std::any_of(deletedExpected.begin(), deletedExpected.end(),
                            [&](const fixtures::ContactRow* row) { return matches(*c, *row); }))
        << "not a deleted contact: " << LiveKey(*c);
  }
  std::printf("%s: live %zu of %zu, deleted recovered %d of %zu (%zu listed)\n", GetParam().name,
              liveFound.size(), liveExpected.size(), recovered, deletedExpected.size(),
              deletedFound.size());
  ::testing::Test::RecordProperty("deletedRecovered", recovered);
  // The URLs of deleted people survive among the freed values (no index needed).
  int withUrl = 0, urlRecovered = 0;
  for (const fixtures::ContactRow* row : deletedExpected) {
    if (row->urlLines.empty()) continue;
    ++withUrl;
    urlRecovered +=
        std::any_of(deletedFound.begin(), deletedFound.end(),
                    [&](const ContactRecord* c) { return c->homePage == row->urlLines; });
  }
  std::printf("%s: deleted URLs recovered %d of %d\n", GetParam().name, urlRecovered, withUrl);
  ASSERT_GT(withUrl, 2);
  EXPECT_GE(urlRecovered * 2, withUrl);
  // A name and numbers listed together belong to one deleted person (joined through the
  // freed index row, as the freed person row lost its rowid).
  for (const ContactRecord* c : deletedFound) {
    if (c->fullName == "No Name" || c->phones.empty()) continue;
    EXPECT_TRUE(std::any_of(deletedExpected.begin(), deletedExpected.end(),
                            [&](const fixtures::ContactRow* row) {
                              return NameOf(*row) == c->fullName &&
                                     SharesALine(c->phones, row->phoneLines);
                            }))
        << c->fullName << " with " << c->phones;
  }
  // With an index, a deleted person's freed rows of the three tables make one contact.
  if (GetParam().layout != fixtures::AddressBookLayout::kIos5) {
    EXPECT_EQ(deletedFound.size(), static_cast<std::size_t>(recovered));
  }
  ASSERT_GT(deletedExpected.size(), 10u);
  EXPECT_GE(recovered * 2, static_cast<int>(deletedExpected.size()));

  // The hand-made people, by name.
  std::map<std::string, const ContactRecord*> live;
  for (const ContactRecord& c : contacts) {
    if (!c.deleted) live[c.fullName] = &c;
  }
  ASSERT_TRUE(live.contains("Ava Moreau"));
  EXPECT_EQ(live["Ava Moreau"]->phones, "(555) 010-4477\n+1 (555) 010-9321");
  EXPECT_EQ(live["Ava Moreau"]->postalAddress,
            "Home: 1 Market Street, San Francisco, CA 94105, United States");
  ASSERT_TRUE(live.contains("Bäckerei Schulz"));
  EXPECT_EQ(live["Bäckerei Schulz"]->company, "Bäckerei Schulz");
  ASSERT_TRUE(live.contains("Zoë"));
  EXPECT_TRUE(live["Zoë"]->phones.empty());
  ASSERT_TRUE(live.contains("Tom Jones"));
  EXPECT_EQ(live["Tom Jones"]->phones, "(555) 010-8888");  // the removed number stays out
  ASSERT_TRUE(live.contains("No Name"));

  for (std::size_t i = 1; i < contacts.size(); ++i) {
    EXPECT_LE(CompareIgnoreCase(contacts[i - 1].fullName, contacts[i].fullName), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RealAddressBook,
                         ::testing::Values(RealCase{fixtures::AddressBookLayout::kIos5, "Ios5"},
                                           RealCase{fixtures::AddressBookLayout::kIos9, "Ios9"},
                                           RealCase{fixtures::AddressBookLayout::kIos15, "Ios15"},
                                           RealCase{fixtures::AddressBookLayout::kIos16, "Ios16"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadContactRows, GivesPhonesAndEmailsOnePerLineForTheNameLookups) {
  fixtures::TempDir dir;
  fixtures::AddressBookOptions options;
  options.layout = fixtures::AddressBookLayout::kIos16;
  options.contactCount = 12;
  const fixtures::AddressBook book = fixtures::WriteAddressBook(dir / "ab.db", options);
  TableReader reader;
  ASSERT_EQ(reader.OpenDatabase(book.path), kResultOk);
  std::vector<ContactRecord> contacts;
  ASSERT_EQ(ReadContactRows(reader, contacts), kResultOk);
  const ContactNames names(contacts);
  EXPECT_EQ(names.NameOf("+15550104477"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("5550109321"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("NOAH.SMITH@work.example"), "Noah Smith");
  EXPECT_EQ(names.NameOf("+8613800138000"), "李 王");
  EXPECT_EQ(names.NameOf("5550109999"), "");  // removed from Tom Jones
}

// A hand-made address book with bad rows and a table short of a column.
TEST(ParseContacts, BadRowsAndMissingColumnsAreFindingsAndTheRestIsRead) {
  fixtures::TempDir dir;
  testing::ExecSql(dir / "ab.db",
                   "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First, Last, Organization);"
                   "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id, property, "
                   "value);"
                   "CREATE TABLE ABMultiValueLabel (value);"
                   "INSERT INTO ABPerson VALUES (1, 'Anna', 'Berg', NULL);"
                   "INSERT INTO ABPerson VALUES (2, NULL, NULL, NULL);"
                   "INSERT INTO ABMultiValue VALUES (1, 1, 3, '(555) 010-4477');"
                   "INSERT INTO ABMultiValue VALUES (2, 99, 4, 'stray@example.org');"
                   "INSERT INTO ABMultiValue VALUES (3, 1, 999, 'not shown');"
                   "INSERT INTO ABMultiValue VALUES (4, 0, 3, '5550000000');");
  FindingsList findings;
  ParseContext context;
  context.findings = &findings;
  std::vector<ContactRecord> contacts;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseContacts(context, dir / "ab.db", contacts, highest), kResultOk);
  EXPECT_EQ(highest, 2u);
  ASSERT_EQ(contacts.size(), 3u);
  EXPECT_EQ(contacts[0].fullName, "Anna Berg");
  EXPECT_EQ(contacts[0].phones, "(555) 010-4477");
  EXPECT_EQ(contacts[1].fullName, "No Name");  // person 2, and the value of no person
  EXPECT_EQ(contacts[2].fullName, "No Name");
  EXPECT_EQ(contacts[1].email + contacts[2].email, "stray@example.org");
  bool label = false, nowhere = false;
  for (const Finding& f : findings.Snapshot()) {
    label = label || f.where.find("column label") != std::string::npos;
    nowhere = nowhere || f.where.find("record_id 99") != std::string::npos;
  }
  EXPECT_TRUE(label);
  EXPECT_TRUE(nowhere);
}

TEST(ParseContacts, AnAddressBookWithoutAnyContactTableIsAFinding) {
  fixtures::TempDir dir;
  testing::ExecSql(dir / "ab.db", "CREATE TABLE ABStore (Name TEXT);");
  FindingsList findings;
  ParseContext context;
  context.findings = &findings;
  std::vector<ContactRecord> contacts;
  std::uint64_t highest = 0;
  ASSERT_EQ(ParseContacts(context, dir / "ab.db", contacts, highest), kResultOk);
  EXPECT_TRUE(contacts.empty());
  EXPECT_EQ(findings.Snapshot().size(), 1u);
}

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
  EXPECT_EQ(contacts[0].fullName, "Good One");
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
  // Zoe has no phone and is listed all the same; the nameless one is named by the
  // organisation; the deleted one is carved.
  ASSERT_EQ(contacts.size(), 4u);
  EXPECT_EQ(contacts[0].fullName, "Anna Berg");
  EXPECT_EQ(contacts[0].phones, "5551234567");
  EXPECT_EQ(contacts[0].email, "a@b.c");
  EXPECT_EQ(contacts[0].company, "Org 'A' \"B\"");
  EXPECT_FALSE(contacts[0].deleted);
  EXPECT_EQ(contacts[1].fullName, "Deleted Person");
  EXPECT_TRUE(contacts[1].deleted);
  EXPECT_EQ(contacts[1].phones, "5554443333");
  EXPECT_EQ(contacts[2].fullName, "Org 'A' \"B\"");
  EXPECT_EQ(contacts[2].phones, "5559990000");
  EXPECT_EQ(contacts[3].fullName, "Zoe");
  EXPECT_EQ(contacts[3].phones, "");
  EXPECT_EQ(contacts[3].email, "zoe@x.y");
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
