#include "scan/scan_backend.h"

#include "backup/backup_store.h"
#include "device/device_session.h"
#include "scan/backup_folder_backend.h"
#include "scan/device_backend.h"

namespace kestrio {

std::unique_ptr<ScanBackend> CreateScanBackend(std::int32_t kind, BackupStore* store) {
  std::unique_ptr<ScanBackend> backend;
  if (kind == static_cast<std::int32_t>(SourceKind::kDevice)) {
    backend = std::make_unique<DeviceBackend>(
        DeviceBackupSession::Instance(), store ? store->Folders() : BackupStoreFolders::Platform());
  } else if (kind == static_cast<std::int32_t>(SourceKind::kBackupFolder)) {
    backend = std::make_unique<BackupFolderBackend>();
  } else {
    return nullptr;
  }
  backend->AttachStore(store);
  return backend;
}

}  // namespace kestrio
