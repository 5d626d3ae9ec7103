// The preview pane over a whole scan of a generated backup: bubbles against the scan's
// conversations and drawn on their sides, the contact card, a note, a real HEIC photo scaled
// to fit and not copied again, the panes of categories without preview, and the failures
// that each get a message: a vanished file, a picture that does not decode, a video player
// that exits at once, a player that is not installed.
#include <gtest/gtest.h>

#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeView>
#include <atomic>
#include <fstream>
#include <thread>

#include "gui/item_list_model.h"
#include "gui/preview_pane.h"
#include "gui/preview_process_window.h"
#include "gui/scan_page.h"
#include "output/item_list.h"
#include "tests/gui/gui_support.h"
#include "tests/gui/main_window_fixture.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

class PreviewTest : public testing::MainWindowFixture {
 protected:
  void SetUp() override {
    MainWindowFixture::SetUp();
    window_->resize(1400, 900);
    window_->show();
  }
  ScanPage& Page() { return window_->ScanView(); }
  PreviewPane& Preview() { return Page().Preview(); }
  const ScanResults& Results() { return Page().Run()->Results(); }
  void Select(const char* category) {
    ASSERT_TRUE(Page().SelectCategory(category, false)) << category;
    QApplication::processEvents();
  }
  void SelectRow(std::size_t row) {
    Page().List()->setCurrentIndex(Page().Model().index(static_cast<int>(row), 0));
    QApplication::processEvents();
  }
  // The row of the shown list that stands for `item`.
  std::size_t RowOf(const void* item) { return Page().Model().List()->RowOf(item); }
  const FileRecord& CameraRollFile(const std::string& name) {
    for (const FileRecord& file : Results().cameraRoll) {
      if (file.name == name) return file;
    }
    ADD_FAILURE() << name;
    return Results().cameraRoll.front();
  }
};

