#include "parsers/notes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>

#include "base/time_text.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

TEST(CleanNoteText, DecodesTheEntitiesAndLineMarkupInOrder) {
  EXPECT_EQ(CleanNoteText("a &lt; b<div>line two</div><br>end"), "a < b\nline two\nend");
  EXPECT_EQ(CleanNoteText("it&#39;s &quot;quoted&quot;&nbsp;&gt;"), "it's \"quoted\" >");
  // &amp; is decoded after the others, so an escaped entity stays an entity.
  EXPECT_EQ(CleanNoteText("&amp;lt; &amp;amp;"), "&lt; &amp;");
  // Other markup is left alone.
  EXPECT_EQ(CleanNoteText("<b>bold</b><p>"), "<b>bold</b><p>");
}

// notes.sqlite: ZNOTEBODY with the HTML at 4 (7 columns), ZNOTE with the body's rowid at 11,
// the date at 14 (a Core Data double) and the title at 19.
void WriteNotes(const std::filesystem::path& path, const std::string& rows) {
  std::string note = "Z_PK INTEGER PRIMARY KEY";
  for (int c = 1; c < 19; ++c) {
    note += c == 11   ? ", ZBODY INTEGER"
            : c == 14 ? ", ZCREATIONDATE TIMESTAMP"
                      : ", Z" + std::to_string(c);
  }
  note += ", ZTITLE VARCHAR";
  testing::ExecSql(path,
                   "PRAGMA page_size=1024; CREATE TABLE ZNOTEBODY (Z_PK INTEGER PRIMARY "
                   "KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZOWNER INTEGER, ZCONTENT VARCHAR, "
                   "ZEXTERNALCONTENTREF VARCHAR, ZEXTERNALREPRESENTATION BLOB);"
                   "CREATE TABLE ZNOTE (" +
                       note + ");" + rows);
}

std::string Body(int id, const std::string& html) {
  return "INSERT INTO ZNOTEBODY VALUES (" + std::to_string(id) + ", 3, 1, " + std::to_string(id) +
         ", '" + html + "', NULL, NULL);";
}

std::string Note(int id, int body, double date, const std::string& title) {
  std::string v = std::to_string(id);
  for (int c = 1; c < 19; ++c) {
    v += c == 11 ? ", " + std::to_string(body) : c == 14 ? ", " + std::to_string(date) : ", 0";
  }
  return "INSERT INTO ZNOTE VALUES (" + v + ", '" + title + "');";
}

class NotesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Paris", 1);
    tzset();
  }
};

TEST_F(NotesTest, BodiesJoinTheirNotesAndOrphansOfBothKindsAreKept) {
  fixtures::TempDir dir;
  WriteNotes(dir / "notes.db", Body(1, "<div>Shopping</div><div>milk &amp; eggs</div>") +
                                   Note(1, 1, 600000000.25, "Shopping") + Body(2, "no title here") +
                                   Note(2, 9, 600001000.5, "Title without body") + Body(3, "") +
                                   Note(3, 3, 600002000, "") + Note(4, 4, 600003000, "Gone body") +
                                   Body(4, "deleted body text that is long enough to stay") +
                                   "DELETE FROM ZNOTEBODY WHERE Z_PK = 4;");
  std::vector<NoteRecord> notes(5);
  ASSERT_EQ(ParseNotes(dir / "notes.db", notes), kResultOk);
  std::map<std::string, NoteRecord> byBody;
  for (const NoteRecord& n : notes) byBody[n.body] = n;
  ASSERT_TRUE(byBody.count("\nShopping\nmilk & eggs"));
  const NoteRecord& shopping = byBody["\nShopping\nmilk & eggs"];
  EXPECT_EQ(shopping.title, "Shopping");
  EXPECT_EQ(shopping.dateText, AppleTimeText(600000000));  // a double date, truncated
  EXPECT_FALSE(shopping.deleted);
  EXPECT_EQ(shopping.bodyKey, 1u);
  // A body with no note row: no title, no date.
  ASSERT_TRUE(byBody.count("no title here"));
  EXPECT_EQ(byBody["no title here"].title, "");
  EXPECT_EQ(byBody["no title here"].dateText, "");
  // A note row whose body is missing keeps its title and date.
  auto titled = [&](const std::string& title) {
    return std::find_if(notes.begin(), notes.end(),
                        [&](const NoteRecord& n) { return n.title == title; });
  };
  ASSERT_NE(titled("Title without body"), notes.end());
  EXPECT_EQ(titled("Title without body")->body, "");
  EXPECT_EQ(titled("Title without body")->dateText, AppleTimeText(600001000));
  // The deleted body is carved (rowid 0) and still listed, marked deleted.
  ASSERT_TRUE(byBody.count("deleted body text that is long enough to stay"));
  EXPECT_TRUE(byBody["deleted body text that is long enough to stay"].deleted);
  // The note with an empty body and an empty title is not returned. "Gone body" lost its body
  // row: the carved body has no rowid, so the note row stays on its own.
  for (const NoteRecord& n : notes) EXPECT_FALSE(n.title.empty() && n.body.empty());
  EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                          [](const NoteRecord& n) { return n.title == "Gone body"; }),
            1);
}

TEST_F(NotesTest, OpenErrorsLeaveTheListAlone) {
  fixtures::TempDir dir;
  std::vector<NoteRecord> notes(2);
  EXPECT_EQ(ParseNotes(dir / "none.db", notes), kResultSystemBase + ENOENT);
  testing::WriteBytes(dir / "text.db", std::vector<std::uint8_t>(1024, 'n'));
  EXPECT_EQ(ParseNotes(dir / "text.db", notes), kResultInvalid);
  EXPECT_EQ(notes.size(), 2u);
}

}  // namespace
}  // namespace kestrio
