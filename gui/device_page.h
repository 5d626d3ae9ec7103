// The start page for a connected iOS device: whether the device support is installed, a
// prompt to connect a device, or the connected device with its Start Scan button. A timer
// checks the device once a second.
#pragma once

#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

#include "device/device_backup_driver.h"
#include "device/device_watch.h"
#include "gui/page_host.h"
#include "gui/toolkit/notify.h"

class QLabel;
class QStackedWidget;

namespace kestrio {

class DevicePage : public QObject {
  Q_OBJECT
 public:
  // The id of the once-a-second device check.
  static constexpr int kWatchTimer = 101;

  // `supportInstalled` unset: DeviceSupportInstalled() of this computer.
  DevicePage(PageHost& host, QWidget* container, DeviceBackupDriver& device,
             std::function<bool()> supportInstalled = {});

  // Loads the page into the container, shows the first page and starts the device check.
  // False (with the reason in `error`) when the window file is missing or broken.
  bool Init(QString* error = nullptr);
  void ReloadTexts();
  // Tells the user that the scan of the device could not start.
  void ShowScanStartError();
  // The device check stops while a scan runs.
  void PauseTimer();
  void ResumeTimer();
  bool TimerRunning() const;
  // One device check: shows the page the watch decides on.
  void Tick();
  // The page shown (none before Init).
  std::optional<DeviceScreen> CurrentPage() const;
  DeviceWatch& Watch() { return watch_; }
  QWidget* Content() const { return content_; }

 private:
  void OnNotify(const toolkit::Notification& notification);
  void ShowPage(DeviceScreen page);
  void StartScan();

  PageHost& host_;
  QWidget* container_;
  DeviceBackupDriver& device_;
  DeviceWatch watch_;
  QWidget* content_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QLabel* deviceInfo_ = nullptr;
  toolkit::Notifier* notifier_ = nullptr;
};

}  // namespace kestrio
