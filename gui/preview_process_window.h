// The progress window of a preview copy: a stored file larger than 64 KiB is copied to the
// preview file on a worker while this window shows its name and percent. Cancel (also the
// close button and Escape) asks first; while the question is open the copy waits at its next
// progress report, and on yes it stops there.
#pragma once

#include <QString>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/result.h"
#include "gui/toolkit/popup_window.h"

namespace kestrio {

class PreviewProcessWindow : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  // Copies the file: called on the worker with a progress function that answers 2 once the
  // user cancelled.
  using Copy = std::function<Result(const std::function<Result(std::int32_t percent)>& progress,
                                    std::string& previewPath)>;

  PreviewProcessWindow(QWidget* owner, QString displayName, Copy copy);
  ~PreviewProcessWindow() override;

  // Runs the copy behind the window: 1 with the preview file's path in PreviewPath() when it
  // was copied, 2 when it failed or was cancelled (Outcome() says which).
  int Run();
  const std::string& PreviewPath() const { return previewPath_; }
  Result Outcome() const { return outcome_; }

 signals:
  void progressed(int percent);
  void copied();

 protected:
  void OnNotify(const toolkit::Notification& notification) override;
  void reject() override;

 private:
  void ShowPercent(int percent);
  void OnCopied();
  void CancelRequest();

  QString displayName_;
  Copy copy_;
  std::thread worker_;
  std::mutex mutex_;  // held by the window while it asks whether to cancel
  bool cancelled_ = false;
  bool done_ = false;
  std::string previewPath_;
  Result outcome_ = kResultOk;
};

}  // namespace kestrio
