#include "device/device_backup_driver.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "device/device_backup_folder.h"
#include "device/device_message_loop.h"

namespace kestrio {

namespace fs = std::filesystem;

namespace {

// Sets `idle` for the lifetime of a backup.
class BusyScope {
 public:
  explicit BusyScope(std::atomic<bool>& idle) : idle_(idle) { idle_ = false; }
  ~BusyScope() { idle_ = true; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  std::atomic<bool>& idle_;
};

}  // namespace

bool SafeUdid(const std::string& udid) {
  return !udid.empty() && udid != "." && udid != ".." && udid.size() <= 255 &&
         udid.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

void DeviceBackupDriver::ResetDeviceState(bool willEncrypt) {
  willEncrypt_ = willEncrypt;
  restorePassword_.reset();
  restoreResult_ = kResultOk;
}

Result DeviceBackupDriver::RunLoop(const fs::path& base, Progress progress, std::int32_t scale) {
  DeviceLink* link = Link();
  if (!link) return kResultInvalid;
  LoopState state(abort_);
  state.progress = std::move(progress);
  state.progressScale = scale;
  const Result result = RunMessageLoop(*link, base, state);
  if (!state.errorDescription.empty()) errorDescription_ = state.errorDescription;
  LoopEnded();
  return result;
}

Result DeviceBackupDriver::ChangePassword(const char* oldPassword, const char* newPassword) {
  DeviceLink* link = Link();
  if (!link) return kResultInvalid;
  PlistPtr options(plist_new_dict());
  plist_dict_set_item(options.get(), "TargetIdentifier", plist_new_string(Udid().c_str()));
  if (oldPassword) plist_dict_set_item(options.get(), "OldPassword", plist_new_string(oldPassword));
  if (newPassword) plist_dict_set_item(options.get(), "NewPassword", plist_new_string(newPassword));
  if (!link->SendMessage("ChangePassword", options.get())) return kResultInvalid;
  // An empty private folder takes whatever file request the exchange makes.
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) return SystemResult(ec.value());
  base /= "kestrio-device-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  if (!fs::create_directory(base, ec)) return SystemResult(ec ? ec.value() : EEXIST);
  const Result result = RunLoop(base, nullptr, 0);
  fs::remove_all(base, ec);
  return result;
}

Result DeviceBackupDriver::DisableEncryption(const char* password) {
  if (!willEncrypt_) return kResultOk;
  if (!password || !Link()) return kResultInvalid;
  // No "NewPassword": the device turns backup encryption off.
  const Result result = ChangePassword(password, nullptr);
  if (result != kResultOk) return result;
  willEncrypt_ = false;
  restorePassword_ = password;
  restoreResult_ = kResultOk;
  return kResultOk;
}

Result DeviceBackupDriver::RestoreEncryption() {
  if (!restorePassword_) return kResultOk;
  if (!Link()) return restoreResult_ = kResultInvalid;
  // No "OldPassword": the device has none, and takes the new one.
  restoreResult_ = ChangePassword(nullptr, restorePassword_->c_str());
  if (restoreResult_ == kResultOk) {
    restorePassword_.reset();
    willEncrypt_ = true;
  }
  return restoreResult_;
}

Result DeviceBackupDriver::RunBackup(const fs::path& destination, const char* password,
                                     Progress progress, std::int32_t progressScale,
                                     bool temporary) {
  DeviceLink* link = Link();
  // The udid names the backup folder: it must be one plain folder name.
  if (!link || !Connected() || !SafeUdid(Udid())) return kResultInvalid;
  errorDescription_.clear();
  BusyScope busy(idle_);
  std::error_code ec;
  fs::create_directories(destination, ec);
  if (willEncrypt_) {
    if (const Result result = DisableEncryption(password); result != kResultOk) return result;
  }
  const Result result = [&] {
    backupFolder_ = destination / Udid();
    temporaryBackup_ = temporary;
    if (!fs::is_directory(destination, ec)) return kResultInvalid;
    fs::create_directory(backupFolder_, ec);
    if (const Result written = WriteInfoPlist(backupFolder_); written != kResultOk) return written;
    PlistPtr request(plist_new_dict());
    plist_dict_set_item(request.get(), "TargetIdentifier", plist_new_string(Udid().c_str()));
    plist_dict_set_item(request.get(), "SourceIdentifier", plist_new_string(Udid().c_str()));
    if (!link->SendMessage("Backup", request.get())) return kResultInvalid;
    // The device names its files by paths that begin with the udid folder.
    Result loop = RunLoop(destination, std::move(progress), progressScale);
    if (loop != kResultOk) CleanFailedBackupFolder(backupFolder_);
    return loop;
  }();
  // A phone whose backups were encrypted must not be left without: switched on again even
  // when the backup failed. The caller reads EncryptionRestoreResult() to tell the user.
  RestoreEncryption();
  return result;
}

void DeviceBackupDriver::CleanTemporaryBackup() {
  if (temporaryBackup_ && !backupFolder_.empty()) CleanFailedBackupFolder(backupFolder_);
}

}  // namespace kestrio
