// The start page for a backup on this computer: the discovered backups (newest first), a
// folder of the user's choice, and the password of an encrypted backup before its scan starts.
#pragma once

#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>

#include "gui/page_host.h"
#include "gui/toolkit/notify.h"
#include "scan/scan_run.h"

class QPushButton;
class QTreeWidget;

namespace kestrio {

class BackupPage : public QObject {
  Q_OBJECT
 public:
  // Asks for a folder with `title` as the dialog's title; empty when cancelled.
  using FolderChooser = std::function<QString(const QString& title)>;

  BackupPage(PageHost& host, QWidget* container);

  // Loads the page into the container, applies its texts and lists the backups of the store.
  // False (with the reason in `error`) when the window file is missing or broken.
  bool Init(QString* error = nullptr);
  void ReloadTexts();
  // A page event of the backup's scan run: it started, its password was wrong, or the backup
  // cannot be read. Others are not this page's.
  void OnScanEvent(ScanEvent event);
  // The chosen backup could not be opened (`result` says why): the user is told and the page
  // is usable again.
  void ShowOpenFailure(Result result);
  // Stops the page (and the main tab) from starting another scan while one is being started.
  void Lock(bool locked);
  bool Locked() const { return locked_; }
  QWidget* Content() const { return content_; }
  void SetFolderChooser(FolderChooser chooser) { chooseFolder_ = std::move(chooser); }

 private:
  void OnNotify(const toolkit::Notification& notification);
  void FillList();
  void StartScanOfSelected();
  void StartScanOfOtherFolder();
  // The password of `backup` as the user gives it; false when cancelled.
  bool AskBackupPassword(const BackupSummary& backup, std::string& password);
  void StartScan(const BackupSummary& backup, const std::string& password);
  // Locks the page, asks for the backup's password and starts its scan (unlocks on cancel).
  void PromptAndStart(const BackupSummary& backup);

  PageHost& host_;
  QWidget* container_;
  QWidget* content_ = nullptr;
  QTreeWidget* list_ = nullptr;
  QPushButton* scanButton_ = nullptr;
  QPushButton* folderButton_ = nullptr;
  toolkit::Notifier* notifier_ = nullptr;
  FolderChooser chooseFolder_;
  bool locked_ = false;
};

}  // namespace kestrio
