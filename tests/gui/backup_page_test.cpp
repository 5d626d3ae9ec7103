// The start page of the backups on this computer: the list of the store's backups and the
// ways a backup scan is started (the list, another folder, a retried password).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <deque>
#include <memory>
#include <optional>

#include "gui/backup_page.h"
#include "gui/message_box.h"
#include "gui/page_host.h"
#include "gui/toolkit/texts.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/gui/gui_support.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
using testing::DialogScript;
using testing::FakeHost;
using testing::Shown;
using toolkit::MessageText;

QString Title(MessageBoxKind kind) { return MessageText(MessageBox::TitleId(kind)); }

const std::vector<SourceKind> kBackupScan{SourceKind::kBackupFolder};

QImage Rendered(const QIcon& icon) { return icon.pixmap(QSize(48, 26)).toImage(); }

constexpr std::int64_t kOldDate = 1462330921;  // 2016-05-04 03:02:01 UTC
constexpr std::int64_t kNewDate = 1551675967;  // 2019-03-04 05:06:07 UTC

class BackupPageTest : public ::testing::Test {
 protected:
  // Two backups in a MobileSync-like folder: an older plain one and a newer encrypted one
  // (listed first although its folder name sorts last), and a folder that holds no backup.
  static void SetUpTestSuite() {
    if (const char* tz = getenv("TZ")) savedTz_ = tz;
    setenv("TZ", "JST-9", 1);  // UTC+9 all year: the dates are shown in local time
    tzset();
    dir_ = new fixtures::TempDir;
    const auto write = [](const fs::path& folder, const std::string& name,
                          const std::string& serial, std::int64_t date) {
      fixtures::BackupOptions options;
      options.messageCount = 20;
      options.contactCount = 24;
      fixtures::BackupInfo info;
      info.displayName = info.deviceName = name;
      info.serialNumber = serial;
      info.productVersion = "12.4.1";
      info.lastBackupDate = date;
      options.info = info;
      fixtures::WriteBackup(folder, options);
    };
    write(Roots() / "b-plain", "Anna's iPhone", "F2OLDSERIAL1", kOldDate);
    write(*dir_ / "source", "Work iPhone", "F2NEWSERIAL2", kNewDate);
    fixtures::EncryptBackup(*dir_ / "source", Roots() / "c-encrypted", {});
    fs::create_directories(Roots() / "a-empty");
  }
  static void TearDownTestSuite() {
    delete dir_;
    if (savedTz_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", savedTz_.c_str(), 1);
    }
    tzset();
  }
  static fs::path Roots() { return *dir_ / "MobileSync" / "Backup"; }

  void Load(std::vector<fs::path> roots) {
    host_ = std::make_unique<FakeHost>(std::move(roots), work_.path());
    page_ = std::make_unique<BackupPage>(*host_, &container_);
    QString error;
    ASSERT_TRUE(page_->Init(&error)) << error.toStdString();
    list_ = page_->Content()->findChild<QTreeWidget*>("BackupFileList");
    scan_ = page_->Content()->findChild<QPushButton*>("BtnScan");
    select_ = page_->Content()->findChild<QPushButton*>("BtnSelDir");
    ASSERT_TRUE(list_ && scan_ && select_);
  }
  void SelectRow(int row) { list_->setCurrentItem(list_->topLevelItem(row)); }

  static fixtures::TempDir* dir_;
  static std::string savedTz_;
  fixtures::TempDir work_;
  QWidget container_;
  std::unique_ptr<FakeHost> host_;
  std::unique_ptr<BackupPage> page_;
  QTreeWidget* list_ = nullptr;
  QPushButton* scan_ = nullptr;
  QPushButton* select_ = nullptr;
};

fixtures::TempDir* BackupPageTest::dir_ = nullptr;
std::string BackupPageTest::savedTz_;

