// The recovery window: the ticked items of a scan written into the chosen output folder by a
// recovery run on a worker, with its progress, the current file, the counts, a status list
// that opens with Details (failures at its top, in red), Open Folder, and Cancel (also the
// close button and Escape), which holds the run while it asks and closes only once the worker
// has stopped. Finish closes the window once the run is over.
#pragma once

#include <QString>
#include <filesystem>
#include <memory>
#include <thread>

#include "gui/toolkit/popup_window.h"
#include "output/recovery_run.h"

namespace kestrio {

class RecoverWindow : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  RecoverWindow(QWidget* owner, RecoverySource source, std::filesystem::path outputRoot,
                std::filesystem::path programFolder);
  ~RecoverWindow() override;

  // Loads the report templates and runs the recovery in the window, shown modally: 1 when
  // the run ended and the window was closed, 2 when a template is missing (the user is told;
  // nothing is written) or the run was cancelled.
  int Run();
  bool Finished() const { return finished_; }
  const RecoveryRun& Recovery() const { return *run_; }

 signals:
  void progressed(int percent, QString current, int done, int total, int failed);
  void itemDone(QString path, QString status, bool failed);
  void runFinished();

 protected:
  void OnNotify(const toolkit::Notification& notification) override;
  void reject() override;

 private:
  void ShowProgress(int percent, const QString& current, int done, int total, int failed);
  void AddStatus(const QString& path, const QString& status, bool failed);
  void OnFinished();
  void CancelRequest();
  void ToggleDetails();

  std::filesystem::path outputRoot_;
  std::unique_ptr<RecoveryRun> run_;
  std::thread worker_;
  bool finished_ = false;
  bool details_ = false;
  QSize initialSize_;
};

}  // namespace kestrio
