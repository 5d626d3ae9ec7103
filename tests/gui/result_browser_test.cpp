// The result browser on the scan page, driven through whole scans of generated backups: the
// tree's counts against the backup's truth, ticking from a node, a group, a row and the
// keyboard into the statistics, the deleted-only filter, app folders, the notes and findings,
// Stop holding the worker while it asks, and a backup that cannot be opened.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTreeView>
#include <QTreeWidget>
#include <fstream>
#include <set>

#include "backup/manifest.h"
#include "backup/media_files.h"
#include "base/settings.h"
#include "gui/backup_page.h"
#include "gui/category_tree.h"
#include "gui/item_list_model.h"
#include "gui/print_window.h"
#include "gui/scan_page.h"
#include "output/item_list.h"
#include "tests/gui/gui_support.h"
#include "tests/gui/main_window_fixture.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

// Reports progress until it is told to stop, so a scan is still running when the test acts.
class StallingBackend final : public ScanBackend {
 public:
  Result SetProgressCallback(ProgressFunction progress) override {
    progress_ = std::move(progress);
    return kResultOk;
  }
  SourceKind Kind() const override { return SourceKind::kBackupFolder; }
  Result Open(const std::string&) override { return progress_(1); }
  Result ScanPhotos(std::vector<FileRecord>&, std::vector<FileRecord>&) override {
    for (std::int32_t percent = 2;; percent = std::min(percent + 1, 98)) {
      if (const Result answer = progress_(percent); answer != kResultOk) return answer;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  ProgressFunction progress_;
};

class ResultBrowserTest : public testing::MainWindowFixture {
 protected:
  ScanPage& Page() { return window_->ScanView(); }
  CategoryTree& Tree() { return Page().Tree(); }
  ItemListModel& Model() { return Page().Model(); }
  QPushButton* Home() { return Find<QPushButton>("BtnHome"); }
  QString Statistics() { return Find<QLabel>("LblStatistics")->text(); }
  // Every row's check box of the shown list.
  std::set<Qt::CheckState> Checks() {
    std::set<Qt::CheckState> states;
    for (int row = 0; row < Model().rowCount(); ++row) states.insert(Model().CheckState(row));
    return states;
  }
  StatisticsText Totals() {
    auto lock = Page().Run()->LockSelection();
    return Page().Run()->Selection().Text();
  }
  // The report templates, beside the window's program folder.
  fs::path InstallTemplates() {
    const fs::path program = dir_ / "program";
    fs::create_directories(program);
    fs::copy(fs::path(KESTRIO_SOURCE_DIR) / "template", program / "template",
             fs::copy_options::recursive | fs::copy_options::skip_existing);
    return program;
  }
  void Key(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
  }
};

// Apps of a media list that land in App Photos (or App Videos).
std::size_t AppsOf(const std::vector<fx::ExpectedMediaFile>& files, AppMediaKind kind) {
  std::set<std::string> apps;
  for (const auto& file : files) {
    if (ClassifyAppFile(file.name) == kind) apps.insert(file.app);
  }
  return apps.size();
}

TEST_F(ResultBrowserTest, TreeCountsTheBackupsTruthAndShowsTheFirstCategoryFound) {
  const fx::BackupModel model = ScanBackup(21);
  const CategoryTree& tree = Tree();
  EXPECT_EQ(testing::NodeCount(tree, kCodeCameraRoll), static_cast<int>(model.cameraRoll.size()));
  EXPECT_EQ(testing::NodeCount(tree, kCodePhotoStream), static_cast<int>(model.photoStream.size()));
  EXPECT_EQ(testing::NodeCount(tree, kCodeMessageAttachments),
            static_cast<int>(model.attachments.size()));
  EXPECT_EQ(testing::NodeCount(tree, kCodeWhatsAppAttachments),
            static_cast<int>(model.whatsAppFiles.size()));
  // One row per app in the app lists.
  EXPECT_EQ(testing::NodeCount(tree, kCodeAppPhotos),
            static_cast<int>(AppsOf(model.appFiles, AppMediaKind::kPhoto)));
  EXPECT_EQ(testing::NodeCount(tree, kCodeAppVideos),
            static_cast<int>(AppsOf(model.appFiles, AppMediaKind::kVideo)));
  // Every live contact is there; the record lists count what the scan listed.
  int liveContacts = 0;
  for (const auto& contact : model.addressBook.contacts) liveContacts += contact.deleted ? 0 : 1;
  EXPECT_GE(testing::NodeCount(tree, kCodeContacts), liveContacts);
  for (CategoryCode code : {kCodeMessages, kCodeCallHistory, kCodeNotes, kCodeWhatsApp}) {
    EXPECT_EQ(testing::NodeCount(tree, code),
              static_cast<int>(ListedCount(Page().Run()->Results(), code)));
    EXPECT_GT(testing::NodeCount(tree, code), 0) << code;
  }
  // The nodes nothing is read for stay hidden; the visible ones are lit and ticked.
  EXPECT_TRUE(tree.Group(2)->isHidden());
  EXPECT_TRUE(tree.Group(1)->child(5)->isHidden());  // between Notes and WhatsApp
  EXPECT_EQ(tree.Group(0)->checkState(0), Qt::Checked);

  // Camera Roll came first: it is shown, with its files.
  EXPECT_EQ(tree.Current(), kCodeCameraRoll);
  EXPECT_EQ(Model().rowCount(), static_cast<int>(model.cameraRoll.size()));
  EXPECT_EQ(Model().data(Model().index(0, 0)).toString().toStdString(), model.cameraRoll[0].name);
  EXPECT_TRUE(Find<QWidget>("DataListLayout")->isVisibleTo(Page().Content()));
  EXPECT_FALSE(Find<QWidget>("iPhoneInfoLayout")->isVisibleTo(Page().Content()));

  // Everything starts ticked; the label reads the selection's totals.
  const StatisticsText totals = Totals();
  EXPECT_EQ(totals.tickedCount, totals.totalCount);
  EXPECT_TRUE(Statistics().contains(QString(" in %1 item(s) of ").arg(totals.totalCount)));
  EXPECT_TRUE(Find<QPushButton>("BtnRecovery")->isEnabled());
  EXPECT_EQ(Find<QLabel>("LblScanType")->text().toStdString(), Settings::Get().Message("MSG0512"));
}

TEST_F(ResultBrowserTest, TickingNodesGroupsRowsAndKeysMovesTheStatistics) {
  ScanBackup(21);
  const std::uint32_t all = Totals().totalCount;
  Tree().Select(kCodeCallHistory);
  const int calls = Model().rowCount();
  ASSERT_GT(calls, 3);

  // The node's check box: every row follows, the group turns half-ticked.
  Tree().Node(kCodeCallHistory)->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(Checks(), std::set<Qt::CheckState>{Qt::Unchecked});
  EXPECT_EQ(Totals().tickedCount, all - static_cast<std::uint32_t>(calls));
  EXPECT_TRUE(Statistics().contains(QString(" in %1 item(s) of ").arg(all - calls)));
  EXPECT_EQ(Tree().Group(1)->checkState(0), Qt::PartiallyChecked);

  // One row: the node is half-ticked. Ticking every row one by one ticks it whole.
  Model().setData(Model().index(0, 0), Qt::Checked, Qt::CheckStateRole);
  EXPECT_EQ(Tree().Node(kCodeCallHistory)->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(Totals().tickedCount, all - static_cast<std::uint32_t>(calls) + 1);
  for (int row = 1; row < calls; ++row)
    Model().setData(Model().index(row, 0), Qt::Checked, Qt::CheckStateRole);
  EXPECT_EQ(Tree().Node(kCodeCallHistory)->checkState(0), Qt::Checked);
  EXPECT_EQ(Tree().Group(1)->checkState(0), Qt::Checked);

  // Space on the list unticks the selected rows; the arrow keys move between rows and nodes.
  QTreeView* list = Page().List();
  EXPECT_TRUE(list->focusPolicy() & Qt::TabFocus);
  EXPECT_TRUE(Tree().Widget()->focusPolicy() & Qt::TabFocus);
  list->setCurrentIndex(Model().index(0, 0));
  list->selectionModel()->select(Model().index(1, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  Key(list, Qt::Key_Space);
  EXPECT_EQ(Model().CheckState(0), Qt::Unchecked);
  EXPECT_EQ(Model().CheckState(1), Qt::Unchecked);
  EXPECT_EQ(Model().CheckState(2), Qt::Checked);
  Key(list, Qt::Key_Down);
  EXPECT_EQ(list->currentIndex().row(), 1);
  Key(Tree().Widget(), Qt::Key_Down);
  EXPECT_EQ(Tree().Current(), kCodeNotes);

  // A group's check box unticks all of its categories: nothing is left to recover there.
  Tree().Group(0)->setCheckState(0, Qt::Unchecked);
  Tree().Group(1)->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(Totals().tickedCount, 0u);
  EXPECT_EQ(Checks(), std::set<Qt::CheckState>{Qt::Unchecked});
  EXPECT_FALSE(Find<QPushButton>("BtnRecovery")->isEnabled());
  Tree().Group(1)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(Tree().Node(kCodeWhatsApp)->checkState(0), Qt::Checked);
  EXPECT_TRUE(Find<QPushButton>("BtnRecovery")->isEnabled());
}

TEST_F(ResultBrowserTest, DeletedOnlyShowsExactlyTheDeletedRecordsAndCountsTheRest) {
  const fx::BackupModel model = ScanBackup(21);
  auto* filter = Find<QAbstractButton>("OptOnOffFilter");
  auto* filterBar = Find<QWidget>("FilterToolBar");
  auto* filterCount = Find<QLabel>("LblFilterCount");
  const QWidget* page = Page().Content();

  Tree().Select(kCodeCallHistory);
  const std::vector<CallRecord>& calls = Page().Run()->Results().callHistory;
  const auto deleted = std::count_if(calls.begin(), calls.end(), [](auto& c) { return c.deleted; });
  ASSERT_GT(deleted, 0);
  const std::uint32_t before = Totals().tickedCount;
  ASSERT_TRUE(filterBar->isVisibleTo(page));
  filter->click();
  ASSERT_EQ(Model().rowCount(), deleted);
  for (int row = 0; row < Model().rowCount(); ++row)
    EXPECT_TRUE(Model().List()->Deleted(static_cast<std::size_t>(row)));
  const auto hidden =
      static_cast<std::uint32_t>(calls.size()) - static_cast<std::uint32_t>(deleted);
  EXPECT_TRUE(filterCount->isVisibleTo(page));
  EXPECT_EQ(filterCount->text(), QString("Files Filtered: %1 item(s)").arg(hidden));
  EXPECT_EQ(Totals().tickedCount, before - hidden);

  // Another category has its own mark; coming back keeps the filter of this one.
  Tree().Select(kCodeMessageAttachments);
  EXPECT_FALSE(filterBar->isVisibleTo(page));  // files without a deleted mark
  Tree().Select(kCodeContacts);
  EXPECT_FALSE(filter->isChecked());
  Tree().Select(kCodeCallHistory);
  EXPECT_TRUE(filter->isChecked());
  EXPECT_EQ(Model().rowCount(), deleted);

  // With every ticked item of the page hidden, there is nothing to recover.
  for (CategoryCode code : {kCodeCameraRoll, kCodePhotoStream, kCodeAppPhotos, kCodeAppVideos,
                            kCodeMessages, kCodeMessageAttachments, kCodeContacts, kCodeNotes,
                            kCodeWhatsApp, kCodeWhatsAppAttachments})
    Tree().Node(code)->setCheckState(0, Qt::Unchecked);
  for (int row = 0; row < Model().rowCount(); ++row)
    Model().setData(Model().index(row, 0), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(Totals().tickedCount, 0u);
  EXPECT_FALSE(Find<QPushButton>("BtnRecovery")->isEnabled());
  filter->click();  // off: the live calls, still ticked, come back
  EXPECT_EQ(Model().rowCount(), static_cast<int>(calls.size()));
  EXPECT_FALSE(filterCount->isVisibleTo(page));
  EXPECT_TRUE(Find<QPushButton>("BtnRecovery")->isEnabled());

  // Camera Roll: exactly the photos the library has in Recently Deleted.
  Tree().Select(kCodeCameraRoll);
  filter->click();
  std::set<std::string> trashed, shown;
  for (std::size_t i = 0; i < model.cameraRoll.size(); ++i) {
    if (model.cameraRollFacts[i].trashed) trashed.insert(model.cameraRoll[i].name);
  }
  for (int row = 0; row < Model().rowCount(); ++row)
    shown.insert(Model().data(Model().index(row, 0)).toString().toStdString());
  EXPECT_FALSE(trashed.empty());
  EXPECT_EQ(shown, trashed);
}

TEST_F(ResultBrowserTest, AppFoldersOpenOnDoubleClickAndBackReturnsToTheApps) {
  const fx::BackupModel model = ScanBackup(21);
  auto* back = Find<QPushButton>("BtnBackAppDir");
  const QWidget* page = Page().Content();
  Tree().Select(kCodeAppPhotos);
  const int apps = Model().rowCount();
  ASSERT_GT(apps, 0);
  EXPECT_EQ(Model().data(Model().index(0, 1)).toString(), "Folder");
  EXPECT_FALSE(back->isVisibleTo(page));
  const std::string app(Model().List()->App(0));

  emit Page().List()->doubleClicked(Model().index(0, 0));
  const auto files = std::count_if(model.appFiles.begin(), model.appFiles.end(), [&](auto& f) {
    return f.app == app && ClassifyAppFile(f.name) == AppMediaKind::kPhoto;
  });
  EXPECT_EQ(Model().rowCount(), files);
  EXPECT_EQ(Model().List()->Layout(), ListLayout::kAppFiles);
  EXPECT_EQ(Model().data(Model().index(0, 1)).toString().toStdString(), app);
  EXPECT_TRUE(back->isVisibleTo(page));
  EXPECT_FALSE(Page().OpenApp(0));  // a file is not a folder

  // Unticking a file half-ticks its app's row once back.
  Model().setData(Model().index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
  back->click();
  EXPECT_EQ(Model().rowCount(), apps);
  EXPECT_FALSE(back->isVisibleTo(page));
  EXPECT_EQ(Model().CheckState(0), files > 1 ? Qt::PartiallyChecked : Qt::Unchecked);
}

TEST_F(ResultBrowserTest, NotesAndFindingsOfTheScanAreListedOnClick) {
  // The stored files of both note stores are gone: the scan says so instead of listing
  // nothing.
  ScanBackup(21, [](const fs::path& folder) {
    std::vector<fs::path> gone;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (name == kNoteStoreName || name == kNotesName) gone.push_back(entry.path());
    }
    for (const fs::path& path : gone) fs::remove(path);
  });
  const auto rows = Page().FindingRows();
  auto* button = Find<QPushButton>("BtnFindings");
  ASSERT_FALSE(rows.empty());
  EXPECT_TRUE(button->isVisibleTo(Page().Content()));
  EXPECT_TRUE(button->text().startsWith(QString::number(rows.size()) + " "));

  QStringList listed;
  testing::OnNextModal([&listed](QDialog* dialog) {
    auto* list = dialog->findChild<QTreeWidget*>("FindingsList");
    for (int i = 0; list && i < list->topLevelItemCount(); ++i)
      listed << list->topLevelItem(i)->text(1) + " | " + list->topLevelItem(i)->text(4);
    dialog->findChild<QPushButton*>("okbtn")->click();
  });
  button->click();
  EXPECT_EQ(listed.size(), static_cast<qsizetype>(rows.size()));
  EXPECT_TRUE(listed.join("\n").contains("Notes")) << listed.join("\n").toStdString();
}

TEST_F(ResultBrowserTest, PrintShowsTheTickedRecordsOfTheShownCategoryAndSavesAPdf) {
  ScanBackup(21);
  const fs::path program = InstallTemplates();
  const std::vector<CallRecord>& calls = Page().Run()->Results().callHistory;
  const auto deleted = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.deleted; });
  const auto live = std::find_if(calls.begin(), calls.end(), [](auto& c) { return !c.deleted; });
  ASSERT_TRUE(deleted != calls.end() && live != calls.end());

  PrintWindow window(window_.get(), *Page().Run(), kCodeCallHistory, true, program);
  ASSERT_TRUE(window.Create(800, 600));
  window.show();
  ProcessUntil([&] { return window.Ready(); });
  ASSERT_TRUE(window.Ready());
  const QString shown = window.findChild<QTextBrowser*>("WebPagePrint")->toPlainText();
  EXPECT_TRUE(shown.contains(QString::fromStdString(deleted->number)));
  // Only the deleted calls: one block each.
  EXPECT_EQ(shown.count("Phone Number:"),
            std::count_if(calls.begin(), calls.end(), [](auto& c) { return c.deleted; }));
  std::ifstream page(window.PagePath(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
  EXPECT_EQ(window.PagePath(), program / "Print" / "page");
  EXPECT_TRUE(text.starts_with("<!DOCTYPE html>"));
  EXPECT_NE(text.find("<p><span>Phone Number:</span>" + deleted->number + "</p>"),
            std::string::npos);

  const QString pdf = QString::fromStdString((dir_ / "calls.pdf").string());
  ASSERT_TRUE(window.SavePdf(pdf));
  std::ifstream file(pdf.toStdString(), std::ios::binary);
  char magic[5] = {};
  file.read(magic, 4);
  EXPECT_STREQ(magic, "%PDF");

  // Built and shown: closing asks nothing and answers 1.
  window.findChild<QPushButton*>("closebtn")->click();
  EXPECT_EQ(window.result(), 1);
}

TEST_F(ResultBrowserTest, RecoverWritesTheTickedItemsIntoTheChosenFolderAndFinishes) {
  const fx::BackupModel model = ScanBackup(21);
  InstallTemplates();
  for (CategoryCode code :
       {kCodePhotoStream, kCodeAppPhotos, kCodeAppVideos, kCodeMessages, kCodeMessageAttachments,
        kCodeContacts, kCodeNotes, kCodeWhatsApp, kCodeWhatsAppAttachments})
    Tree().Node(code)->setCheckState(0, Qt::Unchecked);
  const std::uint32_t ticked = Totals().tickedCount;
  const fs::path out = dir_ / "out";
  QString asked;
  Page().SetFolderChooser([&](const QString& title) {
    asked = title;
    return QString::fromStdString(out.string());
  });

  QString recovered;
  int rows = 0, failedRows = 0;
  testing::OnNextModal([&](QDialog* dialog) {
    auto* finish = dialog->findChild<QPushButton*>("FinishBtn");
    for (int i = 0; i < 2000 && !finish->isVisibleTo(dialog); ++i) {
      QApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(dialog->findChild<QPushButton*>("CancelBtn")->isVisibleTo(dialog));
    recovered = dialog->findChild<QLabel*>("recovered")->text();
    auto* list = dialog->findChild<QTreeWidget*>("DetailList");
    dialog->findChild<QPushButton*>("DetailBtn")->click();
    EXPECT_TRUE(list->isVisibleTo(dialog));
    rows = list->topLevelItemCount();
    for (int i = 0; i < rows; ++i) failedRows += list->topLevelItem(i)->text(1) != "Success";
    finish->click();
  });
  Find<QPushButton>("BtnRecovery")->click();
  EXPECT_EQ(asked.toStdString(), Settings::Get().Message("MSG0509"));
  // Camera Roll's files and one call report; every ticked item has its status row.
  EXPECT_EQ(recovered, QString("Processed %1 of %1 item(s): %1 recovered, 0 failed").arg(ticked));
  EXPECT_EQ(rows, static_cast<int>(ticked));
  EXPECT_EQ(failedRows, 0);
  for (const auto& file : model.cameraRoll)
    EXPECT_TRUE(fs::exists(out / "Camera Roll" / file.name)) << file.name;
  ASSERT_TRUE(fs::is_directory(out / "CallHistory"));
  EXPECT_EQ(std::distance(fs::directory_iterator(out / "CallHistory"), fs::directory_iterator()),
            1);
  EXPECT_FALSE(fs::exists(out / "Photo Stream"));

  // A chooser that is cancelled recovers nothing.
  Page().SetFolderChooser([](const QString&) { return QString(); });
  Find<QPushButton>("BtnRecovery")->click();
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST_F(ResultBrowserTest, RecoverRefusesAFolderItCannotWriteAndSaysWhatFailed) {
  ScanBackup(21);
  InstallTemplates();
  // Under a file: no folder can be made there. Nothing starts.
  std::ofstream(dir_ / "file.txt") << "x";
  Page().SetFolderChooser(
      [&](const QString&) { return QString::fromStdString((dir_ / "file.txt" / "out").string()); });
  {
    testing::DialogScript dialogs({"okbtn"});
    Find<QPushButton>("BtnRecovery")->click();
    ASSERT_EQ(dialogs.Dialogs().size(), 1u);
    EXPECT_TRUE(dialogs.Dialogs()[0].message.startsWith("Nothing can be written into this folder"));
  }
  // A photo whose stored file vanished fails alone; the end says so over the window.
  const fs::path gone = Page().Run()->Results().cameraRoll.front().path;
  fs::remove(gone);
  Page().SetFolderChooser(
      [&](const QString&) { return QString::fromStdString((dir_ / "out").string()); });
  // The warning comes over the window once the run ends: answered when it is the modal one.
  auto warning = std::make_shared<QString>();
  std::function<void(QDialog*)> answer;
  answer = [warning, &answer](QDialog* shown) {
    auto* message = shown->findChild<QLabel*>("message");
    if (!message) {  // still the recovery window
      testing::OnNextModal(answer);
      return;
    }
    *warning = message->text();
    shown->findChild<QPushButton*>("okbtn")->click();
  };
  testing::OnNextModal([&](QDialog* window) {
    testing::OnNextModal(answer);
    auto* finish = window->findChild<QPushButton*>("FinishBtn");
    for (int i = 0; i < 2000 && !(finish->isVisibleTo(window) && !warning->isEmpty()); ++i) {
      QApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    finish->click();
  });
  Find<QPushButton>("BtnRecovery")->click();
  EXPECT_TRUE(warning->startsWith("1 of ")) << warning->toStdString();
}

TEST_F(ResultBrowserTest, StopAsksWhileTheWorkerWaitsAndStopsOnlyWhenConfirmed) {
  Page().SetBackendFactory([](SourceKind) { return std::make_unique<StallingBackend>(); });
  window_->ChosenBackup() = window_->Store().Backups().front();
  window_->RequestScan(SourceKind::kBackupFolder);
  ProcessUntil([&] { return Page().Run() && Page().Run()->Percent() > 5; });
  ASSERT_TRUE(Page().Scanning());
  auto* stop = Find<QPushButton>("BtnScanStop");
  auto* pause = Find<QPushButton>("BtnScanPause");

  // Declined: the worker was held while the question was open, and runs on after it.
  bool heldWhileAsking = false;
  testing::OnNextModal([&](QDialog* dialog) {
    heldWhileAsking = Page().Run()->Paused();
    dialog->findChild<QPushButton*>("cancelbtn")->click();
  });
  stop->click();
  EXPECT_TRUE(heldWhileAsking);
  EXPECT_TRUE(Page().Scanning());
  EXPECT_FALSE(Page().Run()->Paused());

  // Paused, then Stop declined: still paused; Recover may be used while paused.
  pause->click();
  EXPECT_TRUE(Page().Run()->Paused());
  EXPECT_EQ(pause->text().toStdString(), Settings::Get().Message("MSG0506"));
  EXPECT_FALSE(Home()->isEnabled());
  testing::OnNextModal([](QDialog* d) { d->findChild<QPushButton*>("cancelbtn")->click(); });
  stop->click();
  EXPECT_TRUE(Page().Run()->Paused());

  // Confirmed: the worker stops and the page shows what it has.
  testing::OnNextModal([](QDialog* d) { d->findChild<QPushButton*>("okbtn")->click(); });
  stop->click();
  EXPECT_FALSE(Page().Scanning());
  ProcessUntil([&] { return Home()->isEnabled(); });
  EXPECT_EQ(Find<QLabel>("LblScanType")->text().toStdString(), Settings::Get().Message("MSG0515"));
  EXPECT_EQ(pause->text().toStdString(), Settings::Get().Message("MSG0507"));
}

TEST_F(ResultBrowserTest, BackupThatCannotBeOpenedIsExplainedAndTheStartPageStaysUsable) {
  testing::DialogScript dialogs({"okbtn"});
  window_->BackupView().Lock(true);  // as its Scan button does
  ScanBackup(23, [](const fs::path& folder) {
    std::ofstream(folder / "Manifest.db", std::ios::trunc) << "not an index";
  });
  ProcessUntil([&] { return !window_->BackupView().Locked(); });
  ASSERT_EQ(dialogs.Dialogs().size(), 1u);
  EXPECT_TRUE(dialogs.Dialogs()[0].message.startsWith("This backup could not be opened:\n"));
  EXPECT_GT(dialogs.Dialogs()[0].message.size(), 35);  // with its reason
  EXPECT_FALSE(window_->BackupView().Locked());
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 0);

  // A good backup scans after it.
  ScanBackup(21);
  EXPECT_GT(testing::NodeCount(Tree(), kCodeMessages), 0);
}

}  // namespace
}  // namespace kestrio
