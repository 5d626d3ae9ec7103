#include "gui/device_page.h"

#include <QLabel>
#include <QStackedWidget>

#include "base/settings.h"
#include "device/encryption_switch.h"
#include "gui/decryption_dialog.h"
#include "gui/message_box.h"
#include "gui/toolkit/skin.h"
#include "gui/toolkit/texts.h"

namespace kestrio {
namespace {

constexpr char kSection[] = "PageIosDevice";
constexpr int kWatchPeriodMs = 1000;

}  // namespace

DevicePage::DevicePage(PageHost& host, QWidget* container, DeviceBackupDriver& device,
                       std::function<bool()> supportInstalled)
    : QObject(container),
      host_(host),
      container_(container),
      device_(device),
      watch_(device, std::move(supportInstalled)) {}

bool DevicePage::Init(QString* error) {
  content_ = toolkit::LoadSkin(kSection, container_, error);
  if (!content_) return false;
  pages_ = toolkit::FindControl<QStackedWidget>(content_, "TabIosDevice");
  deviceInfo_ = toolkit::FindControl<QLabel>(content_, "IphoneInfo");
  ReloadTexts();
  notifier_ = new toolkit::Notifier(
      content_, [this](const toolkit::Notification& notification) { OnNotify(notification); });
  ShowPage(watch_.Initial());
  ResumeTimer();
  return true;
}

void DevicePage::ReloadTexts() { toolkit::ApplyTexts(content_, Settings::Get().Section(kSection)); }

void DevicePage::ShowPage(DeviceScreen page) {
  if (pages_) pages_->setCurrentIndex(static_cast<int>(page));
}

std::optional<DeviceScreen> DevicePage::CurrentPage() const {
  if (!pages_ || pages_->currentIndex() < 0) return std::nullopt;
  return static_cast<DeviceScreen>(pages_->currentIndex());
}

void DevicePage::Tick() {
  const DeviceScreen page = watch_.Tick();
  ShowPage(page);
  if (page == DeviceScreen::kConnected && deviceInfo_)
    deviceInfo_->setText(toolkit::Qs(watch_.Summary()));
}

void DevicePage::PauseTimer() {
  if (notifier_) notifier_->StopTimer(kWatchTimer);
}

void DevicePage::ResumeTimer() {
  if (notifier_) notifier_->StartTimer(pages_, kWatchTimer, kWatchPeriodMs);
}

bool DevicePage::TimerRunning() const { return notifier_ && notifier_->TimerActive(kWatchTimer); }

void DevicePage::OnNotify(const toolkit::Notification& notification) {
  if (notification.type == "timer") {
    if (notification.index == kWatchTimer) Tick();
    return;
  }
  if (notification.type != "click") return;
  if (notification.name == "BtnDeviceScan") {
    StartScan();
  } else if (notification.name == "BtnAppleUrl") {
    host_.OpenHelpPage("usbmuxd.html");
  } else if (notification.name == "BtnItunesRetry") {
    ShowPage(watch_.Retry());
  }
}

void DevicePage::StartScan() {
  if (watch_.WillEncrypt()) {
    QString password;
    if (AskPassword(host_.Window(), DecryptionDialog::Mode::kDevice, password) != 1) return;
    const std::string typed = password.toStdString();
    // The device's backup switches the encryption on again once it is done; the scan page
    // finishes the switch at the scan's end.
    auto encryption = std::make_unique<EncryptionSwitch>(device_);
    if (encryption->SwitchOff(typed) != kResultOk) {
      MessageBox::Show(MessageBoxKind::kInformation, host_.Window(), "",
                       toolkit::MessageText("MSG0302"), 550, 200);
      return;
    }
    host_.ScanPassword() = typed;
    host_.DeviceEncryption() = std::move(encryption);
  } else {
    // A password typed for an earlier scan is not this device's.
    host_.ScanPassword().clear();
  }
  host_.RequestScan(SourceKind::kDevice);
}

void DevicePage::ShowScanStartError() {
  QString text = toolkit::MessageText("MSG0201");
  text.replace("\\n", "\n");
  MessageBox::Show(MessageBoxKind::kError, host_.Window(), "Error", text, 600, 200);
}

}  // namespace kestrio
