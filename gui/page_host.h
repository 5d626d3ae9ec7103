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
#include "scan/scan_backend.h"

namespace kestrio {

// The pages of the main tab layout (the value is the page's index there).
enum class MainPage { kStart = 0, kScan = 1 };

class PageHost {
 public:
  virtual ~PageHost() = default;

  // The window that owns the message boxes and dialogs of the pages.
  virtual QWidget* Window() = 0;
  // Asks for a scan of `source` (the device, or the chosen backup with the scan password). The
  // scan starts later, on the window's thread, once the asking page's dialogs have returned.
  virtual void RequestScan(SourceKind source) = 0;
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
  virtual void ShowMainPage(MainPage page) = 0;
  // Opens a local help page ("usbmuxd.html", ...) in the default browser.
  virtual void OpenHelpPage(const QString& fileName) = 0;
};

}  // namespace kestrio
