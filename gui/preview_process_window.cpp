#include "gui/preview_process_window.h"

#include <QLabel>
#include <QProgressBar>

#include "gui/message_box.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"

namespace kestrio {

using toolkit::FindControl;
using toolkit::MessageText;

PreviewProcessWindow::PreviewProcessWindow(QWidget* owner, QString displayName, Copy copy)
    : PopupWindow(owner, "PreviewProcessWnd", "PreviewProcessWnd"),
      displayName_(std::move(displayName)),
      copy_(std::move(copy)) {
  connect(this, &PreviewProcessWindow::progressed, this, &PreviewProcessWindow::ShowPercent,
          Qt::QueuedConnection);
  connect(this, &PreviewProcessWindow::copied, this, &PreviewProcessWindow::OnCopied,
          Qt::QueuedConnection);
}

PreviewProcessWindow::~PreviewProcessWindow() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  if (worker_.joinable()) worker_.join();
}

int PreviewProcessWindow::Run() {
  if (!Content() && !Create(500, 200)) return kCancel;
  if (auto* label = FindControl<QLabel>(Content(), "LblFileName"))
    label->setText(QString("%1 %2").arg(MessageText("MSG0902"), displayName_));
  ShowPercent(0);
  worker_ = std::thread([this] {
    const auto progress = [this](std::int32_t percent) -> Result {
      std::lock_guard<std::mutex> lock(mutex_);  // waits while the window asks
      if (cancelled_) return 2;
      emit progressed(percent);
      return kResultOk;
    };
    std::string path;
    const Result result = copy_(progress, path);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      outcome_ = cancelled_ ? 2 : result;
      previewPath_ = std::move(path);
      done_ = true;
    }
    emit copied();
  });
  return ShowModal();
}

void PreviewProcessWindow::ShowPercent(int percent) {
  if (auto* bar = FindControl<QProgressBar>(Content(), "Progress")) bar->setValue(percent);
  if (auto* label = FindControl<QLabel>(Content(), "LblPercent"))
    label->setText(QString("%1 %2%").arg(MessageText("MSG0901")).arg(percent));
}

void PreviewProcessWindow::OnCopied() {
  if (worker_.joinable()) worker_.join();
  if (!isVisible()) return;
  Close(outcome_ == kResultOk && !previewPath_.empty() ? kOk : kCancel);
}

void PreviewProcessWindow::CancelRequest() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (done_) {
    lock.unlock();
    OnCopied();
    return;
  }
  Conceal(true);
  const int answer =
      MessageBox::Show(MessageBoxKind::kQuestion, this, "", MessageText("MSG0903"), 550, 200);
  Conceal(false);
  if (answer != 1) return;
  cancelled_ = true;
  lock.unlock();
  if (worker_.joinable()) worker_.join();
  outcome_ = 2;
  Close(kCancel);
}

void PreviewProcessWindow::reject() { CancelRequest(); }

void PreviewProcessWindow::OnNotify(const toolkit::Notification& notification) {
  if (notification.type == "click" &&
      (notification.name == "BtnCancel" || notification.name == "closebtn")) {
    CancelRequest();
  }
}

}  // namespace kestrio
