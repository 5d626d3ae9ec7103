#include "output/reports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

using Report = std::tuple<std::int32_t, Result, std::filesystem::path>;

constexpr std::string_view kDevice = "Kim's \"phone\" <2>";

std::filesystem::path SourceFile(const std::filesystem::path& relative) {
  return std::filesystem::path(KESTRIO_SOURCE_DIR) / relative;
}

MessageRecord Sms(bool fromMe, bool deleted, std::string date, std::string name, std::string text) {
  MessageRecord m;
  m.isFromMe = fromMe;
  m.deleted = deleted;
  m.dateText = std::move(date);
  m.address = "+15550001";
  m.contactName = std::move(name);
  m.text = std::move(text);
  return m;
}

std::vector<MessageRecord> Conversation() {
  return {
      Sms(false, false, "2016-12-03 09:15:07", "Alice", "See <b>this</b> & \"that\"\nsecond line"),
      Sms(true, false, "2016-12-03 09:16:00", "Alice", "ok"),
      Sms(false, true, "2016-12-03 09:17:00", "Unknown", "gone"),
      Sms(true, true, "2016-12-03 09:18:00", "", "never mind"),
      Sms(false, false, "2016-12-03 09:19:00", "", "who is this?"),
      Sms(true, false, "2016-12-03 09:20:00", "Alice", "bye"),
  };
}

WhatsAppMessageRecord Wa(bool fromMe, bool deleted, std::string name, std::string id,
                         std::string text) {
  WhatsAppMessageRecord m;
  m.isFromMe = fromMe;
  m.deleted = deleted;
  m.dateText = "2017-01-02 10:00:00";
  m.senderName = std::move(name);
  m.senderId = std::move(id);
  m.text = std::move(text);
  return m;
}

std::vector<WhatsAppMessageRecord> WhatsAppChat() {
  return {
      Wa(false, false, "Bob", "4915550003@s.whatsapp.net", "Hello, \"friend\""),
      Wa(true, false, "Me", "", "Hi Bob"),
      Wa(false, true, "", "4915550004@s.whatsapp.net", "line one\nline two"),
      Wa(false, false, "Unknown", "4915550005@s.whatsapp.net", "<script>alert(1)</script>"),
      Wa(false, false, "Ann, the 2nd", "4915550006@s.whatsapp.net", "plain"),
  };
}

// A program folder whose template/ holds the test templates under the names the run loads.
class ReportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const ReportTemplate t :
         {ReportTemplate::kCallHistory, ReportTemplate::kNotes, ReportTemplate::kContacts,
          ReportTemplate::kMessages, ReportTemplate::kWhatsApp}) {
      const bool chat = t == ReportTemplate::kMessages || t == ReportTemplate::kWhatsApp;
      const auto target = dir_ / "program" / TemplateRelativePath(t);
      std::filesystem::create_directories(target.parent_path());
      std::filesystem::copy_file(
          SourceFile(chat ? "tests/data/templates/chat.html" : "tests/data/templates/table.html"),
          target);
    }
  }

  LoadedTemplate Load(ReportTemplate t) {
    LoadedTemplate out;
    EXPECT_EQ(LoadTemplate(t, dir_ / "program", kDevice, out), kResultOk);
    return out;
  }

  CopyProgress Recorder(Result answer = kResultOk) {
    return [this, answer](std::int32_t percent, Result error, const std::filesystem::path& p) {
      reports_.emplace_back(percent, error, p);
      return answer;
    };
  }

  static void ExpectGolden(const std::filesystem::path& written, std::string_view name) {
    EXPECT_EQ(testing::ReadText(written),
              testing::ReadText(SourceFile("tests/data/golden/reports") / name))
        << name;
  }

  fixtures::TempDir dir_;
  std::vector<Report> reports_;
};

TEST_F(ReportsTest, ConversationPageAndTranscript) {
  const LoadedTemplate sms = Load(ReportTemplate::kMessages);
  const auto html = dir_ / "out" / "Message" / "Alice-20161203091507" / "Alice(+15550001).html";
  const auto txt = html.parent_path() / "Alice(+15550001).txt";
  ASSERT_EQ(WriteConversationText(txt, Conversation()), kResultOk);
  ASSERT_EQ(WriteConversationHtml(html, FillPerson(sms.head, "Alice & Bob", "+15550001"), sms.tail,
                                  Conversation(), Recorder()),
            kResultOk);
  ExpectGolden(html, "conversation.html");
  ExpectGolden(txt, "conversation.txt");

  // Pinned here as well, so that a regenerated golden cannot quietly lose them.
  const std::string page = testing::ReadText(html);
  EXPECT_NE(page.find("See &lt;b&gt;this&lt;/b&gt; &amp; &quot;that&quot;<br />second line"),
            std::string::npos);
  EXPECT_NE(page.find("Date: 2016-12-03 09:17:00 +15550001:"), std::string::npos);  // "Unknown"
  EXPECT_NE(page.find("Date: 2016-12-03 09:16:00 Me:"), std::string::npos);
  EXPECT_NE(testing::ReadText(txt).find("      From: +15550001\r\n      Data: 2016-12-03 09:17:00"),
            std::string::npos);

  // One report per message, percent truncated, the last one 100.
  const std::vector<std::int32_t> percents = {16, 33, 50, 66, 83, 100};
  ASSERT_EQ(reports_.size(), percents.size());
  for (std::size_t i = 0; i < percents.size(); ++i)
    EXPECT_EQ(reports_[i], Report(percents[i], kResultOk, html));
}