TEST_F(BackupPageTest, ListsTheStoreBackupsNewestFirst) {
  Load({Roots()});
  ASSERT_EQ(list_->topLevelItemCount(), 2);
  const QTreeWidgetItem* header = list_->headerItem();
  EXPECT_EQ(header->text(0), "Name");
  EXPECT_EQ(header->text(1), "Last Backup Date");
  EXPECT_EQ(header->text(2), "Serial Number");

  const QTreeWidgetItem* newer = list_->topLevelItem(0);
  EXPECT_EQ(newer->text(0), "Work iPhone");
  EXPECT_EQ(newer->text(1), "2019-03-04 14:06:07");
  EXPECT_EQ(newer->text(2), "F2NEWSERIAL2");
  const QTreeWidgetItem* older = list_->topLevelItem(1);
  EXPECT_EQ(older->text(0), "Anna's iPhone");
  EXPECT_EQ(older->text(1), "2016-05-04 12:02:01");
  EXPECT_EQ(older->text(2), "F2OLDSERIAL1");
  for (int row = 0; row < 2; ++row) {
    const auto index = list_->topLevelItem(row)->data(0, Qt::UserRole).toULongLong();
    ASSERT_LT(index, host_->Store().Backups().size());
    EXPECT_EQ(host_->Store().Backups()[index].displayName,
              list_->topLevelItem(row)->text(0).toStdString());
  }

  const QImage encrypted = Rendered(QIcon(":/xml/images/backup_encrypted.svg"));
  const QImage plain = Rendered(QIcon(":/xml/images/backup_plain.svg"));
  ASSERT_FALSE(encrypted.isNull());
  ASSERT_NE(encrypted, plain);
  EXPECT_EQ(Rendered(newer->icon(0)), encrypted);
  EXPECT_EQ(Rendered(older->icon(0)), plain);

  EXPECT_EQ(list_->selectedItems(), QList<QTreeWidgetItem*>{list_->topLevelItem(0)});
  EXPECT_TRUE(scan_->isEnabled());
}

TEST_F(BackupPageTest, EmptyListKeepsStartScanDisabledThroughLocking) {
  Load({});
  EXPECT_EQ(list_->topLevelItemCount(), 0);
  EXPECT_FALSE(scan_->isEnabled());
  page_->Lock(true);
  EXPECT_TRUE(host_->mainTabLocked);
  EXPECT_FALSE(select_->isEnabled());
  page_->Lock(false);
  EXPECT_FALSE(host_->mainTabLocked);
  EXPECT_TRUE(select_->isEnabled());
  EXPECT_FALSE(scan_->isEnabled());
}

TEST_F(BackupPageTest, StartScanOfAPlainBackupPostsABackupScanAndUnlocksWhenItStarts) {
  Load({Roots()});
  SelectRow(1);
  {
    DialogScript none;
    scan_->click();
  }
  ASSERT_EQ(host_->scanRequests, kBackupScan);
  EXPECT_EQ(host_->chosen.folder, Roots() / "b-plain");
  EXPECT_FALSE(host_->chosen.encrypted);
  EXPECT_EQ(host_->password, "");
  EXPECT_TRUE(page_->Locked());
  EXPECT_TRUE(host_->mainTabLocked);
  EXPECT_FALSE(scan_->isEnabled());

  page_->OnScanEvent(ScanEvent::kFirstProgress);
  EXPECT_FALSE(page_->Locked());
  EXPECT_FALSE(host_->mainTabLocked);
  EXPECT_TRUE(scan_->isEnabled());
  EXPECT_EQ(host_->mainPage, MainPage::kScan);
}

TEST_F(BackupPageTest, EmptyPasswordOfAnEncryptedBackupIsWarnedAbout) {
  Load({Roots()});
  SelectRow(0);
  {
    // OK on the warning asks again; Cancel there ends without a scan.
    DialogScript script{{"BtnOK", ""}, {"okbtn"}, {"BtnCancel"}};
    scan_->click();
    ASSERT_TRUE(script.Done());
    ASSERT_EQ(script.Dialogs().size(), 3u);
    EXPECT_EQ(script.Dialogs()[0].dialog, "DecryptionWndPopup");
    EXPECT_EQ(script.Dialogs()[1].title, Title(MessageBoxKind::kWarning));
    EXPECT_EQ(script.Dialogs()[1].message, MessageText("MSG0301"));
    EXPECT_EQ(script.Dialogs()[1].size, QSize(550, 200));
    EXPECT_EQ(script.Dialogs()[2].dialog, "DecryptionWndPopup");
  }
  EXPECT_TRUE(host_->scanRequests.empty());
  EXPECT_FALSE(page_->Locked());
  EXPECT_FALSE(host_->mainTabLocked);

  {
    // Cancel on the warning goes on without a password.
    DialogScript script{{"BtnOK", ""}, {"cancelbtn"}};
    scan_->click();
    EXPECT_TRUE(script.Done());
  }
  ASSERT_EQ(host_->scanRequests, kBackupScan);
  EXPECT_EQ(host_->password, "");
  EXPECT_TRUE(host_->chosen.encrypted);
  EXPECT_EQ(host_->chosen.folder, Roots() / "c-encrypted");

  page_->Lock(false);
  {
    DialogScript script{{"BtnOK", "pässwort"}};
    scan_->click();
    EXPECT_TRUE(script.Done());
  }
  EXPECT_EQ(host_->scanRequests.size(), 2u);
  EXPECT_EQ(host_->password, "pässwort");
}

