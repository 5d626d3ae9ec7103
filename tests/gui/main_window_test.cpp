// The main window: its window files, the start page, the scan requests and the scan run's
// signals, the assistance menu, the close query, and a backup scan from the start page to the end.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "base/paths.h"
#include "base/settings.h"
#include "gui/backup_page.h"
#include "gui/device_page.h"
#include "gui/main_window.h"
#include "gui/scan_page.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"
#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/gui/gui_support.h"
#include "tests/gui/main_window_fixture.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

// Every control the windows look up, by window file.
const std::map<QString, QStringList> kControls = {
    {"skin",
     {"caption", "LblProductName", "BtnAssist", "minbtn", "maxbtn", "restorebtn", "closebtn",
      "MainTabPage", "OptIosDevice", "OptBackupFile", "TxtIosDevice1", "TxtIosDevice2",
      "TxtBackupFile1", "TxtBackupFile2", "TabPage", "IosDeviceVtrWnd", "ItunesVtrWnd",
      "ScanVtrWnd"}},
    {"PageIosDevice",
     {"TabIosDevice", "LblDesc1", "LblDesc2", "BtnAppleUrl", "LblDesc3", "BtnItunesRetry",
      "LblDesc4", "TxtDesc1", "IphoneInfo", "BtnDeviceScan"}},
    {"PageItunesBackup",
     {"LblBackupTip1", "LblBackupTip2", "LblBackupTip3", "BackupFileList", "BtnSelDir", "BtnScan"}},
    {"PageScan",
     {"BtnGifScanning", "BtnGifLoading",    "LblScanType",    "LblRemark",       "ProgressScan",
      "LblPercent",     "ScanToolBar",      "BtnScanPause",   "BtnScanStop",     "ReocveryToolBar",
      "BtnHome",        "BtnRecovery",      "BtnPrint",       "NodeTree",        "DataList",
      "LblStatistics",  "iPhoneInfoLayout", "DataListLayout", "DataListToolBar", "BtnBackAppDir",
      "LblListTitle",   "FilterToolBar",    "OptOnOffFilter", "LblFilterCount",  "OptOnOffPreview",
      "PreviewVtrWnd",  "LblSourceName",    "LblSourceInfo",  "BtnFindings"}},
    {"FindingsWnd", {"caption", "title", "closebtn", "FindingsList", "okbtn"}},
    {"PrintWnd",
     {"caption", "title", "closebtn", "PrintTabPage", "BtnGifPrintLoading", "LblPrintLoading",
      "WebPagePrint", "BtnPrintPage", "BtnSavePdf"}},
    {"DecryptionWnd",
     {"caption", "title", "closebtn", "Description", "EditPassword", "BtnOK", "BtnCancel"}},
};

TEST(WindowFiles, EveryFileLoadsAndHoldsTheControlsTheCodeUses) {
  const QStringList skins = toolkit::BuiltInSkins();
  EXPECT_GE(skins.size(), 10);
  for (const QString& name : skins) {
    QWidget parent;
    QString error;
    QWidget* skin = toolkit::LoadSkin(name, &parent, &error);
    ASSERT_NE(skin, nullptr) << name.toStdString() << ": " << error.toStdString();
    const auto controls = kControls.find(name);
    if (controls == kControls.end()) continue;
    for (const QString& control : controls->second)
      EXPECT_NE(skin->findChild<QWidget*>(control), nullptr)
          << name.toStdString() << " lacks " << control.toStdString();
  }
  for (const auto& [name, controls] : kControls)
    EXPECT_TRUE(skins.contains(name)) << name.toStdString();
  EXPECT_FALSE(toolkit::StyleSheet().isEmpty());
}

TEST(WindowFiles, SkinsFolderOverridesABuiltInFile) {
  fx::TempDir dir;
  fs::create_directories(dir / "Skins/xml");
  std::ofstream(dir / "Skins/xml/MessageBox_Error.ui")
      << "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"Replaced\"/></ui>";
  toolkit::SetSkinFolder(QString::fromStdString((dir / "Skins").string()));
  QWidget parent;
  QWidget* replaced = toolkit::LoadSkin("MessageBox_Error", &parent);
  QWidget* builtIn = toolkit::LoadSkin("MessageBox_Question", &parent);
  toolkit::SetSkinFolder(QString());
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->objectName(), "Replaced");
  ASSERT_NE(builtIn, nullptr);
  EXPECT_EQ(builtIn->objectName(), "MessageBox");
}