TEST_F(PreviewTest, EachKindOfItemIsShownFromTheScansRecords) {
  ScanBackup(31);

  // Messages: every message of the row's conversation, on its side, thumbnails where the
  // backup holds the picture.
  Select("messages");
  EXPECT_EQ(Preview().Area(), PreviewArea::kList);
  const ItemList& conversations = *Page().Model().List();
  bool sawPicture = false;
  for (std::size_t row = 0; row < conversations.RowCount(); ++row) {
    SelectRow(row);
    const auto& rowRecord = *static_cast<const MessageRecord*>(conversations.Item(row));
    const std::vector<MessageRecord>& messages = Results().messages.at(rowRecord.conversationId);
    ASSERT_EQ(Preview().BubbleCount(), static_cast<int>(messages.size()));
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const Bubble* bubble = Preview().BubbleAt(static_cast<int>(i));
      EXPECT_EQ(bubble->sent, messages[i].isFromMe);
      EXPECT_EQ(bubble->deleted, messages[i].deleted);
      for (const fs::path& picture : bubble->pictures) {
        QImage image;
        EXPECT_TRUE(LoadPicture(QString::fromStdString(picture.string()), image));
        sawPicture = true;
      }
    }
  }
  EXPECT_TRUE(sawPicture);  // the fixture's HEIC attachments are real pictures

  // The bubbles are drawn from the window files: a sent one in its own colour on the right.
  const auto first = std::find_if(Results().conversationRows.begin(),
                                  Results().conversationRows.end(), [&](const MessageRecord& m) {
                                    const auto& all = Results().messages.at(m.conversationId);
                                    return !all.empty() && all.front().isFromMe;
                                  });
  ASSERT_NE(first, Results().conversationRows.end());
  SelectRow(RowOf(&*first));
  auto* list = window_->Content()->findChild<QListView*>("MessagesList");
  // Taken from the window, as a screen shows it.
  const QRect area(list->viewport()->mapTo(window_.get(), QPoint(0, 0)), list->viewport()->size());
  const QImage drawn = window_->grab(area).toImage();
  int blueRight = 0, blueLeft = 0;
  for (int y = 0; y < std::min(drawn.height(), 120); ++y) {
    for (int x = 0; x < drawn.width(); ++x) {
      if (drawn.pixelColor(x, y) == QColor(0x2F, 0x80, 0xED))
        ++(x > drawn.width() / 2 ? blueRight : blueLeft);
    }
  }
  EXPECT_GT(blueRight, 50);
  EXPECT_GT(blueRight, blueLeft);

  // Contacts: the card shows the pairs the contact has and hides the others.
  Select("contacts");
  const auto withPhone = std::find_if(Results().contacts.begin(), Results().contacts.end(),
                                      [](const ContactRecord& c) { return !c.phones.empty(); });
  ASSERT_NE(withPhone, Results().contacts.end());
  SelectRow(RowOf(&*withPhone));
  auto* card = window_->Content()->findChild<QWidget*>("ContactInfo");
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->findChild<QLabel*>("TxtUserName")->text().toStdString(), withPhone->fullName);
  EXPECT_EQ(card->findChild<QLabel*>("TxtPhone")->text().toStdString(), withPhone->phones);
  EXPECT_FALSE(card->findChild<QLabel*>("TxtPhone")->isHidden());
  EXPECT_EQ(card->findChild<QLabel*>("TxtUrl")->isHidden(), withPhone->homePage.empty());
  EXPECT_EQ(card->findChild<QLabel*>("LblUrlDesc")->isHidden(), withPhone->homePage.empty());

  // Notes: the title and body as text.
  Select("notes");
  SelectRow(0);
  const auto& note = *static_cast<const NoteRecord*>(Page().Model().List()->Item(0));
  EXPECT_TRUE(Preview().Text().contains("Title:\n    " + QString::fromStdString(note.title)));

  // A real HEIC photo, scaled to fit the box with its shape; the same photo again is not
  // copied again.
  Select("cameraRoll");
  EXPECT_EQ(Preview().Area(), PreviewArea::kText);
  const FileRecord& photo = CameraRollFile("IMG_0030.HEIC");
  SelectRow(RowOf(&photo));
  const QSize shown = Preview().PictureSize();
  auto* edit = window_->Content()->findChild<QTextBrowser*>("PreviewEdit");
  ASSERT_FALSE(shown.isEmpty());
  EXPECT_LE(shown.width(), std::max(320, edit->viewport()->width()));
  EXPECT_LE(shown.height(), 240);
  EXPECT_NEAR(shown.width() * 3.0 / 4.0, shown.height(), 2.0);
  const int copies = Preview().CopiesMade();
  Preview().ShowRow(*Page().Model().List(), RowOf(&photo), *Page().Run());
  EXPECT_EQ(Preview().CopiesMade(), copies);
  EXPECT_EQ(Preview().PictureSize(), shown);

  // Categories without preview hide the pane.
  Select("callHistory");
  EXPECT_EQ(Preview().Area(), PreviewArea::kHidden);
  EXPECT_TRUE(window_->Content()->findChild<QWidget*>("PreviewVtrWnd")->isHidden());
}