TEST_F(ReportsTest, WhatsAppPageTranscriptAndCsv) {
  const LoadedTemplate wa = Load(ReportTemplate::kWhatsApp);
  const auto folder = dir_ / "out" / "WhatsApp Message" / "Bob(4915550003)-20170102100000";
  ASSERT_EQ(WriteWhatsAppText(folder / "chat.txt", WhatsAppChat()), kResultOk);
  ASSERT_EQ(WriteWhatsAppCsv(folder / "chat.csv", WhatsAppChat()), kResultOk);
  ASSERT_EQ(WriteWhatsAppHtml(folder / "chat.html",
                              FillPerson(wa.head, "Bob", "4915550003@s.whatsapp.net"), wa.tail,
                              WhatsAppChat(), Recorder()),
            kResultOk);
  ExpectGolden(folder / "chat.html", "whatsapp.html");
  ExpectGolden(folder / "chat.txt", "whatsapp.txt");
  ExpectGolden(folder / "chat.csv", "whatsapp.csv");

  const std::string csv = testing::ReadText(folder / "chat.csv");
  EXPECT_NE(csv.find("Bob,4915550003@s.whatsapp.net,2017-01-02 10:00:00,Received,"
                     "\"Hello, \"\"friend\"\"\"\r\n"),
            std::string::npos);
  EXPECT_NE(csv.find("\"Ann, the 2nd\",4915550006@s.whatsapp.net,"), std::string::npos);
  EXPECT_EQ(testing::ReadText(folder / "chat.html").find("<script>"), std::string::npos);
  EXPECT_EQ(reports_.size(), WhatsAppChat().size());
}

// A chat page shows a message's picture from the recovered attachments, links its other
// files, and names by its path a file the scan did not find.
TEST_F(ReportsTest, WhatsAppMediaAreShownOrNamed) {
  const LoadedTemplate wa = Load(ReportTemplate::kWhatsApp);
  std::vector<WhatsAppMessageRecord> chat = {
      Wa(false, false, "Bob", "49", "Media/49/1/a.jpg"), Wa(true, false, "Me", "", "look"),
      Wa(false, false, "Bob", "49", "clip"), Wa(false, false, "Bob", "49", "the contract"),
      Wa(false, false, "Bob", "49", "Media/49/1/c.pdf")};
  chat[0].mediaPath = "Media/49/1/a.jpg";
  chat[0].mediaFile = "a.JPG";
  chat[1].mediaPath = "Media/49/1/b b.heic";
  chat[1].mediaFile = "b b\"<\xC3\xA4.HEIC";  // quotes, markup and UTF-8 in a name
  chat[2].mediaPath = "Media/49/1/v.mp4";
  chat[2].mediaFile = "v.MP4";
  chat[3].mediaPath = "Media/49/1/<c>.pdf";
  chat[4].mediaPath = "Media/49/1/c.pdf";
  const auto page = dir_ / "out" / "WhatsApp Message" / "Bob(49)-1" / "chat.html";
  ASSERT_EQ(WriteWhatsAppHtml(page, wa.head, wa.tail, chat, Recorder()), kResultOk);
  const std::string html = testing::ReadText(page);
  EXPECT_NE(html.find("Media/49/1/a.jpg<br /><img class=\"media\" "
                      "src=\"../../WhatsApp%20Attachments/a.JPG\" alt=\"a.JPG\" /></div>"),
            std::string::npos);
  EXPECT_NE(html.find("look<br /><img class=\"media\" "
                      "src=\"../../WhatsApp%20Attachments/b%20b%22%3C%C3%A4.HEIC\" "
                      "alt=\"b b&quot;&lt;\xC3\xA4.HEIC\" />"),
            std::string::npos);
  EXPECT_NE(html.find("clip<br /><a class=\"media\" href=\"../../WhatsApp%20Attachments/v.MP4\">"
                      "v.MP4</a></div>"),
            std::string::npos);
  EXPECT_NE(html.find("the contract<br /><span class=\"media\">File: Media/49/1/&lt;c&gt;.pdf"
                      "</span></div>"),
            std::string::npos);
  // The text is the path already: nothing more.
  EXPECT_NE(html.find(">Media/49/1/c.pdf</div>"), std::string::npos);
}

