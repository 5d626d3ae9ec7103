#include "device/device_watch.h"

#include <thread>

#include "device/device_presence.h"

namespace kestrio {

DeviceWatch::DeviceWatch(DeviceBackupDriver& device, SupportCheck supportInstalled, Sleep sleep)
    : device_(device), supportInstalled_(std::move(supportInstalled)), sleep_(std::move(sleep)) {
  if (!sleep_) sleep_ = [](std::chrono::seconds wait) { std::this_thread::sleep_for(wait); };
}

bool DeviceWatch::Supported() const {
  return supportInstalled_ ? supportInstalled_() : DeviceSupportInstalled();
}

DeviceScreen DeviceWatch::Initial() {
  return page_ = Supported() ? DeviceScreen::kWaiting : DeviceScreen::kSupportMissing;
}

DeviceScreen DeviceWatch::Retry() { return Initial(); }

DeviceScreen DeviceWatch::Tick() {
  if (!Supported()) return page_ = DeviceScreen::kSupportMissing;
  if (device_.Connected() && device_.DeviceAttached()) return page_;

  willEncrypt_ = false;
  ++device_.AbortCounter();
  while (!device_.Idle()) sleep_(std::chrono::seconds(1));
  device_.Disconnect();
  if (device_.Connect() != kResultOk) return page_ = DeviceScreen::kWaiting;
  willEncrypt_ = device_.WillEncrypt();
  everConnected_ = true;
  summary_ =
      DeviceSummaryText(device_.DeviceName(), device_.DeviceClass(), device_.SystemVersion());
  return page_ = DeviceScreen::kConnected;
}

}  // namespace kestrio
