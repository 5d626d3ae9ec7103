// The process-wide session with one USB-connected iOS device: connection through usbmuxd and
// lockdownd, the device's sync lock, its cached values for the device page and report titles,
// and full backups over the mobilebackup2 service into a folder on this computer.
//
// Threads: the device page calls Connect, Disconnect and the value getters on the window's
// thread; RunBackup runs on the scan worker. They meet only through the abort counter (raised
// by the page, by the device's cancel notification on the library's notification thread and by
// the message loop) and the idle flag; the page waits for Idle() before it disconnects.
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/mobilebackup2.h>
#include <libimobiledevice/notification_proxy.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "device/device_backup_driver.h"

namespace kestrio {

class DeviceBackupSession final : public DeviceBackupDriver {
 public:
  // The one session of the process, created on first use; it disconnects at process exit.
  static DeviceBackupSession& Instance();

  DeviceBackupSession(const DeviceBackupSession&) = delete;
  DeviceBackupSession& operator=(const DeviceBackupSession&) = delete;

  // Connects to the first attached device, takes its sync lock (when it can be had within 50
  // tries 2 s apart) and fills the value caches. 0; -1 when no device is attached or its
  // notification proxy cannot be started; else the library error of the failing step, with the
  // session left disconnected.
  Result Connect() override;
  // Switches backup encryption back on when a backup left it off, gives the sync lock back and
  // releases every client and the device handle.
  void Disconnect() override;
  bool Connected() const override { return device_ != nullptr; }
  // A device can be looked up now (the session's own device, when connected).
  bool DeviceAttached() override;

  // The cached value, or a fresh lockdown read when the cache is empty; empty text when
  // disconnected or unreadable.
  std::string DeviceName() override;
  std::string DeviceClass() override;
  std::string SystemVersion() override;
  // Set by Connect from the ProductVersion major number (above 9, above 11).
  bool Version10OrLater() const override { return version10OrLater_; }
  bool Version12OrLater() const { return version12OrLater_; }
  const std::string& Udid() const override { return udid_; }

 protected:
  DeviceLink* Link() override { return link_.get(); }
  Result WriteInfoPlist(const std::filesystem::path& backupFolder) override;
  void LoopEnded() override { ReleaseSyncLock(); }

 private:
  DeviceBackupSession() = default;
  ~DeviceBackupSession() override;

  static void OnNotification(const char* notification, void* session);
  void Post(const char* notification);
  void ReleaseSyncLock();
  std::string CachedValue(std::string& cache, const char* key);
  std::optional<std::vector<std::uint8_t>> ReadAfcFile(const std::string& path);

  idevice_t device_ = nullptr;
  std::string udid_;
  lockdownd_client_t lockdown_ = nullptr;
  np_client_t notifications_ = nullptr;
  afc_client_t afc_ = nullptr;
  mobilebackup2_client_t backup_ = nullptr;
  std::unique_ptr<DeviceLink> link_;  // over backup_
  std::uint64_t syncLock_ = 0;        // AFC handle of the lock file while the lock is held
  bool version10OrLater_ = false;
  bool version12OrLater_ = false;
  std::string productVersion_;
  std::string deviceName_;
  std::string deviceClass_;
};

}  // namespace kestrio
