#include "gui/backup_page.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QPushButton>
#include <QTreeWidget>

#include "base/settings.h"
#include "gui/decryption_dialog.h"
#include "gui/message_box.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"
#include "scan/password_prompt.h"

namespace kestrio {
namespace {

constexpr char kSection[] = "PageItunesBackup";
constexpr char kEncryptedIcon[] = ":/xml/images/backup_encrypted.svg";
constexpr char kPlainIcon[] = ":/xml/images/backup_plain.svg";
constexpr int kRowHeight = 40;
constexpr int kNameWidth = 220;
constexpr int kDateWidth = 270;

}  // namespace

BackupPage::BackupPage(PageHost& host, QWidget* container)
    : QObject(container), host_(host), container_(container) {
  chooseFolder_ = [this](const QString& title) {
    return QFileDialog::getExistingDirectory(host_.Window(), title, QString(),
                                             QFileDialog::ShowDirsOnly);
  };
}

bool BackupPage::Init(QString* error) {
  content_ = toolkit::LoadSkin(kSection, container_, error);
  if (!content_) return false;
  list_ = toolkit::FindControl<QTreeWidget>(content_, "BackupFileList");
  scanButton_ = toolkit::FindControl<QPushButton>(content_, "BtnScan");
  folderButton_ = toolkit::FindControl<QPushButton>(content_, "BtnSelDir");
  ReloadTexts();
  FillList();
  notifier_ = new toolkit::Notifier(
      content_, [this](const toolkit::Notification& notification) { OnNotify(notification); });
  return true;
}

void BackupPage::ReloadTexts() { toolkit::ApplyTexts(content_, Settings::Get().Section(kSection)); }

void BackupPage::FillList() {
  if (!list_) return;
  list_->clear();
  list_->setColumnCount(3);
  list_->setHeaderLabels({"Name", "Last Backup Date", "Serial Number"});
  list_->header()->resizeSection(0, kNameWidth);
  list_->header()->resizeSection(1, kDateWidth);
  list_->setIconSize(QSize(48, 26));
  list_->setTextElideMode(Qt::ElideRight);
  list_->setWordWrap(false);
  const QIcon encrypted(kEncryptedIcon);
  const QIcon plain(kPlainIcon);
  const auto& backups = host_.Store().Backups();
  for (std::size_t i = 0; i < backups.size(); ++i) {
    const BackupSummary& backup = backups[i];
    auto* item = new QTreeWidgetItem(list_);
    item->setIcon(0, backup.encrypted ? encrypted : plain);
    item->setText(0, toolkit::Qs(backup.displayName));
    item->setText(1, toolkit::Qs(backup.lastBackupDate));
    item->setText(2, toolkit::Qs(backup.serialNumber));
    item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
    for (int column = 0; column < 3; ++column)
      item->setSizeHint(column, QSize(list_->header()->sectionSize(column), kRowHeight));
  }
  if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
  if (scanButton_) scanButton_->setEnabled(!locked_ && list_->topLevelItemCount() > 0);
}

void BackupPage::Lock(bool locked) {
  locked_ = locked;
  if (scanButton_) scanButton_->setEnabled(!locked && list_ && list_->topLevelItemCount() > 0);
  if (folderButton_) folderButton_->setEnabled(!locked);
  host_.LockMainTab(locked);
}

void BackupPage::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "BtnScan") {
    StartScanOfSelected();
  } else if (notification.name == "BtnSelDir") {
    StartScanOfOtherFolder();
  }
}

bool BackupPage::AskBackupPassword(const BackupSummary& backup, std::string& password) {
  PasswordPromptSteps steps;
  steps.ask = [this](std::string& typed) {
    QString text;
    const int answer = AskPassword(host_.Window(), DecryptionDialog::Mode::kBackup, text);
    typed = text.toStdString();
    return answer;
  };
  steps.warnEmpty = [this] {
    return MessageBox::Show(MessageBoxKind::kWarning, host_.Window(), "",
                            toolkit::MessageText("MSG0301"), 550, 200);
  };
  const std::optional<std::string> answer = PromptPassword(backup.encrypted, steps);
  if (!answer) return false;
  password = *answer;
  return true;
}

void BackupPage::StartScan(const BackupSummary& backup, const std::string& password) {
  host_.ChosenBackup() = backup;
  host_.ScanPassword() = password;
  host_.RequestScan(SourceKind::kBackupFolder);
}

void BackupPage::StartScanOfSelected() {
  const QList<QTreeWidgetItem*> selected =
      list_ ? list_->selectedItems() : QList<QTreeWidgetItem*>();
  if (selected.isEmpty()) return;
  const QTreeWidgetItem* item = selected.first();
  const auto& backups = host_.Store().Backups();
  const auto index = item->data(0, Qt::UserRole).toULongLong();
  if (index >= backups.size()) return;
  // A copy: the store's list may change while the dialogs run.
  const BackupSummary backup = backups[index];
  PromptAndStart(backup);
}

void BackupPage::PromptAndStart(const BackupSummary& backup) {
  Lock(true);
  std::string password;
  if (!AskBackupPassword(backup, password)) {
    Lock(false);
    return;
  }
  StartScan(backup, password);
}

void BackupPage::StartScanOfOtherFolder() {
  for (;;) {
    const QString folder =
        chooseFolder_("Select the iTunes backup file from other folder to recover your data.");
    if (folder.isEmpty()) return;
    BackupSummary backup;
    if (ReadBackupSummary(std::filesystem::path(folder.toStdString()), backup) != kResultOk) {
      const int again =
          MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "",
                           "Can not found the backup file, do you want to try again?", 550, 200);
      if (again == 1) continue;
      return;
    }
    PromptAndStart(backup);
    return;
  }
}

void BackupPage::OnScanEvent(ScanEvent event) {
  switch (event) {
    case ScanEvent::kFirstProgress:
      Lock(false);
      host_.ShowMainPage(MainPage::kScan);
      break;
    case ScanEvent::kWrongPassword: {
      MessageBox::Show(MessageBoxKind::kInformation, host_.Window(), "",
                       toolkit::MessageText("MSG0302"), 550, 180);
      const BackupSummary backup = host_.ChosenBackup();
      std::string password;
      if (!AskBackupPassword(backup, password)) {
        Lock(false);
        return;
      }
      Lock(true);
      host_.ScanPassword() = password;
      host_.RequestScan(SourceKind::kBackupFolder);
      break;
    }
    case ScanEvent::kBackupRefused:
      MessageBox::Show(MessageBoxKind::kInformation, host_.Window(), "",
                       toolkit::MessageText("MSG1210"), 550, 200);
      Lock(false);
      break;
    case ScanEvent::kOpenFailed:
      break;  // ShowOpenFailure, with the reason
  }
}

void BackupPage::ShowOpenFailure(Result result) {
  QString text = toolkit::MessageText("MSG1211");
  text.replace("\\n", "\n");
  text.replace("%s", toolkit::Qs(ResultText(result)));
  MessageBox::Show(MessageBoxKind::kError, host_.Window(), "", text, 550, 220);
  // The index is read after the scan page was shown: back to the list of backups.
  host_.ShowMainPage(MainPage::kStart);
  Lock(false);
}

}  // namespace kestrio
