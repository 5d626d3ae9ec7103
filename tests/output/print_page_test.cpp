// The print page: which records a category prints (ticked, and deleted with the filter on;
// a conversation by its own mark, then all its messages), the lines each prints with its texts
// escaped, a cancel between records, and the template and page files.
#include "output/print_page.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/output/scanned_results.h"

namespace kestrio {
namespace {

using testing::Scanned;

std::string Print(const Scanned& s, CategoryCode code, bool deletedOnly = false) {
  std::string content;
  EXPECT_EQ(BuildPrintContent(s.r, s.selection, code, deletedOnly, content), kResultOk);
  return content;
}

std::size_t Count(const std::string& text, std::string_view piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++n;
  return n;
}

TEST(PrintPage, RecordsPrintTheirLinesEscapedAndOnlyWhenTicked) {
  Scanned s;
  s.r.contacts[2].fullName = "Cleo <b>&</b>";
  s.r.contacts[2].phones = "+1 555\n+49 151";
  const std::string contacts = Print(s, kCodeContacts);
  EXPECT_EQ(Count(contacts, "<div>\r\n"), 3u);
  EXPECT_NE(contacts.find("<p><span>Name:</span>Cleo &lt;b&gt;&amp;&lt;/b&gt;</p>\r\n"),
            std::string::npos);
  EXPECT_NE(contacts.find("<p><span>Phone Number:</span>+1 555<br />+49 151</p>\r\n"),
            std::string::npos);
  EXPECT_EQ(contacts.find("<b>"), std::string::npos);

  // Unticked records are left out; with the filter, so are the live ones.
  s.selection.TickItem(&s.r.contacts[2], false);
  EXPECT_EQ(Count(Print(s, kCodeContacts), "<div>"), 2u);
  EXPECT_EQ(Print(s, kCodeContacts, true),
            "<div>\r\n<p><span>Name:</span>Ben</p>\r\n<p><span>Phone Number:</span></p>\r\n"
            "<p><span>Company:</span></p>\r\n<p><span>Email:</span></p>\r\n"
            "<p><span>URL:</span></p>\r\n</div>\r\n");

  // Calls say their type and how they ended.
  const std::string calls = Print(s, kCodeCallHistory);
  EXPECT_NE(calls.find("<p><span>Type:</span>Outgoing</p>\r\n<p><span>Duration:</span>Canceled"),
            std::string::npos);
  EXPECT_NE(calls.find("<p><span>Duration:</span>1 Hour 1 Min</p>"), std::string::npos);
  EXPECT_NE(calls.find("<p><span>Duration:</span>Missed</p>"), std::string::npos);
  EXPECT_EQ(Count(Print(s, kCodeNotes), "<p><span>Notes:</span>"), 2u);

  // Files have no page of their own.
  EXPECT_EQ(Print(s, kCodeCameraRoll), "");
  EXPECT_EQ(Print(s, kCodeAppPhotos), "");
}

TEST(PrintPage, ConversationsAndChatsPrintEveryMessageOfWhatTheFilterKeeps) {
  Scanned s;
  s.r.messages[1][0].isFromMe = true;
  s.r.messages[1][1].contactName = "Unknown";
  s.r.messages[2][0].contactName = "Ava";
  // Conversation 1 holds a deleted message: with the filter both its messages print, and
  // conversation 2 none of its.
  const std::string deleted = Print(s, kCodeMessages, true);
  EXPECT_EQ(Count(deleted, "<div>"), 2u);
  EXPECT_NE(deleted.find("<p><span>To:</span>+49151001</p>"), std::string::npos);
  EXPECT_NE(deleted.find("<p><span>From:</span>+49151001</p>"), std::string::npos);  // "Unknown"
  EXPECT_EQ(deleted.find("line one"), std::string::npos);
  const std::string all = Print(s, kCodeMessages);
  EXPECT_NE(all.find("<p><span>From:</span>Ava(+49151002)</p>"), std::string::npos);
  EXPECT_NE(all.find("<p><span>Content:</span>line one<br />line two</p>"), std::string::npos);

  WhatsAppMessageRecord mine = s.r.whatsApp[4][0];
  mine.isFromMe = true;
  mine.text = "on my way";
  mine.dateText = "2021-01-01 10:00:00";
  s.r.whatsApp[4][0].text = "where are you?";
  s.r.whatsApp[4].push_back(mine);
  const std::string chats = Print(s, kCodeWhatsApp);
  EXPECT_NE(chats.find("<p><span>Chats:</span>Team</p>\r\n<p><span>Name:</span>Lena</p>"),
            std::string::npos);
  EXPECT_NE(chats.find("<p>Lena (): where are you?</p>"), std::string::npos);
  EXPECT_NE(chats.find("<p>Me (2021-01-01 10:00:00): on my way</p>"), std::string::npos);
  EXPECT_EQ(Print(s, kCodeWhatsApp, true), "");  // the chat has no deleted mark
}

TEST(PrintPage, CancelStopsBetweenRecords) {
  Scanned s;
  int asked = 0;
  std::string content;
  EXPECT_EQ(BuildPrintContent(s.r, s.selection, kCodeContacts, false, content,
                              [&asked] { return ++asked == 2; }),
            kResultStopped);
  EXPECT_EQ(Count(content, "<div>"), 1u);
}

TEST(PrintPage, TemplateSplitsAtItsPlaceholderAndThePageReplacesWhatWasThere) {
  PrintTemplate page;
  ASSERT_EQ(LoadPrintTemplate(KESTRIO_SOURCE_DIR, page), kResultOk);
  EXPECT_NE(page.head.find("<html"), std::string::npos);
  EXPECT_NE(page.tail.find("</html>"), std::string::npos);

  fixtures::TempDir dir;
  EXPECT_NE(LoadPrintTemplate(dir.path(), page), kResultOk);  // no template: no frame
  EXPECT_TRUE(page.head.empty() && page.tail.empty());
  std::filesystem::create_directories(dir / "template");
  std::ofstream(dir / "template" / "Print.html") << "<p>no placeholder</p>";
  EXPECT_EQ(LoadPrintTemplate(dir.path(), page), kResultInvalid);

  const std::filesystem::path path = PrintPagePath(dir.path());
  EXPECT_EQ(path, dir / "Print" / "page");
  std::ofstream(path) << std::string(500, 'x');
  ASSERT_EQ(WritePrintPage(path, {"<h>", "</h>"}, "body"), kResultOk);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "<h>body</h>");
  EXPECT_NE(WritePrintPage(dir / "Print" / "page" / "below a file", {}, "x"), kResultOk);
}

}  // namespace
}  // namespace kestrio