TEST_F(ReportsTest, SummaryReports) {
  ContactRecord anna;
  anna.fullName = "Anna Berg";
  anna.phones = "+15550001\n+15550002\n+15550003";
  anna.email = "anna@example.com";
  anna.postalAddress = "1 Main St\nSpringfield";
  anna.homePage = "http://example.com/?a=1&b=2";
  anna.company = "<Acme>";
  ContactRecord noName;
  noName.fullName = "No Name";
  noName.phones = "5550100";
  std::string contactRows;
  AppendContactRow(contactRows, anna);
  AppendContactRow(contactRows, noName);
  EXPECT_NE(contactRows.find("<td>+15550001<br />+15550002<br />+15550003</td>"),
            std::string::npos);

  auto call = [](bool incoming, std::int32_t seconds, std::string name, std::string number,
                 CallKind kind = CallKind::kPhone, bool answered = true) {
    CallRecord c;
    c.isIncoming = incoming;
    c.durationSeconds = seconds;
    c.answered = answered && seconds != 0;
    c.kind = kind;
    c.contactName = std::move(name);
    c.number = std::move(number);
    c.dateText = "2016-11-30 18:00:00";
    return c;
  };
  CallRecord app = call(true, 30, "", "+15550005", CallKind::kOtherApp);
  app.app = "net.whatsapp.WhatsApp";
  std::string callRows;
  AppendCallRow(callRows, call(true, 0, "Anna Berg", "+15550001"));
  AppendCallRow(callRows, call(false, 0, "", "+15550002"));
  AppendCallRow(callRows, call(false, 3725, "Tom & Jerry", "+15550003", CallKind::kFaceTimeVideo));
  AppendCallRow(callRows, call(true, 75, "", "+15550004", CallKind::kFaceTimeAudio));
  AppendCallRow(callRows, app);
  // Incoming, not answered, yet with a duration (it rang): missed all the same.
  AppendCallRow(callRows, call(true, 12, "", "+15550006", CallKind::kPhone, false));
  EXPECT_NE(callRows.find("<td>Incoming</td><td>Phone</td><td>Missed</td>"), std::string::npos);
  EXPECT_NE(callRows.find("<td>Outgoing</td><td>Phone</td><td>Canceled</td>"), std::string::npos);
  EXPECT_NE(callRows.find("<td>+15550006</td><td>2016-11-30 18:00:00</td><td>Incoming</td>"
                          "<td>Phone</td><td>Missed</td>"),
            std::string::npos);

  NoteRecord shopping;
  shopping.title = "Shopping <list>";
  shopping.dateText = "2016-10-01 08:30:00";
  shopping.body = "milk\neggs & ham";
  shopping.folder = "Home & <garden>";
  NoteRecord untitled;
  untitled.dateText = "2016-10-02 08:30:00";
  untitled.body = "no title";
  NoteRecord locked;
  locked.title = "Bank codes";
  locked.folder = "Notes";
  locked.locked = true;
  std::string noteRows;
  AppendNoteRow(noteRows, shopping);
  AppendNoteRow(noteRows, untitled);
  AppendNoteRow(noteRows, locked);
  EXPECT_NE(noteRows.find("<td>Home &amp; &lt;garden&gt;</td>"), std::string::npos);
  EXPECT_NE(noteRows.find("<td>Bank codes</td><td>Notes</td><td></td><td>Locked note: the text "
                          "is encrypted with the note's password</td>"),
            std::string::npos)
      << noteRows;

  const auto out = dir_ / "out";
  ASSERT_EQ(WriteSummaryReport(out / "Contacts" / "20161203091507" / "Contacts.html",
                               Load(ReportTemplate::kContacts), contactRows),
            kResultOk);
  ASSERT_EQ(WriteSummaryReport(out / "CallHistory" / "CallHistory_20161203091507.html",
                               Load(ReportTemplate::kCallHistory), callRows),
            kResultOk);
  ASSERT_EQ(WriteSummaryReport(out / "Notes" / "Notes_20161203091507.html",
                               Load(ReportTemplate::kNotes), noteRows),
            kResultOk);
  ExpectGolden(out / "Contacts" / "20161203091507" / "Contacts.html", "contacts.html");
  ExpectGolden(out / "CallHistory" / "CallHistory_20161203091507.html", "calls.html");
  ExpectGolden(out / "Notes" / "Notes_20161203091507.html", "notes.html");
}

