#include "gui/main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QStackedWidget>

#include "base/paths.h"
#include "base/settings.h"
#include "device/device_session.h"
#include "gui/backup_page.h"
#include "gui/device_page.h"
#include "gui/scan_page.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"

namespace kestrio {
namespace {

using toolkit::FindControl;

constexpr int kWidth = 1000;
constexpr int kHeight = 650;
constexpr toolkit::FramelessWindow::Frame kFrame{90, 4, 5, 4};

// The assistance menu's items and the help page each opens.
constexpr std::pair<const char*, const char*> kHelpItems[] = {
    {"item_help", "help.html"},
    {"item_faq", "faq.html"},
    {"item_about", "about.html"},
    {"item_support", "support.html"},
};

// Return and Escape do nothing anywhere in the main window (its dialogs have their own keys).
class KeyFilter : public QObject {
 public:
  explicit KeyFilter(QWidget* window) : QObject(window), window_(window) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    const int key = static_cast<QKeyEvent*>(event)->key();
    return widget && widget->window() == window_ &&
           (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape);
  }

 private:
  QWidget* window_;
};

}  // namespace

MainWindow::MainWindow(Options options)
    : options_(std::move(options)),
      store_(std::make_unique<BackupStore>(options_.folders)),
      device_(options_.device ? options_.device : &DeviceBackupSession::Instance()) {
  setWindowTitle(kMainWindowTitle);
  setWindowIcon(QIcon(":/xml/images/logo.svg"));
}

MainWindow::~MainWindow() = default;

bool MainWindow::Create(QString* error) {
  content_ = toolkit::LoadSkin("skin", nullptr, error);
  if (!content_) return false;
  SetContent(content_, kFrame);
  const QSize size(kWidth + 2 * kFrame.shadow, kHeight + 2 * kFrame.shadow);
  setMinimumSize(size);
  resize(size);

  // The pages, built into their containers of the skin in this order.
  auto* deviceBox = FindControl<QWidget>(content_, "IosDeviceVtrWnd");
  auto* backupBox = FindControl<QWidget>(content_, "ItunesVtrWnd");
  auto* scanBox = FindControl<QWidget>(content_, "ScanVtrWnd");
  if (!deviceBox || !backupBox || !scanBox) {
    if (error) *error = "the main window file lacks a page container";
    return false;
  }
  devicePage_ = new DevicePage(*this, deviceBox, *device_, options_.deviceSupport);
  backupPage_ = new BackupPage(*this, backupBox);
  scanPage_ = new ScanPage(*this, scanBox, *device_);
  if (!devicePage_->Init(error) || !backupPage_->Init(error) || !scanPage_->Init(error))
    return false;
  // Emitted on the scan's worker thread, handled here in their order.
  connect(scanPage_, &ScanPage::scanEvent, this, &MainWindow::OnScanEvent, Qt::QueuedConnection);
  connect(scanPage_, &ScanPage::scanFinished, this, &MainWindow::OnScanFinished,
          Qt::QueuedConnection);

  new toolkit::Notifier(content_, [this](const toolkit::Notification& n) { OnNotify(n); });
  ReloadTexts();
  SelectStartTab(true);
  ShowMainPage(MainPage::kStart);
  qApp->installEventFilter(new KeyFilter(this));
  return true;
}

void MainWindow::ReloadTexts() {
  toolkit::ApplyTexts(content_, Settings::Get().Section("MainWnd"));
  if (auto* label = FindControl<QLabel>(content_, "LblProductName"))
    label->setText(toolkit::MessageText("MSG1209"));
  if (devicePage_) devicePage_->ReloadTexts();
  if (backupPage_) backupPage_->ReloadTexts();
  if (scanPage_) scanPage_->ReloadTexts();
}

void MainWindow::SelectStartTab(bool device) {
  // Title and subtitle of the selected option light on the accent colour, the other's dark.
  const auto colour = [this](const char* name, bool selected, bool title) {
    if (auto* label = FindControl<QLabel>(content_, name)) {
      const char* value =
          selected ? (title ? "#FFFFFF" : "#D5EEF0") : (title ? "#1F2933" : "#52606D");
      label->setStyleSheet(QString("color: ") + value + ";");
    }
  };
  colour("TxtIosDevice1", device, true);
  colour("TxtIosDevice2", device, false);
  colour("TxtBackupFile1", !device, true);
  colour("TxtBackupFile2", !device, false);
  if (auto* tabs = FindControl<QStackedWidget>(content_, "TabPage"))
    tabs->setCurrentIndex(device ? 0 : 1);
}

