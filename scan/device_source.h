// A connected device as a scan's source: the device first backs itself up into the temporary
// backup folder; the well-known databases are then copied out of that fresh backup under plain
// names, and the operations read those copies and the backup's own index.
//
// Files it makes, all removed again when it is destroyed (and those of an earlier run when it
// is built):
//   <temporary backup folder>/<udid>/...      the device's backup
//   <temporary backup folder>/AddressBook, sms, notes, history, ChatStorage
//   <temporary backup folder>/VelmoraBackupPath/*, <work folder>/tmp.jpg, tmp.avi, tmp.wav
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_store.h"
#include "device/device_backup_driver.h"
#include "scan/scan_source.h"

namespace kestrio {

// The device's progress during its backup is shown as 0..20 of the scan's percent.
inline constexpr std::int32_t kDeviceBackupProgressScale = 20;

class DeviceSource final : public ScanSource {
 public:
  // `driver` makes the backups; the folders come from `folders` (work folder and temporary
  // backup folder only). Creates the work folder and removes what an earlier run left.
  DeviceSource(DeviceBackupDriver& driver, BackupStoreFolders folders);
  // Removes every file it made, the device's backup included.
  ~DeviceSource() override;
  DeviceSource(const DeviceSource&) = delete;
  DeviceSource& operator=(const DeviceSource&) = delete;

  SourceKind Kind() const override { return SourceKind::kDevice; }
  // Backs the device up (encryption switched off with `password` and on again afterwards when
  // the device encrypts) and copies the databases out. Reports 1, the device's own progress
  // within 0..20, then 20. 0; the driver's result (-1 when the backup was aborted, minus the
  // device's error code, 87 without a device or a temporary backup folder); or the progress
  // callback's non-zero answer.
  Result Open(const std::string& password, ProgressSink& progress, FindingsSink* findings) override;
  OpenedBackup& Backup() override { return backup_; }
  const OpenedBackup& Backup() const override { return backup_; }
  // The copy made at Open.
  std::filesystem::path Database(KnownDatabase which) const override;
  // The copy of the shared container's ChatStorage.sqlite, else the documents one.
  std::vector<std::filesystem::path> WhatsAppChatDatabases() const override;
  // Reads the device backup's index again: 87, and nothing to walk, without one.
  Result PrepareWalk() override;
  AppWalkKind AppWalk() const override { return AppWalkKind::kDeviceBackup; }
  const std::filesystem::path& WorkFolder() const override { return folders_.workFolder; }

  // The copy of a database by its plain name ("AddressBook", "sms", "notes", "history",
  // "ChatStorage") in the temporary backup folder.
  std::filesystem::path DatabaseCopy(std::string_view plainName) const;
  const std::filesystem::path& DeviceBackupFolder() const { return backup_.folder; }

 private:
  // The temporary backup folder's own files and the decryption output folder's files, and the
  // preview copies.
  void RemoveTemporaryFiles();
  // Everything inside the device backup folder, "Snapshot" included.
  void RemoveDeviceBackup();

  DeviceBackupDriver& driver_;
  BackupStoreFolders folders_;
  std::filesystem::path temporaryFolder_;  // worked out at Open
  // The device's backup: its folder (set once the device has backed up), layout and index.
  OpenedBackup backup_;
};

}  // namespace kestrio
