// The scan page: one scan of one source (a connected device, or the chosen backup), its
// progress, pause and stop, and a summary of what was found per category. The main window
// calls StartScan for its "start scan" message; the result browser, the preview and the
// recovery window build on this page.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "device/device_backup_driver.h"
#include "gui/page_host.h"
#include "gui/toolkit/notify.h"
#include "scan/scan_run.h"

class QLabel;
class QProgressBar;
class QTreeWidget;

namespace kestrio {

class ScanPage : public QObject {
  Q_OBJECT
 public:
  ScanPage(PageHost& host, QWidget* container, DeviceBackupDriver& device);
  ~ScanPage() override;

  // Loads the page into its container; false when its window file is missing or broken.
  bool Init(QString* error = nullptr);
  void ReloadTexts();

  // Starts a scan of source `kind` (0 the device, 1 the chosen backup, with the scan password);
  // any other kind, or a scan still running, does nothing.
  void StartScan(int kind);
  // The scan ended (0 or stopped): the page shows what was found and the device is let go.
  void OnScanFinished();
  // Asked when the main window is closed: 1 close, 2 keep the window (the user declined).
  int CloseQuery();

  // The source of the last scan started (-1 before any).
  int CurrentSource() const { return source_; }
  bool Scanning() const { return run_ && !run_->Finished(); }
  // Called with the source kind of every scan started (tests observe the entry point).
  void SetStartHook(std::function<void(int kind)> hook) { startHook_ = std::move(hook); }
  ScanRun* Run() const { return run_.get(); }
  QWidget* Content() const { return content_; }

 private:
  void OnNotify(const toolkit::Notification& notification);
  void Stop();
  void Home();
  void ShowProgress(int percent);
  void ShowStatistics();
  bool FoundAnything() const;

  PageHost& host_;
  QWidget* container_;
  DeviceBackupDriver& device_;
  QWidget* content_ = nullptr;
  std::unique_ptr<ScanRun> run_;
  int source_ = -1;
  std::function<void(int)> startHook_;
};

}  // namespace kestrio
