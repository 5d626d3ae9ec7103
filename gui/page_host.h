// What the start pages and the scan page ask of the main window. The main window implements
// it; tests implement it to drive a page alone.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "device/encryption_switch.h"

namespace kestrio {

class PageHost {
 public:
  virtual ~PageHost() = default;

  // The window that owns the message boxes and dialogs of the pages.
  virtual QWidget* Window() = 0;
  // Posts a private message (gui/messages.h) to the main window; it is handled later, on
  // the window's thread.
  virtual void Post(int message, long long param) = 0;
  // The backup the next backup scan reads, and the password of the next scan (backup or
  // device; empty when none was asked).
  virtual BackupSummary& ChosenBackup() = 0;
  virtual std::string& ScanPassword() = 0;
  // The encryption switch of the next device scan: made by the device page when it switches
  // the device's backup encryption off, finished by the scan page when the scan ends.
  virtual std::unique_ptr<EncryptionSwitch>& DeviceEncryption() = 0;
  // The backup store of the main window (its backup list is the discovery's result).
  virtual BackupStore& Store() = 0;
  // Stops (or allows again) mouse input to the pages of the main tab layout.
  virtual void LockMainTab(bool locked) = 0;
  // Shows page `index` of the main tab layout (0 start page, 1 scan page).
  virtual void ShowMainPage(int index) = 0;
  // Opens a local help page ("usbmuxd.html", ...) in the default browser.
  virtual void OpenHelpPage(const QString& fileName) = 0;
};

}  // namespace kestrio