TEST(WindowFiles, BrokenMainWindowFileIsAClearErrorAtStart) {
  fx::TempDir dir;
  fs::create_directories(dir / "Skins/xml");
  std::ofstream(dir / "Skins/xml/skin.ui") << "<ui version=\"4.0\"><widget class=";
  toolkit::SetSkinFolder(QString::fromStdString((dir / "Skins").string()));
  testing::FakeDeviceDriver driver("udid", false);
  MainWindow::Options options;
  options.folders.workFolder = dir / "work";
  options.device = &driver;
  options.deviceSupport = [] { return false; };
  MainWindow window(options);
  QString error;
  EXPECT_FALSE(window.Create(&error));
  toolkit::SetSkinFolder(QString());
  EXPECT_TRUE(error.contains("skin.ui")) << error.toStdString();
}

using MainWindowTest = testing::MainWindowFixture;

TEST_F(MainWindowTest, StartPageTextsTabsAndDevicePage) {
  EXPECT_EQ(window_->windowTitle(), "Kestrio");
  EXPECT_GE(window_->minimumWidth(), 1000);
  EXPECT_GE(window_->minimumHeight(), 650);
  EXPECT_EQ(Find<QLabel>("LblProductName")->text().toStdString(),
            Settings::Get().Message("MSG1209"));
  EXPECT_EQ(Find<QLabel>("TxtIosDevice1")->text().toStdString(),
            Settings::Text(Settings::Get().Section("MainWnd"), "TxtIosDevice1"));
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 0);
  auto* tabs = Find<QStackedWidget>("TabPage");
  EXPECT_EQ(tabs->currentIndex(), 0);
  // Without usbmuxd the device page says what is missing.
  EXPECT_EQ(window_->DeviceView().CurrentPage(), DeviceScreen::kSupportMissing);

  Find<QPushButton>("OptBackupFile")->click();
  EXPECT_EQ(tabs->currentIndex(), 1);
  EXPECT_TRUE(Find<QLabel>("TxtBackupFile1")->styleSheet().contains("#FFFFFF"));
  EXPECT_FALSE(Find<QLabel>("TxtIosDevice1")->styleSheet().contains("#FFFFFF"));
  Find<QPushButton>("OptIosDevice")->click();
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_TRUE(Find<QLabel>("TxtIosDevice1")->styleSheet().contains("#FFFFFF"));

  // The backup of the roots is listed on the backup page.
  EXPECT_EQ(Find<QTreeWidget>("BackupFileList")->topLevelItemCount(), 1);
}

TEST_F(MainWindowTest, AssistanceMenuOpensLocalPagesAndHidesFaqAndLanguages) {
  window_->OpenAssistMenu();
  QMenu* menu = window_->AssistMenu();
  ASSERT_NE(menu, nullptr);
  for (const char* name : {"item_help", "item_faq", "item_about", "item_support", "item_exit"})
    ASSERT_NE(menu->findChild<QAction*>(name), nullptr) << name;
  EXPECT_EQ(menu->findChild<QAction*>("item_help")->text().toStdString(),
            Settings::Text(Settings::Get().Section("MenuWnd"), "item_help"));
  EXPECT_FALSE(menu->findChild<QAction*>("item_faq")->isVisible());
  QAction* languages = menu->findChild<QAction*>("item_language");
  ASSERT_NE(languages, nullptr);
  EXPECT_FALSE(languages->isVisible());
  // One entry per language, the current one ticked.
  ASSERT_NE(languages->menu(), nullptr);
  const auto entries = languages->menu()->actions();
  ASSERT_EQ(static_cast<std::size_t>(entries.size()), Settings::Get().Languages().size());
  for (QAction* entry : entries)
    EXPECT_EQ(!entry->icon().isNull(),
              entry->objectName().toStdString() == Settings::Get().CurrentLanguage());

  menu->findChild<QAction*>("item_about")->trigger();
  menu->findChild<QAction*>("item_help")->trigger();
  ASSERT_EQ(opened_.size(), 2);
  EXPECT_EQ(opened_[0].toLocalFile().toStdString(), (dir_ / "help" / "about.html").string());
  EXPECT_EQ(opened_[1].toLocalFile().toStdString(), (dir_ / "help" / "help.html").string());
  menu->close();
}

