#include "device/device_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "backup/plist_text.h"
#include "base/log.h"
#include "device/device_backup_folder.h"
#include "device/device_info_plist.h"
#include "device/device_link.h"
#include "device/device_message_loop.h"

namespace kestrio {

namespace fs = std::filesystem;

namespace {

constexpr char kLabel[] = "idevicebackup2";
constexpr char kSyncLockFile[] = "/com.apple.itunes.lock_sync";
constexpr char kCancelRequest[] = "com.apple.itunes-client.syncCancelRequest";
constexpr int kSyncLockTries = 50;
constexpr std::chrono::seconds kSyncLockWait{2};
// Most bytes read from one device file for Info.plist; a larger file is left out.
constexpr std::size_t kMaxAfcFileSize = 64u << 20;

bool DeviceCanBeFound(const std::string& udid) {
  idevice_t device = nullptr;
  if (idevice_new_with_options(&device, udid.empty() ? nullptr : udid.c_str(),
                               IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS ||
      !device)
    return false;
  idevice_free(device);
  return true;
}

// The mobilebackup2 client as the message loop's device.
class MobileBackup2Link : public DeviceLink {
 public:
  MobileBackup2Link(mobilebackup2_client_t client, std::string udid)
      : client_(client), udid_(std::move(udid)) {}

  // The library waits for a message up to its own receive timeout.
  bool ReceiveMessage(std::string& name, PlistPtr& message) override {
    plist_t received = nullptr;
    char* messageName = nullptr;
    mobilebackup2_error_t error = mobilebackup2_receive_message(client_, &received, &messageName);
    PlistPtr owned(received);
    std::string text = messageName ? messageName : "";
    std::free(messageName);
    if (error != MOBILEBACKUP2_E_SUCCESS || !owned) return false;
    name = std::move(text);
    message = std::move(owned);
    return true;
  }
  bool SendRaw(std::span<const std::uint8_t> bytes) override {
    while (!bytes.empty()) {
      auto length = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), UINT32_MAX));
      std::uint32_t sent = 0;
      if (mobilebackup2_send_raw(client_, reinterpret_cast<const char*>(bytes.data()), length,
                                 &sent) != MOBILEBACKUP2_E_SUCCESS ||
          sent == 0)
        return false;
      bytes = bytes.subspan(std::min<std::size_t>(sent, bytes.size()));
    }
    return true;
  }
  std::size_t ReceiveRaw(std::span<std::uint8_t> buffer) override {
    auto length = static_cast<std::uint32_t>(std::min<std::size_t>(buffer.size(), UINT32_MAX));
    std::uint32_t received = 0;
    if (mobilebackup2_receive_raw(client_, reinterpret_cast<char*>(buffer.data()), length,
                                  &received) != MOBILEBACKUP2_E_SUCCESS)
      return 0;
    return std::min<std::size_t>(received, buffer.size());
  }
  // The library copies `value` into its message.
  bool SendStatus(std::int32_t code, const std::string& text, plist_t value) override {
    return mobilebackup2_send_status_response(client_, code, text.empty() ? nullptr : text.c_str(),
                                              value) == MOBILEBACKUP2_E_SUCCESS;
  }
  bool SendMessage(const std::string& name, plist_t options) override {
    return mobilebackup2_send_message(client_, name.c_str(), options) == MOBILEBACKUP2_E_SUCCESS;
  }
  bool DeviceAttached() override { return DeviceCanBeFound(udid_); }
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }

 private:
  mobilebackup2_client_t client_;
  std::string udid_;
};

PlistPtr LockdownValue(lockdownd_client_t lockdown, const char* domain, const char* key) {
  plist_t value = nullptr;
  if (!lockdown || lockdownd_get_value(lockdown, domain, key, &value) != LOCKDOWN_E_SUCCESS) {
    if (value) plist_free(value);
    return PlistPtr(nullptr);
  }
  return PlistPtr(value);
}

}  // namespace

DeviceBackupSession& DeviceBackupSession::Instance() {
  static DeviceBackupSession session;
  return session;
}

DeviceBackupSession::~DeviceBackupSession() {
  CleanTemporaryBackup();
  Disconnect();
}

bool DeviceBackupSession::DeviceAttached() { return DeviceCanBeFound(Connected() ? udid_ : ""); }

void DeviceBackupSession::OnNotification(const char* notification, void* session) {
  // Suspend, resume, host attached and detached are observed and otherwise ignored.
  if (notification && std::string_view(notification) == kCancelRequest)
    ++static_cast<DeviceBackupSession*>(session)->AbortCounter();
}

void DeviceBackupSession::Post(const char* notification) {
  np_client_t client = nullptr;
  if (!device_ || np_client_start_service(device_, &client, kLabel) != NP_E_SUCCESS) return;
  np_post_notification(client, notification);
  np_client_free(client);
}

