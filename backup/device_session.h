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

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/result.h"

namespace kestrio {

class CDeviceBackupSession {
 public:
  // Called during a backup with the whole part of scale * progress / 100; a non-zero answer
  // stops the backup and becomes its result.
  using Progress = std::function<Result(std::int32_t)>;

  // The one session of the process, created on first use; it disconnects at process exit.
  static CDeviceBackupSession& Instance();

  CDeviceBackupSession(const CDeviceBackupSession&) = delete;
  CDeviceBackupSession& operator=(const CDeviceBackupSession&) = delete;

  // Connects to the first attached device, takes its sync lock (when it can be had within 50
  // tries 2 s apart) and fills the value caches. 0; -1 when no device is attached or its
  // notification proxy cannot be started; else the library error of the failing step, with the
  // session left disconnected.
  Result Connect();
  // Gives the sync lock back and releases every client and the device handle.
  void Disconnect();
  bool Connected() const { return device_ != nullptr; }

  // The cached value, or a fresh lockdown read when the cache is empty; empty text when
  // disconnected or unreadable.
  std::string DeviceName();
  std::string DeviceClass();
  std::string SystemVersion();
  // Set by Connect from the ProductVersion major number (above 9, above 11).
  bool Version10OrLater() const { return version10OrLater_; }
  bool Version12OrLater() const { return version12OrLater_; }
  // The device encrypts its backups (lockdown "WillEncrypt" of "com.apple.mobile.backup").
  bool WillEncrypt() const { return willEncrypt_; }
  const std::string& Udid() const { return udid_; }

  // Turns the device's backup encryption off with its current password: 0 at once when it is
  // off, kResultInvalid for a null password or without a connection, else the result of the
  // exchange (minus the device's ErrorCode for a wrong password).
  Result DisableEncryption(const char* password);

  // A full backup into destination/<udid>. 0; kResultInvalid without a connection (nothing is
  // written) or when the destination cannot be created; a library error; minus the device's
  // ErrorCode (its text in ErrorDescription()); -1 when aborted; or the progress callback's
  // non-zero answer. A failed backup has the top level of its folder cleaned.
  Result RunBackup(const std::filesystem::path& destination, const char* password,
                   Progress progress, std::int32_t progressScale);

  // destination/<udid> of the last RunBackup; empty before.
  const std::filesystem::path& BackupFolder() const { return backupFolder_; }
  const std::string& ErrorDescription() const { return errorDescription_; }
  // Raise (above 0) to stop a running backup; reset when a message loop starts.
  std::atomic<int>& AbortCounter() { return abort_; }
  // True when no backup is running.
  bool Idle() const { return idle_.load(); }

 private:
  CDeviceBackupSession() = default;
  ~CDeviceBackupSession();

  static void OnNotification(const char* notification, void* session);
  void Post(const char* notification);
  void ReleaseSyncLock();
  std::string CachedValue(std::string& cache, const char* key);
  std::optional<std::vector<std::uint8_t>> ReadAfcFile(const std::string& path);
  Result RunLoop(const std::filesystem::path& base, Progress progress, std::int32_t scale);

  idevice_t device_ = nullptr;
  std::string udid_;
  lockdownd_client_t lockdown_ = nullptr;
  np_client_t notifications_ = nullptr;
  afc_client_t afc_ = nullptr;
  mobilebackup2_client_t backup_ = nullptr;
  std::uint64_t syncLock_ = 0;  // AFC handle of the lock file while the lock is held
  bool willEncrypt_ = false;
  bool version10OrLater_ = false;
  bool version12OrLater_ = false;
  std::string productVersion_;
  std::string deviceName_;
  std::string deviceClass_;
  std::filesystem::path backupFolder_;
  std::string errorDescription_;
  std::atomic<int> abort_{0};
  std::atomic<bool> idle_{true};
};

}  // namespace kestrio
