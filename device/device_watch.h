// What the device page shows, decided once a second: whether the device support is installed,
// whether a device is connected, and the connected device's one-line summary. The page's window
// only shows the page this returns.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "device/device_backup_driver.h"

namespace kestrio {

enum class DeviceScreen {
  kSupportMissing = 0,  // usbmuxd is not installed
  kWaiting = 1,         // no device (yet)
  kConnected = 2,       // a device is connected and described
};

class DeviceWatch {
 public:
  using SupportCheck = std::function<bool()>;
  using Sleep = std::function<void(std::chrono::seconds)>;

  // `supportInstalled` unset: DeviceSupportInstalled() of this computer. `sleep` unset: the
  // thread sleeps.
  explicit DeviceWatch(DeviceBackupDriver& device, SupportCheck supportInstalled = {},
                       Sleep sleep = {});

  // The page to show first: waiting when the support is installed, else support missing.
  DeviceScreen Initial();
  // The once-a-second check. With the support missing: support missing. With the device still
  // there: the page stays. Otherwise a reconnect: a running backup is stopped (abort counter,
  // then a wait in 1 s steps until the session is idle), the session is torn down and connected
  // afresh; waiting when that fails, connected (with a new summary) when it works.
  DeviceScreen Tick();
  // The retry button: the support check again; waiting or support missing.
  DeviceScreen Retry();

  DeviceScreen Page() const { return page_; }
  // name + "(" + class + (" " + version when known) + ")".
  const std::string& Summary() const { return summary_; }
  // The device's backup-encryption flag as seen at the last reconnect.
  bool WillEncrypt() const { return willEncrypt_; }
  // A device has been connected and described at least once.
  bool EverConnected() const { return everConnected_; }
  DeviceBackupDriver& Device() { return device_; }

 private:
  bool Supported() const;

  DeviceBackupDriver& device_;
  SupportCheck supportInstalled_;
  Sleep sleep_;
  DeviceScreen page_ = DeviceScreen::kWaiting;
  std::string summary_;
  bool willEncrypt_ = false;
  bool everConnected_ = false;
};

}  // namespace kestrio