void MainWindow::OnNotify(const toolkit::Notification& notification) {
  if (notification.type == "selectchanged") {
    if (notification.name == "OptIosDevice") {
      SelectStartTab(true);
    } else if (notification.name == "OptBackupFile") {
      SelectStartTab(false);
    }
  } else if (notification.type == "click" && notification.name == "BtnAssist") {
    OpenAssistMenu();
  }
}

void MainWindow::OpenAssistMenu() {
  if (menu_) menu_->deleteLater();
  menu_ = new QMenu(this);
  menu_->setObjectName("menu_assist");
  for (const auto& [name, page] : kHelpItems) {
    QAction* action = menu_->addAction(name);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this,
            [this, page = QString(page)] { OpenHelpPage(page); });
  }
  QMenu* languages = menu_->addMenu("Language");
  languages->setObjectName("item_language_menu");
  languages->menuAction()->setObjectName("item_language");
  const Settings& settings = Settings::Get();
  for (const auto& [name, display] : settings.Languages()) {
    QAction* action = languages->addAction(toolkit::Qs(display));
    action->setObjectName(toolkit::Qs(name));
    if (name == settings.CurrentLanguage()) action->setIcon(QIcon(":/xml/images/tick.svg"));
    connect(action, &QAction::triggered, this, [this, name = name] {
      Settings::Get().SetLanguage(name);
      QMetaObject::invokeMethod(this, &MainWindow::ReloadTexts, Qt::QueuedConnection);
    });
  }
  QAction* exit = menu_->addAction("Exit");
  exit->setObjectName("item_exit");
  connect(exit, &QAction::triggered, this,
          [this] { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); });
  toolkit::ApplyTexts(menu_, Settings::Get().Section("MenuWnd"));
  // Not offered in this version: the FAQ and the language choice.
  if (QAction* faq = menu_->findChild<QAction*>("item_faq")) faq->setVisible(false);
  languages->menuAction()->setVisible(false);
  if (auto* button = FindControl<QAbstractButton>(content_, "BtnAssist")) {
    menu_->popup(button->mapToGlobal(button->rect().bottomLeft()));
  } else {
    menu_->popup(QCursor::pos());
  }
}

void MainWindow::RequestScan(SourceKind source) {
  QMetaObject::invokeMethod(
      this, [this, source] { StartScan(source); }, Qt::QueuedConnection);
}

void MainWindow::StartScan(SourceKind source) {
  // The device page leaves the device alone while a scan runs.
  devicePage_->PauseTimer();
  scanPage_->StartScan(source);
  if (!scanPage_->Scanning()) devicePage_->ResumeTimer();
}

void MainWindow::OnScanFinished() {
  scanPage_->OnScanFinished();
  devicePage_->ResumeTimer();
}

void MainWindow::OnScanEvent(ScanEvent event) {
  const std::optional<SourceKind> source = scanPage_->CurrentSource();
  const bool device = source == SourceKind::kDevice;
  const bool backup = source == SourceKind::kBackupFolder;
  switch (event) {
    case ScanEvent::kFirstProgress:
      if (device) ShowMainPage(MainPage::kScan);
      if (backup) backupPage_->OnScanEvent(event);
      break;
    case ScanEvent::kWrongPassword:
    case ScanEvent::kBackupRefused:
      // The scan ended without opening its backup.
      devicePage_->ResumeTimer();
      if (backup) backupPage_->OnScanEvent(event);
      break;
    case ScanEvent::kOpenFailed:
      if (device) devicePage_->ShowScanStartError();
      if (backup) backupPage_->ShowOpenFailure(scanPage_->OpenResult());
      break;
  }
}

void MainWindow::LockMainTab(bool locked) {
  if (auto* tabs = FindControl<QWidget>(content_, "MainTabPage"))
    tabs->setAttribute(Qt::WA_TransparentForMouseEvents, locked);
}

void MainWindow::ShowMainPage(MainPage page) {
  if (auto* tabs = FindControl<QStackedWidget>(content_, "MainTabPage"))
    tabs->setCurrentIndex(static_cast<int>(page));
}

void MainWindow::OpenHelpPage(const QString& fileName) {
  const std::filesystem::path folder =
      options_.helpFolder.empty() ? ProgramFolder() / "help" : options_.helpFolder;
  const QUrl url =
      QUrl::fromLocalFile(QString::fromStdString((folder / fileName.toStdString()).string()));
  if (options_.openUrl) {
    options_.openUrl(url);
  } else {
    QDesktopServices::openUrl(url);
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (scanPage_ && scanPage_->CloseQuery() == 2) {
    event->ignore();
    return;
  }
  if (devicePage_) devicePage_->PauseTimer();
  event->accept();
}

}  // namespace kestrio
