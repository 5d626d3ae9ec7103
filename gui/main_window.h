// The main window: a frameless skinned frame holding the start page (with the device page and
// the backup page) and the scan page, the assistance menu, and the hub between them: the pages'
// scan requests and the scan run's signals reach it queued and it hands each to the page that
// handles it.
#pragma once

#include <QString>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>

#include "backup/backup_store.h"
#include "device/device_backup_driver.h"
#include "gui/page_host.h"
#include "gui/toolkit/frameless_window.h"
#include "gui/toolkit/notify.h"
#include "scan/scan_run.h"

class QMenu;

namespace kestrio {

class DevicePage;
class BackupPage;
class ScanPage;

inline constexpr char kMainWindowTitle[] = "Kestrio";

class MainWindow : public toolkit::FramelessWindow, public PageHost {
  Q_OBJECT
 public:
  struct Options {
    BackupStoreFolders folders = BackupStoreFolders::Platform();
    // The device session (null: the process's).
    DeviceBackupDriver* device = nullptr;
    // Whether usbmuxd is installed (unset: this computer's answer).
    std::function<bool()> deviceSupport;
    // Opens a web page (unset: the desktop's browser).
    std::function<void(const QUrl&)> openUrl;
    // Where the local help pages are (empty: "help" beside the program).
    std::filesystem::path helpFolder;
  };

  explicit MainWindow(Options options);
  ~MainWindow() override;

  // Builds the window from its window files and initialises the pages. False (with the
  // reason) when a window file is missing or broken.
  bool Create(QString* error);

  // PageHost
  QWidget* Window() override { return this; }
  void RequestScan(SourceKind source) override;
  BackupSummary& ChosenBackup() override { return chosenBackup_; }
  std::string& ScanPassword() override { return scanPassword_; }
  std::unique_ptr<EncryptionSwitch>& DeviceEncryption() override { return deviceEncryption_; }
  BackupStore& Store() override { return *store_; }
  void LockMainTab(bool locked) override;
  void ShowMainPage(MainPage page) override;
  void OpenHelpPage(const QString& fileName) override;

  DevicePage& DeviceView() { return *devicePage_; }
  BackupPage& BackupView() { return *backupPage_; }
  ScanPage& ScanView() { return *scanPage_; }
  // The assistance menu as last opened (null before).
  QMenu* AssistMenu() const { return menu_; }
  // Opens the assistance menu below its button (what a click on "BtnAssist" does).
  void OpenAssistMenu();
  // Reloads every text of the window and its pages from the current language.
  void ReloadTexts();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnNotify(const toolkit::Notification& notification);
  // What the main window does with a scan request and with the scan run's signals.
  void StartScan(SourceKind source);
  void OnScanEvent(ScanEvent event);
  void OnScanFinished();
  void SelectStartTab(bool device);

  Options options_;
  std::unique_ptr<BackupStore> store_;
  DeviceBackupDriver* device_;
  BackupSummary chosenBackup_;
  std::string scanPassword_;
  std::unique_ptr<EncryptionSwitch> deviceEncryption_;
  QWidget* content_ = nullptr;
  DevicePage* devicePage_ = nullptr;
  BackupPage* backupPage_ = nullptr;
  ScanPage* scanPage_ = nullptr;
  QMenu* menu_ = nullptr;
};

}  // namespace kestrio
