#include "gui/recover_window.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>

#include "gui/message_box.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"

namespace kestrio {

using toolkit::FindControl;
using toolkit::MessageText;

namespace {

const QColor kFailedColour(0xFF, 0x00, 0x00);

QString PathText(const std::filesystem::path& path) { return toolkit::Qs(path.string()); }

}  // namespace

RecoverWindow::RecoverWindow(QWidget* owner, RecoverySource source,
                             std::filesystem::path outputRoot, std::filesystem::path programFolder)
    : PopupWindow(owner, "RecoverProcessWnd", "RecoverProcessWnd"),
      outputRoot_(std::move(outputRoot)) {
  RecoveryObserver observer;
  // Both run on the worker under the run's lock; the window handles them queued, in order.
  observer.progress = [this](const RecoveryProgress& p) {
    emit progressed(p.percent, PathText(p.current), p.done, p.total, p.failed);
  };
  observer.status = [this](const RecoveryStatusRow& row) {
    emit itemDone(PathText(row.path), toolkit::Qs(row.status), row.failed);
  };
  run_ = std::make_unique<RecoveryRun>(std::move(source), outputRoot_, std::move(programFolder),
                                       observer);
  connect(this, &RecoverWindow::progressed, this, &RecoverWindow::ShowProgress,
          Qt::QueuedConnection);
  connect(this, &RecoverWindow::itemDone, this, &RecoverWindow::AddStatus, Qt::QueuedConnection);
  connect(this, &RecoverWindow::runFinished, this, &RecoverWindow::OnFinished,
          Qt::QueuedConnection);
}

RecoverWindow::~RecoverWindow() {
  run_->Cancel();
  if (worker_.joinable()) worker_.join();
}

int RecoverWindow::Run() {
  std::string missing;
  if (run_->LoadTemplates(missing) != kResultOk) {
    MessageBox::Show(MessageBoxKind::kError, parentWidget(), "", MessageText("MSG1104"), 500, 200);
    return kCancel;
  }
  if (!Content() && !Create(550, 250)) return kCancel;
  initialSize_ = size();
  ShowProgress(0, QString(), 0, 0, 0);
  worker_ = std::thread([this] {
    run_->Run();
    emit runFinished();
  });
  return ShowModal();
}

void RecoverWindow::ShowProgress(int percent, const QString& current, int done, int total,
                                 int failed) {
  if (auto* bar = FindControl<QProgressBar>(Content(), "Progress")) bar->setValue(percent);
  if (auto* label = FindControl<QLabel>(Content(), "current")) label->setText(current);
  if (auto* label = FindControl<QLabel>(Content(), "percent"))
    label->setText(QString("%1 %2%").arg(MessageText("MSG1101")).arg(percent));
  if (auto* label = FindControl<QLabel>(Content(), "recovered")) {
    QString text = MessageText("MSG1102");
    for (int value : {done, total, done - failed, failed}) {
      const qsizetype at = text.indexOf("%d");
      if (at < 0) break;
      text.replace(at, 2, QString::number(value));
    }
    label->setText(text);
  }
}

void RecoverWindow::AddStatus(const QString& path, const QString& status, bool failed) {
  auto* list = FindControl<QTreeWidget>(Content(), "DetailList");
  if (!list) return;
  auto* row = new QTreeWidgetItem({path, status});
  row->setToolTip(0, path);
  if (failed) {
    row->setForeground(0, kFailedColour);
    row->setForeground(1, kFailedColour);
    list->insertTopLevelItem(0, row);  // failures gather at the top
  } else {
    list->addTopLevelItem(row);
  }
}

void RecoverWindow::OnFinished() {
  if (worker_.joinable()) worker_.join();
  finished_ = true;
  if (auto* button = FindControl<QPushButton>(Content(), "FinishBtn")) button->setVisible(true);
  if (auto* button = FindControl<QPushButton>(Content(), "CancelBtn")) button->setVisible(false);
  if (const int failed = run_->Failed(); failed > 0) {
    QString text = MessageText("MSG1105");
    for (int value : {failed, static_cast<int>(run_->Total())}) {
      if (const qsizetype at = text.indexOf("%d"); at >= 0)
        text.replace(at, 2, QString::number(value));
    }
    MessageBox::Show(MessageBoxKind::kWarning, this, "", text, 550, 200);
  }
}

void RecoverWindow::CancelRequest() {
  if (finished_) {
    Close(kOk);
    return;
  }
  // The worker waits at its next progress call while the question is open.
  auto hold = run_->Hold();
  Conceal(true);
  const int answer = MessageBox::Show(MessageBoxKind::kQuestion, parentWidget(), "",
                                      MessageText("MSG1103"), 550, 200);
  Conceal(false);
  if (answer != 1) return;
  run_->Cancel();
  hold.unlock();
  if (worker_.joinable()) worker_.join();
  Close(kCancel);
}

void RecoverWindow::ToggleDetails() {
  auto* list = FindControl<QTreeWidget>(Content(), "DetailList");
  if (!list) return;
  details_ = !details_;
  list->setVisible(details_);
  resize(details_ ? initialSize_ + QSize(150, 300) : initialSize_);
  toolkit::CentreWindow(this, parentWidget());
}

void RecoverWindow::reject() { CancelRequest(); }

void RecoverWindow::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "OpenBtn") {
    QDesktopServices::openUrl(QUrl::fromLocalFile(PathText(outputRoot_)));
  } else if (notification.name == "FinishBtn") {
    Close(kOk);
  } else if (notification.name == "DetailBtn") {
    ToggleDetails();
  } else if (notification.name == "CancelBtn" || notification.name == "closebtn") {
    CancelRequest();
  }
}

}  // namespace kestrio
