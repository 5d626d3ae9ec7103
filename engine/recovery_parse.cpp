#include "engine/recovery_parse.h"

#include "backup/device_session.h"
#include "engine/backup_store.h"
#include "engine/device_recovery.h"
#include "engine/local_backup_recovery.h"

namespace kestrio {

std::unique_ptr<IPhoneRecoveryParse> CreateRecoveryParse(std::int32_t kind, BackupStore* store) {
  std::unique_ptr<IPhoneRecoveryParse> backend;
  if (kind == static_cast<std::int32_t>(SourceKind::kDevice)) {
    backend = std::make_unique<CDeviceRecovery>(
        CDeviceBackupSession::Instance(),
        store ? store->Folders() : BackupStoreFolders::Platform());
  } else if (kind == static_cast<std::int32_t>(SourceKind::kBackupFolder)) {
    backend = std::make_unique<CLocalBuckupRecovery>();
  } else {
    return nullptr;
  }
  backend->AttachStore(store);
  return backend;
}

}  // namespace kestrio