TEST_F(PreviewTest, FailuresEachGetTheirMessageAndTheProgramGoesOn) {
  ScanBackup(31);
  Select("cameraRoll");

  {  // A photo whose stored file vanished after the scan.
    const FileRecord& gone = CameraRollFile("IMG_0001.JPG");
    fs::remove(gone.path);
    testing::DialogScript dialogs({"okbtn"});
    SelectRow(RowOf(&gone));
    ASSERT_EQ(dialogs.Dialogs().size(), 1u);
    EXPECT_TRUE(dialogs.Dialogs()[0].message.contains("no longer in the backup folder"));
    EXPECT_EQ(Preview().Text(), "Can not found the file!");
  }
  {  // A picture whose bytes do not decode.
    testing::DialogScript dialogs({"okbtn"});
    SelectRow(RowOf(&CameraRollFile("IMG_0003.HEIC")));
    ASSERT_EQ(dialogs.Dialogs().size(), 1u);
    EXPECT_TRUE(dialogs.Dialogs()[0].message.contains("does not decode"));
    EXPECT_TRUE(Preview().PictureSize().isEmpty());
  }
  {  // A video player that exits without playing; a video over 64 KiB is copied behind the
     // progress window first.
    const FileRecord& movie = CameraRollFile("IMG_0006.MOV");
    std::ofstream(movie.path, std::ios::binary | std::ios::app) << std::string(70000, '\0');
    Preview().SetPlayers({{"sh", "-c", "echo cannot play >&2; exit 1", "player"}, {"true"}});
    SelectRow(RowOf(&movie));  // the progress window closes by itself
    testing::DialogScript dialogs({"okbtn"});
    ProcessUntil([&] { return dialogs.Done(); });
    ASSERT_EQ(dialogs.Dialogs().size(), 1u);
    EXPECT_TRUE(dialogs.Dialogs()[0].message.contains("could not be played"));
    EXPECT_EQ(Preview().ProgressCopies(), 1);
  }
  {  // A sound without its player.
    Select("whatsAppAttachments");
    Preview().SetPlayers({{"true"}, {"/no/such/player", "--no-video"}});
    const auto& files = Results().whatsAppAttachments;
    const auto voice = std::find_if(files.begin(), files.end(),
                                    [](const FileRecord& f) { return f.name.ends_with(".OPUS"); });
    ASSERT_NE(voice, files.end());
    testing::DialogScript dialogs({"okbtn"});
    SelectRow(RowOf(&*voice));
    ASSERT_EQ(dialogs.Dialogs().size(), 1u);
    EXPECT_TRUE(dialogs.Dialogs()[0].message.contains("\"/no/such/player\" is not installed"));
  }
  // Still usable: a good photo shows.
  Select("cameraRoll");
  SelectRow(RowOf(&CameraRollFile("IMG_0030.HEIC")));
  EXPECT_FALSE(Preview().PictureSize().isEmpty());
}

// The progress window of a large copy: Cancel asks while the copy waits; "no" lets the copy
// finish in the window, "yes" stops it at its next report. (A dialog hidden while it asks would
// end its modal loop: the window stays up.)
TEST(PreviewProcessWindowTest, CancelAsksAndOnlyAYesStopsTheCopy) {
  for (const bool confirm : {false, true}) {
    std::atomic<bool> release{false};
    std::atomic<bool> stopped{false};
    PreviewProcessWindow window(
        nullptr, "IMG_0006.MOV",
        [&](const std::function<Result(std::int32_t)>& progress, std::string& path) -> Result {
          for (std::int32_t percent = 0; !release; percent = std::min(percent + 1, 99)) {
            if (progress(percent) != kResultOk) {
              stopped = true;
              return 2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
          path = "/work/tmp.avi";
          return kResultOk;
        });
    bool asked = false;
    testing::OnNextModal([&](QDialog* shown) {
      testing::OnNextModal([&](QDialog* question) {
        asked = true;
        question->findChild<QPushButton*>(confirm ? "okbtn" : "cancelbtn")->click();
      });
      shown->findChild<QPushButton*>("BtnCancel")->click();  // returns once answered
      EXPECT_TRUE(asked);
      EXPECT_EQ(shown->isVisible(), !confirm);
      release = true;
    });
    const int result = window.Run();
    EXPECT_EQ(result, confirm ? toolkit::PopupWindow::kCancel : toolkit::PopupWindow::kOk);
    EXPECT_EQ(stopped.load(), confirm);
    EXPECT_EQ(window.PreviewPath(), confirm ? "" : "/work/tmp.avi");
  }
}

}  // namespace
}  // namespace kestrio
