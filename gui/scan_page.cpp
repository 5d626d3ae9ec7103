#include "gui/scan_page.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include "base/paths.h"
#include "gui/message_box.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"
#include "output/formatters.h"
#include "scan/device_source.h"

namespace kestrio {
namespace {

using toolkit::FindControl;
using toolkit::MessageText;

// The category names the summary shows, in scan order.
constexpr const char* kCategoryNames[kScanCategoryCount] = {
    "Camera Roll",         "Photo Stream", "Messages",   "Messages Attachments", "Contacts",
    "Call History",        "Notes",        "App Photos", "App Videos",           "WhatsApp",
    "WhatsApp Attachments"};

void SetVisible(QWidget* root, const char* name, bool visible) {
  if (auto* widget = FindControl<QWidget>(root, name)) widget->setVisible(visible);
}
void SetEnabled(QWidget* root, const char* name, bool enabled) {
  if (auto* widget = FindControl<QWidget>(root, name)) widget->setEnabled(enabled);
}

}  // namespace

ScanPage::ScanPage(PageHost& host, QWidget* container, DeviceBackupDriver& device)
    : QObject(container), host_(host), container_(container), device_(device) {
  connect(this, &ScanPage::progressChanged, this, &ScanPage::ShowProgress, Qt::QueuedConnection);
}

ScanPage::~ScanPage() { run_.reset(); }

bool ScanPage::Init(QString* error) {
  content_ = toolkit::LoadSkin("PageScan", container_, error);
  if (!content_) return false;
  ReloadTexts();
  new toolkit::Notifier(content_, [this](const toolkit::Notification& n) { OnNotify(n); });
  SetVisible(content_, "ScanToolBar", false);
  SetVisible(content_, "ReocveryToolBar", false);
  if (auto* tree = FindControl<QTreeWidget>(content_, "NodeTree")) {
    tree->setColumnCount(2);
    tree->setHeaderLabels({"Category", "Items"});
  }
  return true;
}

void ScanPage::ReloadTexts() {
  toolkit::ApplyTexts(content_, Settings::Get().Section("PageScan"));
  if (source_) {
    const bool device = *source_ == SourceKind::kDevice;
    if (auto* label = FindControl<QLabel>(content_, "LblScanType"))
      label->setText(MessageText(device ? "MSG0503" : "MSG0501"));
    if (auto* label = FindControl<QLabel>(content_, "LblRemark"))
      label->setText(MessageText(device ? "MSG0504" : "MSG0502"));
  }
}

void ScanPage::StartScan(SourceKind source) {
  if (!content_ || Scanning() ||
      (source != SourceKind::kDevice && source != SourceKind::kBackupFolder))
    return;
  run_.reset();
  source_ = source;
  std::unique_ptr<ScanBackend> backend;
  BackupStore& store = host_.Store();
  if (source == SourceKind::kBackupFolder) {
    store.ChooseBackup(host_.ChosenBackup());
    backend = CreateScanBackend(SourceKind::kBackupFolder, &store);
  } else {
    backend =
        std::make_unique<ScanBackend>(std::make_unique<DeviceSource>(device_, store.Folders()));
  }
  if (startHook_) startHook_(source);

  ReloadTexts();
  ShowProgress(0);
  SetVisible(content_, "ScanToolBar", true);
  SetVisible(content_, "ReocveryToolBar", false);
  SetEnabled(content_, "BtnHome", false);
  SetEnabled(content_, "BtnRecovery", false);
  if (auto* pause = FindControl<QPushButton>(content_, "BtnScanPause"))
    pause->setText(MessageText("MSG0507"));
  if (auto* tree = FindControl<QTreeWidget>(content_, "NodeTree")) tree->clear();

  // The worker reaches the window only through the signals, whose receivers are queued. The page
  // outlives the worker: its destructor stops and waits for the run.
  ScanObserver observer;
  observer.event = [this](ScanEvent event) { emit scanEvent(event); };
  observer.progress = [this](std::int32_t percent) { emit progressChanged(percent); };
  observer.countsChanged = [this] { emit countsChanged(); };
  observer.finished = [this](Result result) { emit scanFinished(result); };
  run_ = std::make_unique<ScanRun>(std::move(backend), host_.ScanPassword(), observer);
  if (source == SourceKind::kDevice) run_->SetAbortCounter(&device_.AbortCounter());
  run_->Start(ApplicationDataFolder());
}

void ScanPage::ShowProgress(int percent) {
  if (auto* bar = FindControl<QProgressBar>(content_, "ProgressScan")) bar->setValue(percent);
}

bool ScanPage::FoundAnything() const {
  if (!run_) return false;
  for (int i = 0; i < kScanCategoryCount; ++i) {
    if (run_->Results().Count(static_cast<ScanCategory>(i)) > 0) return true;
  }
  return false;
}

void ScanPage::ShowStatistics() {
  if (!run_) return;
  const StatisticsText text = run_->Selection().Text();
  if (auto* label = FindControl<QLabel>(content_, "LblStatistics")) {
    QString format = MessageText("MSG0514");
    if (format.isEmpty()) format = "Selected %s in %d item(s) of %s in %d item(s)";
    // The format's %s and %d, in order: ticked size, ticked items, total size, total items.
    const QString values[] = {toolkit::Qs(FormatSize(static_cast<std::int64_t>(text.tickedSize))),
                              QString::number(text.tickedCount),
                              toolkit::Qs(FormatSize(static_cast<std::int64_t>(text.totalSize))),
                              QString::number(text.totalCount)};
    QString shown;
    int next = 0;
    for (int i = 0; i < format.size(); ++i) {
      if (format[i] == '%' && i + 1 < format.size() &&
          (format[i + 1] == 's' || format[i + 1] == 'd')) {
        shown += next < 4 ? values[next++] : QString();
        ++i;
      } else {
        shown += format[i];
      }
    }
    label->setText(shown);
  }
  if (auto* tree = FindControl<QTreeWidget>(content_, "NodeTree")) {
    tree->clear();
    for (int i = 0; i < kScanCategoryCount; ++i) {
      const auto count = run_->Results().Count(static_cast<ScanCategory>(i));
      auto* item = new QTreeWidgetItem(tree, {kCategoryNames[i], QString::number(count)});
      item->setDisabled(count == 0);
    }
  }
}

void ScanPage::OnScanFinished() {
  if (!run_) return;
  run_->Wait();
  SetVisible(content_, "ScanToolBar", false);
  SetVisible(content_, "ReocveryToolBar", true);
  SetEnabled(content_, "BtnHome", true);
  SetEnabled(content_, "BtnRecovery", run_->Selection().CanRecover());
  ShowProgress(100);
  ShowStatistics();
  if (source_ == SourceKind::kDevice) {
    // A phone whose backups were encrypted must not be left without: one more try, then the
    // user is told.
    if (auto& encryption = host_.DeviceEncryption(); encryption) {
      if (!encryption->Finish())
        MessageBox::Show(MessageBoxKind::kWarning, host_.Window(), "", MessageText("MSG0303"), 550,
                         200);
      encryption.reset();
    }
    device_.Disconnect();
  }
}

void ScanPage::OnNotify(const toolkit::Notification& notification) {
  if (notification.type != "click") return;
  if (notification.name == "BtnScanPause" && run_ && !run_->Finished()) {
    auto* pause = qobject_cast<QPushButton*>(notification.sender);
    if (run_->Paused()) {
      run_->Resume();
      if (pause) pause->setText(MessageText("MSG0507"));
    } else {
      run_->Pause();
      if (pause) pause->setText(MessageText("MSG0506"));
    }
  } else if (notification.name == "BtnScanStop") {
    Stop();
  } else if (notification.name == "BtnHome") {
    Home();
  }
}

void ScanPage::Stop() {
  if (!Scanning()) return;
  if (MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "", MessageText("MSG0508"), 550,
                       200) != 1)
    return;
  if (auto* pause = FindControl<QPushButton>(content_, "BtnScanPause"))
    pause->setText(MessageText("MSG0507"));
  run_->Stop();  // raises the device's abort counter too
  run_->Wait();
}

void ScanPage::Home() {
  if (Scanning()) return;
  if (FoundAnything() && MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "",
                                          MessageText("MSG0510"), 550, 200) != 1)
    return;
  run_.reset();
  if (auto* tree = FindControl<QTreeWidget>(content_, "NodeTree")) tree->clear();
  host_.ShowMainPage(MainPage::kStart);
}

int ScanPage::CloseQuery() {
  if ((!run_ || run_->Finished()) && !FoundAnything()) return 1;
  const int answer = MessageBox::Show(MessageBoxKind::kQuestion, host_.Window(), "",
                                      MessageText("MSG0511"), 550, 200);
  if (answer == 1 && run_) {
    run_->Stop();
    run_->Wait();
  }
  return answer == 1 ? 1 : 2;
}

}  // namespace kestrio