void DeviceBackupSession::ReleaseSyncLock() {
  if (syncLock_ == 0) return;
  if (afc_) {
    afc_file_lock(afc_, syncLock_, AFC_LOCK_UN);
    afc_file_close(afc_, syncLock_);
  }
  syncLock_ = 0;
  Post("com.apple.itunes-mobdev.syncDidFinish");
}

Result DeviceBackupSession::Connect() {
  Disconnect();
  idevice_t device = nullptr;
  if (idevice_new_with_options(&device, nullptr, IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS ||
      !device)
    return -1;
  device_ = device;
  char* udid = nullptr;
  if (idevice_get_udid(device_, &udid) == IDEVICE_E_SUCCESS && udid) udid_ = udid;
  std::free(udid);

  // Every failure below leaves the session disconnected.
  auto fail = [this](Result result) {
    Disconnect();
    return result;
  };

  lockdownd_error_t lockdownError =
      lockdownd_client_new_with_handshake(device_, &lockdown_, kLabel);
  if (lockdownError != LOCKDOWN_E_SUCCESS) {
    lockdown_ = nullptr;
    return fail(lockdownError);
  }

  lockdownd_service_descriptor_t service = nullptr;
  if (lockdownd_start_service(lockdown_, NP_SERVICE_NAME, &service) != LOCKDOWN_E_SUCCESS ||
      !service || service->port == 0) {
    if (service) lockdownd_service_descriptor_free(service);
    LogLine(std::string("Could not start service ") + NP_SERVICE_NAME);
    return fail(-1);
  }
  np_error_t npError = np_client_new(device_, service, &notifications_);
  lockdownd_service_descriptor_free(service);
  if (npError != NP_E_SUCCESS) {
    notifications_ = nullptr;
    return fail(npError);
  }
  np_set_notify_callback(notifications_, &DeviceBackupSession::OnNotification, this);
  const char* observed[] = {kCancelRequest,
                            "com.apple.itunes-client.syncSuspendRequest",
                            "com.apple.itunes-client.syncResumeRequest",
                            "com.apple.mobile.lockdown.host_attached",
                            "com.apple.mobile.lockdown.host_detached",
                            nullptr};
  np_observe_notifications(notifications_, observed);

  // Without AFC the backup still runs; Info.plist then lacks the device's files.
  service = nullptr;
  if (lockdownd_start_service(lockdown_, AFC_SERVICE_NAME, &service) == LOCKDOWN_E_SUCCESS &&
      service && service->port != 0) {
    if (afc_client_new(device_, service, &afc_) != AFC_E_SUCCESS) afc_ = nullptr;
  }
  if (service) lockdownd_service_descriptor_free(service);

  service = nullptr;
  lockdownError =
      lockdownd_start_service_with_escrow_bag(lockdown_, MOBILEBACKUP2_SERVICE_NAME, &service);
  if (lockdownError != LOCKDOWN_E_SUCCESS) {
    if (service) lockdownd_service_descriptor_free(service);
    service = nullptr;
    lockdownError = lockdownd_start_service(lockdown_, MOBILEBACKUP2_SERVICE_NAME, &service);
  }
  if (lockdownError != LOCKDOWN_E_SUCCESS || !service) {
    if (service) lockdownd_service_descriptor_free(service);
    return fail(lockdownError != LOCKDOWN_E_SUCCESS ? lockdownError : -1);
  }
  mobilebackup2_error_t backupError = mobilebackup2_client_new(device_, service, &backup_);
  lockdownd_service_descriptor_free(service);
  if (backupError != MOBILEBACKUP2_E_SUCCESS) {
    backup_ = nullptr;
    return fail(backupError);
  }
  double versions[] = {2.0, 2.1};
  double remoteVersion = 0;
  backupError = mobilebackup2_version_exchange(backup_, versions, 2, &remoteVersion);
  if (backupError != MOBILEBACKUP2_E_SUCCESS) return fail(backupError);

  Post("com.apple.itunes-mobdev.syncWillStart");
  std::uint64_t lock = 0;
  if (afc_ && afc_file_open(afc_, kSyncLockFile, AFC_FOPEN_RW, &lock) == AFC_E_SUCCESS &&
      lock != 0) {
    Post("com.apple.itunes-mobdev.syncLockRequest");
    bool held = false;
    for (int attempt = 0; attempt < kSyncLockTries && !held; ++attempt) {
      // AFC_LOCK_EX carries the non-blocking flag.
      afc_error_t afcError = afc_file_lock(afc_, lock, AFC_LOCK_EX);
      if (afcError == AFC_E_SUCCESS) {
        held = true;
        Post("com.apple.itunes-mobdev.syncDidStart");
      } else if (afcError == AFC_E_OP_WOULD_BLOCK) {
        std::this_thread::sleep_for(kSyncLockWait);
      } else {
        afc_file_close(afc_, lock);
        return fail(afcError);
      }
    }
    // Without the lock the backup goes on; the file is not kept open.
    if (held)
      syncLock_ = lock;
    else
      afc_file_close(afc_, lock);
  }

  link_ = std::make_unique<MobileBackup2Link>(backup_, udid_);
  PlistPtr encrypt = LockdownValue(lockdown_, "com.apple.mobile.backup", "WillEncrypt");
  std::uint8_t willEncrypt = 0;
  if (encrypt && plist_get_node_type(encrypt.get()) == PLIST_BOOLEAN)
    plist_get_bool_val(encrypt.get(), &willEncrypt);
  ResetDeviceState(willEncrypt != 0);

  int major = std::atoi(CachedValue(productVersion_, "ProductVersion").c_str());
  version10OrLater_ = major > 9;
  version12OrLater_ = major > 11;
  CachedValue(deviceName_, "DeviceName");
  CachedValue(deviceClass_, "DeviceClass");
  return kResultOk;
}

void DeviceBackupSession::Disconnect() {
  if (link_ && EncryptionSwitchedOff()) RestoreEncryption();
  link_.reset();
  if (lockdown_) lockdownd_client_free(lockdown_);
  lockdown_ = nullptr;
  ReleaseSyncLock();
  if (notifications_) np_client_free(notifications_);
  notifications_ = nullptr;
  if (backup_) mobilebackup2_client_free(backup_);
  backup_ = nullptr;
  if (afc_) afc_client_free(afc_);
  afc_ = nullptr;
  if (device_) idevice_free(device_);
  device_ = nullptr;
  udid_.clear();
  ResetDeviceState(false);
  version10OrLater_ = version12OrLater_ = false;
  productVersion_.clear();
  deviceName_.clear();
  deviceClass_.clear();
}

std::string DeviceBackupSession::CachedValue(std::string& cache, const char* key) {
  if (!cache.empty() || !lockdown_) return cache;
  PlistPtr value = LockdownValue(lockdown_, nullptr, key);
  if (auto text = PlistText(value.get())) cache = std::move(*text);
  return cache;
}

std::string DeviceBackupSession::DeviceName() { return CachedValue(deviceName_, "DeviceName"); }
std::string DeviceBackupSession::DeviceClass() { return CachedValue(deviceClass_, "DeviceClass"); }
std::string DeviceBackupSession::SystemVersion() {
  return CachedValue(productVersion_, "ProductVersion");
}

std::optional<std::vector<std::uint8_t>> DeviceBackupSession::ReadAfcFile(const std::string& path) {
  std::uint64_t handle = 0;
  if (!afc_ || afc_file_open(afc_, path.c_str(), AFC_FOPEN_RDONLY, &handle) != AFC_E_SUCCESS)
    return std::nullopt;
  std::vector<std::uint8_t> contents;
  std::vector<char> block(kDeviceBlockSize);
  bool ok = true;
  for (;;) {
    std::uint32_t read = 0;
    if (afc_file_read(afc_, handle, block.data(), static_cast<std::uint32_t>(block.size()),
                      &read) != AFC_E_SUCCESS ||
        contents.size() + read > kMaxAfcFileSize) {
      ok = false;
      break;
    }
    if (read == 0) break;
    read = std::min<std::uint32_t>(read, static_cast<std::uint32_t>(block.size()));
    contents.insert(contents.end(), block.begin(), block.begin() + read);
  }
  afc_file_close(afc_, handle);
  if (!ok) return std::nullopt;
  return contents;
}

Result DeviceBackupSession::WriteInfoPlist(const fs::path& backupFolder) {
  DeviceInfoInputs inputs;
  PlistPtr values = LockdownValue(lockdown_, nullptr, nullptr);
  inputs.lockdown = LockdownValuesFromPlist(values.get());
  inputs.udid = udid_;
  inputs.unixTime = static_cast<std::int64_t>(std::time(nullptr));
  inputs.iBooksData = ReadAfcFile("/Books/iBooksData2.plist");
  for (std::string_view name : kITunesFileNames) {
    std::string fileName(name);
    if (auto contents = ReadAfcFile("/iTunes_Control/iTunes/" + fileName))
      inputs.iTunesFiles.emplace_back(fileName, std::move(*contents));
  }
  PlistPtr settings = LockdownValue(lockdown_, "com.apple.iTunes", nullptr);
  inputs.iTunesSettings = settings.get();
  return WriteDeviceInfoPlist(backupFolder, inputs);
}

}  // namespace kestrio
