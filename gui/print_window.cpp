#include "gui/print_window.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTextDocument>

#include "gui/message_box.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"

namespace kestrio {

using toolkit::FindControl;

PrintWindow::PrintWindow(QWidget* owner, const ScanRun& run, std::optional<CategoryCode> code,
                         bool deletedOnly, std::filesystem::path programFolder)
    : PopupWindow(owner, "PrintWnd", "PrintWnd"),
      run_(run),
      code_(code),
      deletedOnly_(deletedOnly),
      programFolder_(std::move(programFolder)) {
  connect(this, &PrintWindow::pageBuilt, this, &PrintWindow::ShowPage, Qt::QueuedConnection);
}

PrintWindow::~PrintWindow() {
  cancel_ = true;
  if (builder_.joinable()) builder_.join();
}

void PrintWindow::OnInit() {
  if (auto* tabs = FindControl<QStackedWidget>(Content(), "PrintTabPage")) tabs->setCurrentIndex(0);
  pagePath_ = PrintPagePath(programFolder_);
  LoadPrintTemplate(programFolder_, template_);  // without one the page is the records alone
  building_ = true;
  builder_ = std::thread([this] { Build(); });
}

void PrintWindow::Build() {
  std::string content;
  Result result = kResultOk;
  if (code_) {
    // The run has ended: its results and selection no longer change.
    result =
        BuildPrintContent(run_.Results(), run_.Selection(), *code_, deletedOnly_, content, [this] {
          std::lock_guard<std::mutex> guard(lock_);
          return cancel_.load();
        });
  }
  if (result == kResultOk) {
    page_ = template_.head + content + template_.tail;
    result = WritePrintPage(pagePath_, template_, content);
  }
  building_ = false;
  emit pageBuilt(result);
}

void PrintWindow::ShowPage(int result) {
  if (builder_.joinable()) builder_.join();
  if (result == kResultStopped) {
    Close(kCancel);
    return;
  }
  // A page that could not be written is still shown from memory.
  if (auto* browser = FindControl<QTextBrowser>(Content(), "WebPagePrint"))
    browser->setHtml(QString::fromUtf8(page_.data(), static_cast<qsizetype>(page_.size())));
  if (auto* tabs = FindControl<QStackedWidget>(Content(), "PrintTabPage")) tabs->setCurrentIndex(1);
  for (const char* name : {"BtnPrintPage", "BtnSavePdf"}) {
    if (auto* button = FindControl<QPushButton>(Content(), name)) button->setEnabled(true);
  }
  ready_ = true;
}

bool SaveAsPdf(QTextDocument& document, const QString& file) {
  if (file.isEmpty()) return false;
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(file);
  document.print(&printer);
  return QFileInfo(file).size() > 0;
}

bool PrintWindow::SavePdf(const QString& file) {
  auto* browser = FindControl<QTextBrowser>(Content(), "WebPagePrint");
  if (!ready_ || !browser) return false;
  return SaveAsPdf(*browser->document(), file);
}

void PrintWindow::CloseQuery() {
  if (!building_) {
    Close(ready_ ? kOk : kCancel);
    return;
  }
  // The builder waits at its next record while the question is open.
  std::unique_lock<std::mutex> guard(lock_);
  const int answer = MessageBox::Show(MessageBoxKind::kQuestion, this, "",
                                      toolkit::MessageText("MSG0903"), 550, 200);
  if (answer != 1) return;
  cancel_ = true;
  guard.unlock();
  if (builder_.joinable()) builder_.join();
  Close(kCancel);
}

void PrintWindow::reject() { CloseQuery(); }

void PrintWindow::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "closebtn") {
    CloseQuery();
  } else if (notification.name == "BtnPrintPage" && ready_) {
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() == QDialog::Accepted) {
      if (auto* browser = FindControl<QTextBrowser>(Content(), "WebPagePrint"))
        browser->print(&printer);
    }
  } else if (notification.name == "BtnSavePdf" && ready_) {
    const QString file =
        QFileDialog::getSaveFileName(this, "Save as PDF", "Kestrio.pdf", "PDF (*.pdf)");
    if (!file.isEmpty() && !SavePdf(file))
      MessageBox::Show(MessageBoxKind::kError, this, "", "The PDF file could not be written.", 550,
                       200);
  }
}

}  // namespace kestrio