TEST_F(MainWindowTest, ScanRequestScansTheChosenBackupToTheEnd) {
  std::optional<SourceKind> started;
  window_->ScanView().SetStartHook([&started](SourceKind source) { started = source; });
  window_->RequestScan(static_cast<SourceKind>(7));  // not a source: nothing starts
  QApplication::processEvents();
  EXPECT_EQ(started, std::nullopt);

  window_->ChosenBackup() = window_->Store().Backups().front();
  window_->RequestScan(SourceKind::kBackupFolder);
  EXPECT_EQ(started, std::nullopt);  // later, on the window's thread
  ProcessUntil([&] { return started.has_value(); });
  ASSERT_EQ(started, SourceKind::kBackupFolder);
  EXPECT_FALSE(window_->DeviceView().TimerRunning());  // paused while the scan runs
  ProcessUntil([&] { return Find<QPushButton>("BtnHome")->isEnabled(); });
  EXPECT_TRUE(Find<QPushButton>("BtnHome")->isEnabled());
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 1);  // shown at first progress
  EXPECT_TRUE(window_->DeviceView().TimerRunning());
  EXPECT_GT(testing::NodeCount(window_->ScanView().Tree(), kCodeMessages), 0);
  EXPECT_FALSE(Find<QLabel>("LblStatistics")->text().contains('%'));

  // With results, closing asks first; Cancel keeps the window.
  window_->show();
  testing::OnNextModal([](QDialog* d) { d->findChild<QPushButton*>("cancelbtn")->click(); });
  window_->close();
  EXPECT_TRUE(window_->isVisible());
  testing::OnNextModal([](QDialog* d) { d->findChild<QPushButton*>("okbtn")->click(); });
  window_->close();
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(MainWindowTest, ScanSignalsArriveInOrderOnTheWindowThreadWithoutHoldingTheWorker) {
  // What the window's thread receives of the run, in order.
  std::vector<std::string> received;
  bool elsewhere = false;
  ScanPage& page = window_->ScanView();
  QObject receiver;
  const auto record = [&](std::string what) {
    if (QThread::currentThread() != receiver.thread()) elsewhere = true;
    received.push_back(std::move(what));
  };
  QObject::connect(
      &page, &ScanPage::scanEvent, &receiver,
      [&](ScanEvent event) { record("event " + std::to_string(static_cast<int>(event))); },
      Qt::QueuedConnection);
  QObject::connect(
      &page, &ScanPage::countsChanged, &receiver, [&] { record("counts"); }, Qt::QueuedConnection);
  QObject::connect(
      &page, &ScanPage::scanFinished, &receiver,
      [&](Result result) { record("finished " + std::to_string(result)); }, Qt::QueuedConnection);

  window_->ChosenBackup() = window_->Store().Backups().front();
  window_->RequestScan(SourceKind::kBackupFolder);
  ProcessUntil([&] { return page.Run() != nullptr; });
  ASSERT_NE(page.Run(), nullptr);
  // The worker runs to its end while this thread handles nothing; what it signalled waits.
  EXPECT_EQ(page.Run()->Wait(), kResultOk);
  EXPECT_TRUE(received.empty());
  EXPECT_FALSE(Find<QPushButton>("BtnHome")->isEnabled());
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 0);

  ProcessUntil([&] { return Find<QPushButton>("BtnHome")->isEnabled(); });
  EXPECT_FALSE(elsewhere);
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(std::count(received.begin(), received.end(), "event 0"), 1);  // the backup opened
  EXPECT_NE(std::find(received.begin(), received.end(), "counts"), received.end());
  EXPECT_EQ(received.back(), "finished 0");
  EXPECT_EQ(std::count(received.begin(), received.end(), "finished 0"), 1);
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 1);
  EXPECT_EQ(Find<QProgressBar>("ProgressScan")->value(), 100);
}