TEST_F(ReportsTest, TemplateLoading) {
  const LoadedTemplate sms = Load(ReportTemplate::kMessages);
  const std::string title = "iPhone's Messages of Kim's &quot;phone&quot; &lt;2&gt;";
  EXPECT_EQ(sms.head, "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                          "</title></head>\n<body>\n<h1>" + title +
                          "</h1>\n<p class=\"person\">{|person|}</p>\n");
  EXPECT_EQ(sms.tail, "<p>{|title|} is left alone after the content</p>\n</body></html>\n");
  EXPECT_EQ(sms.whole, testing::ReadText(SourceFile("tests/data/templates/chat.html")));

  // Inserted texts are not searched again: a name holding the placeholder cannot loop.
  LoadedTemplate looping;
  ASSERT_EQ(LoadTemplate(ReportTemplate::kMessages, dir_ / "program", "{|title|}", looping),
            kResultOk);
  EXPECT_NE(looping.head.find("<h1>iPhone's Messages of {|title|}</h1>"), std::string::npos);
  EXPECT_EQ(FillPerson("<p>{|person|}</p><p>{|person|}</p>", "{|person|}", "<1>"),
            "<p>Name: {|person|}, Phone: &lt;1&gt;</p><p>Name: {|person|}, Phone: &lt;1&gt;</p>");

  // Failures leave the caller's template as it was.
  LoadedTemplate kept;
  kept.head = "kept";
  std::filesystem::remove(dir_ / "program" / TemplateRelativePath(ReportTemplate::kNotes));
  EXPECT_EQ(LoadTemplate(ReportTemplate::kNotes, dir_ / "program", kDevice, kept),
            SystemResult(ENOENT));
  testing::WriteBytes(dir_ / "program" / TemplateRelativePath(ReportTemplate::kNotes),
                      {'{', '|', 't', 'i', 't', 'l', 'e', '|', '}'});
  EXPECT_EQ(LoadTemplate(ReportTemplate::kNotes, dir_ / "program", kDevice, kept), kResultInvalid);
  std::filesystem::remove(dir_ / "program" / TemplateRelativePath(ReportTemplate::kNotes));
  std::filesystem::create_directory(dir_ / "program" /
                                    TemplateRelativePath(ReportTemplate::kNotes));
  EXPECT_EQ(LoadTemplate(ReportTemplate::kNotes, dir_ / "program", kDevice, kept),
            SystemResult(EISDIR));
  EXPECT_EQ(kept.head, "kept");
}

TEST_F(ReportsTest, PageProgressStopsEmptyPagesAndUnwritablePaths) {
  const LoadedTemplate sms = Load(ReportTemplate::kMessages);

  // A stop answer after the first of 200 messages: the loop ends, the page keeps that
  // message, and the stop is reported once with 100.
  std::vector<MessageRecord> longChat(200, Sms(false, false, "d", "Alice", "msg"));
  longChat[0].text = "first";
  const auto stopped = dir_ / "stopped.html";
  EXPECT_EQ(WriteConversationHtml(stopped, sms.head, sms.tail, longChat, Recorder(kResultStopped)),
            kResultStopped);
  EXPECT_EQ(reports_, (std::vector<Report>{{0, kResultOk, stopped}, {100, 2, stopped}}));
  EXPECT_EQ(
      testing::ReadText(stopped),
      sms.head +
          "<div class=\"date\">Date: d Alice:</div>\r\n<div class=\"recv_msg\">first</div>\r\n" +
          sms.tail);

  // No messages: head and tail, no report.
  reports_.clear();
  ASSERT_EQ(WriteWhatsAppHtml(dir_ / "empty.html", sms.head, sms.tail, {}, Recorder()), kResultOk);
  EXPECT_EQ(testing::ReadText(dir_ / "empty.html"), sms.head + sms.tail);
  EXPECT_TRUE(reports_.empty());

  // A folder that cannot be made (its parent is a file): the error is reported once, for
  // the page only; no message is reported.
  testing::WriteBytes(dir_ / "blocker", {'x'});
  const auto page = dir_ / "blocker" / "chat" / "chat.html";
  const Result notDir = SystemResult(ENOTDIR);
  EXPECT_EQ(WriteConversationHtml(page, sms.head, sms.tail, longChat, Recorder()), notDir);
  EXPECT_EQ(WriteWhatsAppHtml(page, sms.head, sms.tail, WhatsAppChat(), Recorder()), notDir);
  EXPECT_EQ(reports_, (std::vector<Report>{{100, notDir, page}, {100, notDir, page}}));
  EXPECT_EQ(WriteConversationText(page, longChat), notDir);
  EXPECT_EQ(WriteWhatsAppText(page, WhatsAppChat()), notDir);
  EXPECT_EQ(WriteWhatsAppCsv(page, WhatsAppChat()), notDir);
  EXPECT_EQ(WriteSummaryReport(page, sms, "rows"), notDir);
}

}  // namespace
}  // namespace kestrio
