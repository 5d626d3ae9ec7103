// The print window: the ticked records of the category shown on the result page as one HTML
// page, built on a worker while a loading animation plays, then shown, printed through the
// system's print dialog or saved as PDF. Closing while the page is being built asks first;
// the worker waits while the question is open and stops at its next record when confirmed.
#pragma once

#include <QString>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "gui/toolkit/popup_window.h"
#include "output/print_page.h"
#include "scan/scan_run.h"

class QTextDocument;

namespace kestrio {

// Prints `document` into the PDF file `file`; false when nothing was written.
bool SaveAsPdf(QTextDocument& document, const QString& file);

class PrintWindow : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  // Prints `code` of a finished `run` (none: a page without records), only its deleted
  // records when `deletedOnly`; the template is read from, and the page written below,
  // `programFolder`.
  PrintWindow(QWidget* owner, const ScanRun& run, std::optional<CategoryCode> code,
              bool deletedOnly, std::filesystem::path programFolder);
  ~PrintWindow() override;

  // The page is built and shown.
  bool Ready() const { return ready_; }
  const std::filesystem::path& PagePath() const { return pagePath_; }
  // Writes the shown page as a PDF file; false when it could not be written.
  bool SavePdf(const QString& file);

 signals:
  void pageBuilt(int result);

 protected:
  void OnInit() override;
  void OnNotify(const toolkit::Notification& notification) override;
  void reject() override;

 private:
  void Build();
  void ShowPage(int result);
  void CloseQuery();

  const ScanRun& run_;
  std::optional<CategoryCode> code_;
  bool deletedOnly_;
  std::filesystem::path programFolder_;
  std::filesystem::path pagePath_;
  PrintTemplate template_;
  std::string page_;  // head + content + tail, as written
  std::thread builder_;
  std::mutex lock_;  // held by the builder at each record, by the window while it asks
  std::atomic<bool> cancel_{false};
  std::atomic<bool> building_{false};
  bool ready_ = false;
};

}  // namespace kestrio
