// What a device backup does apart from the device libraries: the device's backup encryption
// switched off for the backup and on again afterwards, Info.plist, the "Backup" request, the
// device-link message loop into the destination, and the clean-up of a failed backup.
//
// The session with a real device (device_session.h) supplies the link and the values read off
// the device; tests supply a scripted device. Every exchange below is a mobilebackup2 message
// followed by the message loop:
//   "ChangePassword"  {TargetIdentifier: udid, OldPassword: p}   encryption off
//                     {TargetIdentifier: udid, NewPassword: p}   encryption on
//   "Backup"          {TargetIdentifier: udid, SourceIdentifier: udid}
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/result.h"
#include "device/device_link.h"

namespace kestrio {

// A udid that can name a folder: not empty, not "." or "..", no "/" or NUL, at most 255 bytes.
bool SafeUdid(const std::string& udid);

class DeviceBackupDriver {
 public:
  // Called during a backup with the whole part of scale * progress / 100; a non-zero answer
  // stops the backup and becomes its result.
  using Progress = std::function<Result(std::int32_t)>;

  virtual ~DeviceBackupDriver() = default;

  // Turns the device's backup encryption off with its current password: 0 at once when it is
  // off, kResultInvalid for a null password or without a connection, else the result of the
  // exchange (minus the device's ErrorCode, for example for a wrong password; the encryption
  // then stays on). After a success the password is kept to switch encryption on again.
  Result DisableEncryption(const char* password);
  // Switches encryption back on with the password it was switched off with: 0 when there was
  // nothing to do or it worked, else the exchange's result (the password is kept for a retry).
  Result RestoreEncryption();
  // Encryption was switched off by us and is not on again (yet, or the switch failed).
  bool EncryptionSwitchedOff() const { return restorePassword_.has_value(); }
  // The result of the last attempt to switch encryption back on; 0 when none failed.
  Result EncryptionRestoreResult() const { return restoreResult_; }

  // A full backup into destination/<udid>. Switches encryption off first when the device
  // encrypts (with `password`) and on again afterwards, whatever the backup's outcome. 0;
  // kResultInvalid without a connection or with a udid that is no plain folder name (nothing is
  // written), or when the destination cannot be created; a library error; minus the device's
  // ErrorCode (its text in ErrorDescription()); -1 when aborted; or the progress callback's
  // non-zero answer. A failed backup has the top level of its folder cleaned. `temporary`: the
  // destination is Kestrio's own scratch folder, whose backup is cleaned at process exit too; a
  // backup into a folder of the user's is kept.
  Result RunBackup(const std::filesystem::path& destination, const char* password,
                   Progress progress, std::int32_t progressScale, bool temporary = false);

  // Connects to the first attached device: 0, or -1 / a library error (left disconnected).
  virtual Result Connect() = 0;
  // Switches encryption back on when a backup left it off, and releases the device.
  virtual void Disconnect() = 0;
  virtual bool Connected() const = 0;
  // A device can be looked up now.
  virtual bool DeviceAttached() = 0;
  // The device's values; empty text when disconnected or unreadable.
  virtual std::string DeviceName() = 0;
  virtual std::string DeviceClass() = 0;
  virtual std::string SystemVersion() = 0;
  virtual const std::string& Udid() const = 0;
  // The device's backups use the hashed layout (two-hex-digit subfolders, Manifest.db).
  virtual bool Version10OrLater() const = 0;
  bool WillEncrypt() const { return willEncrypt_; }

  // destination/<udid> of the last RunBackup; empty before.
  const std::filesystem::path& BackupFolder() const { return backupFolder_; }
  const std::string& ErrorDescription() const { return errorDescription_; }
  // Raise (above 0) to stop a running backup; reset when a message loop starts.
  std::atomic<int>& AbortCounter() { return abort_; }
  // True when no backup is running.
  bool Idle() const { return idle_.load(); }

 protected:
  // The device's mobilebackup2 link; null when disconnected.
  virtual DeviceLink* Link() = 0;
  // Writes Info.plist into the backup folder from values read off the device.
  virtual Result WriteInfoPlist(const std::filesystem::path& backupFolder) = 0;
  // Called after every message loop (the session gives its sync lock back here).
  virtual void LoopEnded() {}

  // Runs the message loop with `base` as the folder of every device path.
  Result RunLoop(const std::filesystem::path& base, Progress progress, std::int32_t scale);
  // Forgets the device's state at a connect or disconnect.
  void ResetDeviceState(bool willEncrypt);
  // At process exit: cleans the top level of the last backup when it went into the temporary
  // backup folder.
  void CleanTemporaryBackup();

 private:
  // Sends "ChangePassword" with one of the two passwords and runs its exchange in a scratch
  // folder (the exchange has no backup folder).
  Result ChangePassword(const char* oldPassword, const char* newPassword);

  bool willEncrypt_ = false;
  std::optional<std::string> restorePassword_;
  Result restoreResult_ = kResultOk;
  std::filesystem::path backupFolder_;
  bool temporaryBackup_ = false;
  std::string errorDescription_;
  std::atomic<int> abort_{0};
  std::atomic<bool> idle_{true};
};

}  // namespace kestrio
