// What the preview pane is given for a row: bubbles, cards, note runs, the file of a row, and
// HEIF pictures decoded.
#include "output/preview.h"

#include <gtest/gtest.h>

#include <fstream>

#include "output/picture.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/output/scanned_results.h"

namespace kestrio {
namespace {

Bytes AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Preview, ConversationBubblesHaveSidesSendersAndTheirPictures) {
  testing::Scanned s;
  ScanResults& r = s.r;
  std::vector<MessageRecord>& messages = r.messages[1];
  messages[0].isFromMe = true;
  messages[0].dateText = "2016-05-01 10:00:00";
  messages[1].dateText = "2016-05-01 10:01:00";
  messages[1].contactName = "Ava Moreau";
  messages.push_back(testing::Message(1, "", false));  // no name: its number
  messages.back().attachments = {"~/Library/SMS/Attachments/ab/01/G1/IMG_1.HEIC",
                                 "~/Library/SMS/Attachments/ab/01/G1/clip.MOV",
                                 "~/Library/SMS/Attachments/ab/01/G2/gone.jpg"};
  r.messageAttachments[0].key = "MediaDomain-Library/SMS/Attachments/ab/01/G1/clip.MOV";
  r.messageAttachments[1].key = "MediaDomain-Library/SMS/Attachments/ab/01/G1/IMG_1.HEIC";
  r.messageAttachments[1].path = "/stored/ab/hash";

  MessageRecord row;  // a conversation's row: a copy of one of its messages
  row.conversationId = 1;
  const std::vector<Bubble> bubbles = ConversationBubbles(r, row);
  ASSERT_EQ(bubbles.size(), 3u);
  EXPECT_TRUE(bubbles[0].sent);
  EXPECT_EQ(bubbles[0].header, "2016-05-01 10:00:00 Me:");
  EXPECT_FALSE(bubbles[1].sent);
  EXPECT_TRUE(bubbles[1].deleted);
  EXPECT_EQ(bubbles[1].header, "2016-05-01 10:01:00 Ava Moreau:");
  EXPECT_EQ(bubbles[1].text, "gone");
  EXPECT_EQ(bubbles[2].header, " +49151001:");
  // The movie is no picture, and a picture the backup lacks has no thumbnail.
  EXPECT_EQ(bubbles[2].pictures, std::vector<std::filesystem::path>{"/stored/ab/hash"});

  row.conversationId = 99;
  EXPECT_TRUE(ConversationBubbles(r, row).empty());
}

TEST(Preview, ChatBubblesNameTheSenderOrItsNumberAndTieMediaOfTheSameChat) {
  testing::Scanned s;
  ScanResults& r = s.r;
  WhatsAppMessageRecord mine = r.whatsApp[4].front();
  mine.isFromMe = true;
  mine.senderName = "Me";
  mine.mediaFile = "photo.JPG";
  WhatsAppMessageRecord unnamed = r.whatsApp[4].front();
  unnamed.senderName.clear();
  unnamed.deleted = true;
  r.whatsApp[4].push_back(mine);
  r.whatsApp[4].push_back(unnamed);
  r.whatsAppAttachments = {testing::File("photo.JPG", 10), testing::File("photo.JPG", 10)};
  r.whatsAppAttachments[0].sessionId = 7;  // the same name in another chat
  r.whatsAppAttachments[0].path = "/other";
  r.whatsAppAttachments[1].sessionId = 4;
  r.whatsAppAttachments[1].path = "/ours";

  const std::vector<Bubble> bubbles = ChatBubbles(r, r.whatsApp[4].front());
  ASSERT_EQ(bubbles.size(), 3u);
  EXPECT_EQ(bubbles[0].header, " Lena:");
  EXPECT_TRUE(bubbles[1].sent);
  EXPECT_EQ(bubbles[1].pictures, std::vector<std::filesystem::path>{"/ours"});
  EXPECT_EQ(bubbles[2].header, " 4915100:");
  EXPECT_TRUE(bubbles[2].deleted);
}

TEST(Preview, ContactCardsNotesAndTheContentOfEachKindOfRow) {
  ContactRecord contact;
  contact.fullName = "Ava Moreau";
  EXPECT_TRUE(CardOf(contact).lines.empty());  // a name alone
  contact.deleted = true;
  contact.company = "Acme";
  contact.phones = "+15550109321\n+15550100000";
  const ContactCard card = CardOf(contact);
  EXPECT_TRUE(card.deleted);
  ASSERT_EQ(card.lines.size(), 2u);
  EXPECT_EQ(card.lines[0].valueControl, "TxtPhone");
  EXPECT_EQ(card.lines[0].value, "+15550109321\n+15550100000");
  EXPECT_EQ(card.lines[1].labelControl, "LblCompanyDesc");

  NoteRecord note;
  note.title = "Groceries";
  note.body = "milk";
  std::vector<TextRun> runs = NoteRuns(note);
  ASSERT_EQ(runs.size(), 5u);
  EXPECT_EQ(runs[1].text, "Title:\n");
  EXPECT_EQ(runs[1].colour, kHeadingColour);
  EXPECT_EQ(runs.back().text, "    milk");
  note.deleted = true;
  note.folder = "Home";
  note.locked = true;
  runs = NoteRuns(note);
  ASSERT_EQ(runs.size(), 9u);
  EXPECT_EQ(runs[1].colour, kDeletedColour);
  EXPECT_EQ(runs[4].text, "    Home\n");
  EXPECT_EQ(runs[5].text, "Locked:\n");

  testing::Scanned s;
  s.r.messageAttachments[1].path = "/attachment";
  s.r.whatsAppAttachments[0].path = "/whatsapp";
  const ItemList attachments(s.r, kCodeMessageAttachments);
  const ItemList whatsApp(s.r, kCodeWhatsAppAttachments);
  const ItemList apps(s.r, kCodeAppPhotos);
  const ItemList appFiles(s.r, kCodeAppPhotos, "WhatsApp");
  const ItemList calls(s.r, kCodeCallHistory);
  EXPECT_EQ(FileOfRow(attachments, attachments.RowOf(&s.r.messageAttachments[1]))->path,
            "/attachment");
  EXPECT_EQ(FileOfRow(whatsApp, 0)->path, "/whatsapp");
  EXPECT_EQ(ContentOfRow(apps, 0), PreviewContent::kNone);
  EXPECT_EQ(ContentOfRow(appFiles, 0), PreviewContent::kFile);
  EXPECT_EQ(ContentOfRow(calls, 0), PreviewContent::kNone);
  EXPECT_EQ(ContentOfRow(calls, 99), PreviewContent::kNone);
  EXPECT_FALSE(FileOfRow(calls, 0));
  EXPECT_EQ(CategoryPreviewArea(kCodeMessages), PreviewArea::kList);
  EXPECT_EQ(CategoryPreviewArea(kCodeNotes), PreviewArea::kText);
  EXPECT_EQ(CategoryPreviewArea(kCodeAppVideos), PreviewArea::kHidden);
}

TEST(Picture, HeicDecodesAndDamagedOnesFailCleanly) {
  fixtures::TempDir dir;
  const std::string heic = fixtures::MakeHeicPicture();
  const auto write = [&](const char* name, std::string_view bytes) {
    std::ofstream(dir / name, std::ios::binary).write(bytes.data(), bytes.size());
    return dir / name;
  };
  EXPECT_TRUE(LooksLikeHeif(AsBytes(heic)));
  EXPECT_FALSE(LooksLikeHeif(AsBytes(fixtures::MakeMediaBytes(fixtures::MediaType::kMp4, 512, 1))));

  DecodedPicture picture;
  ASSERT_TRUE(DecodeHeif(write("ok.heic", heic), picture));
  ASSERT_EQ(picture.width, 320);
  ASSERT_EQ(picture.height, 240);
  ASSERT_EQ(picture.rgba.size(), 320u * 240u * 4u);
  const auto pixel = [&](int x, int y) { return &picture.rgba[(y * 320 + x) * 4]; };
  EXPECT_LT(pixel(160, 120)[0], 80);  // the dark disc
  EXPECT_GT(pixel(10, 230)[1], 150);  // the light ground
  EXPECT_EQ(pixel(10, 230)[3], 255);

  std::string why;
  EXPECT_FALSE(DecodeHeif(write("cut.heic", std::string_view(heic).substr(0, heic.size() / 2)),
                          picture, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(picture.rgba.empty());
  EXPECT_FALSE(DecodeHeif(
      write("fake.heic", fixtures::MakeMediaBytes(fixtures::MediaType::kHeic, 4096, 3)), picture));
  EXPECT_FALSE(DecodeHeif(dir / "missing.heic", picture));
}

}  // namespace
}  // namespace kestrio