TEST_F(MainWindowTest, WrongPasswordOfABackupScanGoesBackToTheBackupPage) {
  options_.folders.programFolder = ProgramFolder();  // beside the decryption program
  ASSERT_NO_FATAL_FAILURE(Recreate());
  fx::EncryptBackup(dir_ / "roots" / "one", dir_ / "locked", {});
  BackupSummary locked;
  ASSERT_EQ(ReadBackupSummary(dir_ / "locked", locked), kResultOk);
  ASSERT_TRUE(locked.encrypted);
  window_->ChosenBackup() = locked;
  window_->ScanPassword() = "not the password";
  window_->BackupView().Lock(true);  // as the page leaves itself when it asks for a scan

  // The backup page says so and asks again; cancelled, it gives the start page back.
  testing::DialogScript script{{"okbtn"}, {"BtnCancel"}};
  window_->RequestScan(SourceKind::kBackupFolder);
  ProcessUntil([&] { return script.Done() && !window_->BackupView().Locked(); });
  ASSERT_EQ(script.Dialogs().size(), 2u);
  EXPECT_EQ(script.Dialogs()[0].message, toolkit::MessageText("MSG0302"));
  EXPECT_EQ(script.Dialogs()[1].dialog, "DecryptionWndPopup");
  EXPECT_FALSE(window_->BackupView().Locked());
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 0);
  EXPECT_TRUE(window_->DeviceView().TimerRunning());
  EXPECT_FALSE(Find<QPushButton>("BtnHome")->isEnabled());  // nothing to browse
}

TEST_F(MainWindowTest, CaptionButtonsSwapAndReturnEscapeDoNothingInside) {
  window_->show();
  auto* max = Find<QPushButton>("maxbtn");
  auto* restore = Find<QPushButton>("restorebtn");
  EXPECT_TRUE(max->isVisible());
  EXPECT_FALSE(restore->isVisible());
  max->click();
  QApplication::processEvents();
  EXPECT_TRUE(window_->isMaximized());
  EXPECT_FALSE(max->isVisible());
  EXPECT_TRUE(restore->isVisible());
  restore->click();
  QApplication::processEvents();
  EXPECT_FALSE(window_->isMaximized());
  EXPECT_TRUE(max->isVisible());
  EXPECT_FALSE(restore->isVisible());

  // Return and Escape never reach a control of the main window; other windows keep them.
  const auto returns = [](QLineEdit* edit) {
    bool pressed = false;
    QObject::connect(edit, &QLineEdit::returnPressed, [&pressed] { pressed = true; });
    QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(edit, &key);
    return pressed;
  };
  auto* inside = new QLineEdit(Find<QWidget>("StartPage"));
  QLineEdit outside;
  EXPECT_FALSE(returns(inside));
  EXPECT_TRUE(returns(&outside));
  window_->close();
}

TEST_F(MainWindowTest, DeviceScanFromTheDevicePageToItsSummary) {
  // usbmuxd is there and a phone holding the files of a generated backup is plugged in.
  support_ = true;
  driver_.attached = true;
  fx::BackupOptions options;
  options.seed = 22;
  fx::WriteBackup(dir_ / "phone", options);
  testing::ScriptBackupOf(driver_.device, dir_ / "phone", "udid");
  window_->DeviceView().Tick();
  ASSERT_EQ(window_->DeviceView().CurrentPage(), DeviceScreen::kConnected);
  EXPECT_EQ(Find<QLabel>("IphoneInfo")->text(), "Test iPhone(iPhone 12.4)");

  std::optional<SourceKind> started;
  window_->ScanView().SetStartHook([&started](SourceKind source) { started = source; });
  Find<QPushButton>("BtnDeviceScan")->click();
  ProcessUntil([&] { return started.has_value(); });
  ASSERT_EQ(started, SourceKind::kDevice);
  ProcessUntil([&] { return Find<QPushButton>("BtnHome")->isEnabled(); });
  EXPECT_EQ(Find<QStackedWidget>("MainTabPage")->currentIndex(), 1);
  EXPECT_EQ(Find<QLabel>("LblScanType")->text().toStdString(), Settings::Get().Message("MSG0512"));
  const CategoryTree& tree = window_->ScanView().Tree();
  EXPECT_GT(testing::NodeCount(tree, kCodeCameraRoll), 0);
  EXPECT_GT(testing::NodeCount(tree, kCodeMessages), 0);
  EXPECT_FALSE(driver_.Connected());  // let go after the scan
  EXPECT_TRUE(window_->DeviceView().TimerRunning());
}

TEST_F(MainWindowTest, ClosingBeforeAnyScanClosesAtOnce) {
  window_->show();
  window_->close();
  EXPECT_FALSE(window_->isVisible());
}

}  // namespace
}  // namespace kestrio