TEST_F(BackupPageTest, SelectingAFolderWithoutABackupOffersToTryAgain) {
  Load({});
  std::deque<QString> answers;
  QStringList titles;
  page_->SetFolderChooser([&](const QString& title) {
    titles << title;
    if (answers.empty()) return QString();
    const QString next = answers.front();
    answers.pop_front();
    return next;
  });
  const QString empty = QString::fromStdString((Roots() / "a-empty").string());
  const QString plain = QString::fromStdString((Roots() / "b-plain").string());

  answers = {empty, plain};
  {
    DialogScript script{{"okbtn"}};
    select_->click();
    ASSERT_EQ(script.Dialogs().size(), 1u);
    EXPECT_EQ(script.Dialogs()[0].title, Title(MessageBoxKind::kQuestion));
    EXPECT_EQ(script.Dialogs()[0].message,
              "Can not found the backup file, do you want to try again?");
    EXPECT_EQ(script.Dialogs()[0].size, QSize(550, 200));
  }
  ASSERT_EQ(titles.size(), 2);
  EXPECT_EQ(titles[0], "Select the iTunes backup file from other folder to recover your data.");
  ASSERT_EQ(host_->scanRequests, kBackupScan);
  EXPECT_EQ(host_->chosen.folder, Roots() / "b-plain");
  EXPECT_EQ(host_->chosen.displayName, "Anna's iPhone");
  EXPECT_TRUE(page_->Locked());

  page_->Lock(false);
  answers = {empty};
  {
    DialogScript script{{"cancelbtn"}};
    select_->click();
    EXPECT_TRUE(script.Done());
  }
  answers = {};  // the chooser cancelled
  {
    DialogScript none;
    select_->click();
  }
  EXPECT_EQ(titles.size(), 4);
  EXPECT_EQ(host_->scanRequests.size(), 1u);
  EXPECT_FALSE(page_->Locked());
}

TEST_F(BackupPageTest, WrongPasswordAsksAgainAndUnreadableBackupUnlocks) {
  Load({Roots()});
  ASSERT_EQ(ReadBackupSummary(Roots() / "c-encrypted", host_->chosen), kResultOk);
  ASSERT_TRUE(host_->chosen.encrypted);
  page_->Lock(true);
  {
    DialogScript script{{"okbtn"}, {"BtnOK", "second try"}};
    page_->OnScanEvent(ScanEvent::kWrongPassword);
    ASSERT_EQ(script.Dialogs().size(), 2u);
    EXPECT_EQ(script.Dialogs()[0].title, Title(MessageBoxKind::kInformation));
    EXPECT_EQ(script.Dialogs()[0].message, MessageText("MSG0302"));
    EXPECT_EQ(script.Dialogs()[0].size, QSize(550, 180));
  }
  ASSERT_EQ(host_->scanRequests, kBackupScan);
  EXPECT_EQ(host_->password, "second try");
  EXPECT_TRUE(page_->Locked());

  {
    DialogScript script{{"okbtn"}, {"BtnCancel"}};
    page_->OnScanEvent(ScanEvent::kWrongPassword);
    EXPECT_TRUE(script.Done());
  }
  EXPECT_EQ(host_->scanRequests.size(), 1u);
  EXPECT_FALSE(page_->Locked());
  EXPECT_FALSE(host_->mainTabLocked);

  page_->Lock(true);
  {
    DialogScript script{{"okbtn"}};
    page_->OnScanEvent(ScanEvent::kBackupRefused);
    ASSERT_EQ(script.Dialogs().size(), 1u);
    EXPECT_EQ(script.Dialogs()[0].message, MessageText("MSG1210"));
    EXPECT_EQ(script.Dialogs()[0].size, QSize(550, 200));
  }
  EXPECT_FALSE(page_->Locked());
  EXPECT_EQ(host_->scanRequests.size(), 1u);
}

}  // namespace
}  // namespace kestrio
