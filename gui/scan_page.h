// The scan page: one scan of one source (a connected device, or the chosen backup), its
// progress, pause and stop, and a summary of what was found per category. The main window
// calls StartScan when a page asks for a scan and listens to the run's signals; the result
// browser, the preview and the recovery window build on this page.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "device/device_backup_driver.h"
#include "gui/page_host.h"
#include "gui/toolkit/notify.h"
#include "scan/scan_backend.h"
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

  // Starts a scan of `source` (the device, or the chosen backup with the scan password); a
  // value outside the two, or a scan still running, does nothing.
  void StartScan(SourceKind source);
  // The scan ended (0 or stopped): the page shows what was found and the device is let go.
  void OnScanFinished();
  // Asked when the main window is closed: 1 close, 2 keep the window (the user declined).
  int CloseQuery();

  // The source of the last scan started (none before any).
  std::optional<SourceKind> CurrentSource() const { return source_; }
  bool Scanning() const { return run_ && !run_->Finished(); }
  // Called with the source of every scan started (tests observe the entry point).
  void SetStartHook(std::function<void(SourceKind source)> hook) { startHook_ = std::move(hook); }
  ScanRun* Run() const { return run_.get(); }
  QWidget* Content() const { return content_; }

  // Emitted on the scan's worker thread; connect them queued (Qt::QueuedConnection) so that
  // they are handled on the window's thread, in the order the run emitted them, and the worker
  // never waits for the window.
 signals:
  // A page event of the run (the source opened far enough to show the page, or could not be
  // opened).
  void scanEvent(ScanEvent event);
  // The counts per category changed: after the source opened and after each category that
  // found something.
  void countsChanged();
  // The percent shown grew.
  void progressChanged(int percent);
  // The run ended with 0 or 2 (stopped); OnScanFinished shows the results.
  void scanFinished(Result result);

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
  std::optional<SourceKind> source_;
  std::function<void(SourceKind)> startHook_;
};

}  // namespace kestrio
