// A device backup driver over a scripted device, and the conversation a device holds when it
// backs up a given folder's files.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "device/device_backup_driver.h"
#include "device/device_info_plist.h"
#include "tests/device/fake_device.h"
#include "tests/support/files.h"

namespace kestrio::testing {

class FakeDeviceDriver : public DeviceBackupDriver {
 public:
  FakeDeviceDriver(std::string udid, bool willEncrypt, bool version10 = true)
      : udid_(std::move(udid)), version10_(version10) {
    ResetDeviceState(willEncrypt);
    info.udid = udid_;
    info.unixTime = 1700000000;
    DeviceLockdownValues values;
    values.deviceName = "Test iPhone";
    values.productVersion = version10 ? "12.4" : "9.3.2";
    values.productType = "iPhone10,4";
    values.serialNumber = "F2LTESTSERIAL";
    info.lockdown = values;
  }

  Result Connect() override {
    ++connects;
    connected = connectResult == kResultOk && attached;
    if (connected) ResetDeviceState(willEncryptOnConnect);
    return connected ? kResultOk : (connectResult == kResultOk ? -1 : connectResult);
  }
  void Disconnect() override {
    if (connected && EncryptionSwitchedOff()) RestoreEncryption();
    connected = false;
  }
  bool Connected() const override { return connected; }
  bool DeviceAttached() override { return attached; }
  std::string DeviceName() override { return connected ? name : ""; }
  std::string DeviceClass() override { return connected ? deviceClass : ""; }
  std::string SystemVersion() override { return connected ? version : ""; }
  const std::string& Udid() const override { return udid_; }
  bool Version10OrLater() const override { return version10_; }

  FakeDevice device;
  bool connected = true;
  // What a (re)connect finds.
  bool attached = true;
  Result connectResult = kResultOk;
  bool willEncryptOnConnect = false;
  int connects = 0;
  std::string name = "Test iPhone";
  std::string deviceClass = "iPhone";
  std::string version = "12.4";
  DeviceInfoInputs info;
  int infoWrites = 0;
  int loopsEnded = 0;

 protected:
  DeviceLink* Link() override { return connected ? &device : nullptr; }
  Result WriteInfoPlist(const std::filesystem::path& backupFolder) override {
    ++infoWrites;
    return WriteDeviceInfoPlist(backupFolder, info);
  }
  void LoopEnded() override { ++loopsEnded; }

 private:
  std::string udid_;
  bool version10_;
};

// The end of an exchange: the device's verdict (ErrorCode 0 is success).
inline void Verdict(FakeDevice& device, std::uint64_t errorCode, const std::string& text = "") {
  plist_t payload = Dict({{"ErrorCode", plist_new_uint(errorCode)}});
  if (!text.empty()) plist_dict_set_item(payload, "ErrorDescription", Str(text));
  device.Message("DLMessageProcessMessage", Msg("DLMessageProcessMessage", {payload}));
}

// Scripts the backup a device makes of the files of `content` (a backup folder): it asks for the
// free space and the listing of its folder, creates the hashed subfolders, uploads the stored
// files in batches (several blocks for larger files, with rising progress), sends the index
// files into "Snapshot" and moves them up over anything there, removes "Snapshot" and ends with
// success. Info.plist is the computer's and is not sent.
inline void ScriptBackupOf(FakeDevice& device, const std::filesystem::path& content,
                           const std::string& udid, std::size_t batchSize = 8) {
  namespace fs = std::filesystem;
  device.Message("DLMessageGetFreeDiskSpace", Msg("DLMessageGetFreeDiskSpace"));
  device.Message("DLContentsOfDirectory", Msg("DLContentsOfDirectory", {Str(udid)}));
  std::vector<fs::path> stored;
  std::vector<fs::path> top;
  for (const auto& entry : fs::recursive_directory_iterator(content)) {
    if (!entry.is_regular_file()) continue;
    const fs::path relative = fs::relative(entry.path(), content);
    if (relative == "Info.plist") continue;
    (relative.has_parent_path() ? stored : top).push_back(relative);
  }
  std::sort(stored.begin(), stored.end());
  std::sort(top.begin(), top.end());
  std::vector<std::string> folders;
  for (const fs::path& file : stored) {
    const std::string folder = udid + "/" + file.parent_path().string();
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
      device.Message("DLMessageCreateDirectory", Msg("DLMessageCreateDirectory", {Str(folder)}));
    }
  }
  const auto upload = [&](const std::vector<fs::path>& files, const std::string& prefix,
                          double progress) {
    device.Message("DLMessageUploadFiles",
                   Msg("DLMessageUploadFiles", {Dict({}), plist_new_real(progress)}));
    Upload stream;
    for (const fs::path& file : files) {
      const std::vector<std::uint8_t> bytes = ReadBytes(content / file);
      stream.File(prefix + file.string());
      for (std::size_t off = 0; off < bytes.size(); off += 20000) {
        const std::size_t n = std::min<std::size_t>(20000, bytes.size() - off);
        stream.Data(std::string(bytes.begin() + static_cast<std::ptrdiff_t>(off),
                                bytes.begin() + static_cast<std::ptrdiff_t>(off + n)));
      }
      stream.EndFile();
    }
    stream.End();
    device.Raw(stream.bytes);
  };
  for (std::size_t i = 0; i < stored.size(); i += batchSize) {
    const std::vector<fs::path> batch(
        stored.begin() + static_cast<std::ptrdiff_t>(i),
        stored.begin() + static_cast<std::ptrdiff_t>(std::min(stored.size(), i + batchSize)));
    upload(batch, udid + "/",
           90.0 * static_cast<double>(i + batch.size()) / static_cast<double>(stored.size()));
  }
  device.Message("DLMessageCreateDirectory",
                 Msg("DLMessageCreateDirectory", {Str(udid + "/Snapshot")}));
  upload(top, udid + "/Snapshot/", 95);
  plist_t moves = plist_new_dict();
  for (const fs::path& file : top) {
    plist_dict_set_item(moves, (udid + "/Snapshot/" + file.string()).c_str(),
                        Str(udid + "/" + file.string()));
  }
  device.Message("DLMessageMoveItems",
                 Msg("DLMessageMoveItems", {moves, Dict({}), plist_new_real(98)}));
  device.Message(
      "DLMessageRemoveItems",
      Msg("DLMessageRemoveItems", {Strings({udid + "/Snapshot"}), Dict({}), plist_new_real(99)}));
  Verdict(device, 0);
}

}  // namespace kestrio::testing
