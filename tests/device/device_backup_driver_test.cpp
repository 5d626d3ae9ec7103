// A device backup over a scripted device: the encryption exchanges around the backup, Info.plist,
// the request, the clean-up of a failed backup.
#include "device/device_backup_driver.h"
#include "device/encryption_switch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
using testing::FakeDeviceDriver;
using testing::Verdict;

constexpr char kUdid[] = "00008030-000A1B2C3D4E";

std::string Text(plist_t dict, const char* key) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  char* text = nullptr;
  if (node && plist_get_node_type(node) == PLIST_STRING) plist_get_string_val(node, &text);
  std::string value = text ? text : "";
  std::free(text);
  return value;
}
bool Has(plist_t dict, const char* key) { return dict && plist_dict_get_item(dict, key); }

// A small backup: one upload of two files, then success.
void ScriptSmallBackup(testing::FakeDevice& device) {
  device.Message(
      "DLMessageCreateDirectory",
      testing::Msg("DLMessageCreateDirectory", {testing::Str(std::string(kUdid) + "/3d")}));
  device.Message("DLMessageUploadFiles", testing::Msg("DLMessageUploadFiles", {testing::Dict({})}));
  device.Raw(testing::Upload()
                 .File(std::string(kUdid) + "/3d/3d0d7e5fb2ce288813306e4d4636395e047a3d28")
                 .Data("sms bytes")
                 .EndFile()
                 .File(std::string(kUdid) + "/Manifest.db")
                 .Data("index")
                 .EndFile()
                 .End()
                 .bytes);
  Verdict(device, 0);
}

class DeviceBackup : public ::testing::Test {
 protected:
  Result Backup(FakeDeviceDriver& driver, const char* password = "pw") {
    return driver.RunBackup(dir_ / "dest", password, nullptr, 20);
  }
  fs::path Folder() const { return dir_ / "dest" / kUdid; }

  fixtures::TempDir dir_;
};

TEST_F(DeviceBackup, EncryptingDeviceIsSwitchedOffForTheBackupAndOnAgainAfterwards) {
  FakeDeviceDriver driver(kUdid, /*willEncrypt=*/true);
  Verdict(driver.device, 0);  // encryption off
  ScriptSmallBackup(driver.device);
  Verdict(driver.device, 0);  // encryption on
  EXPECT_EQ(Backup(driver, "s3cret"), kResultOk);

  const auto& sent = driver.device.sentMessages;
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].first, "ChangePassword");
  EXPECT_EQ(Text(sent[0].second.get(), "OldPassword"), "s3cret");
  EXPECT_FALSE(Has(sent[0].second.get(), "NewPassword"));
  EXPECT_EQ(Text(sent[0].second.get(), "TargetIdentifier"), kUdid);
  EXPECT_EQ(sent[1].first, "Backup");
  EXPECT_EQ(Text(sent[1].second.get(), "TargetIdentifier"), kUdid);
  EXPECT_EQ(Text(sent[1].second.get(), "SourceIdentifier"), kUdid);
  EXPECT_EQ(sent[2].first, "ChangePassword");
  EXPECT_EQ(Text(sent[2].second.get(), "NewPassword"), "s3cret");
  EXPECT_FALSE(Has(sent[2].second.get(), "OldPassword"));

  EXPECT_TRUE(driver.WillEncrypt());
  EXPECT_FALSE(driver.EncryptionSwitchedOff());
  EXPECT_EQ(driver.EncryptionRestoreResult(), kResultOk);
  EXPECT_EQ(testing::ReadText(Folder() / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28"),
            "sms bytes");
  EXPECT_TRUE(fs::exists(Folder() / "Info.plist"));
  EXPECT_EQ(driver.loopsEnded, 3);
  EXPECT_TRUE(driver.Idle());
}

TEST_F(DeviceBackup, WrongPasswordEndsTheExchangeAndNoBackupIsMade) {
  FakeDeviceDriver driver(kUdid, true);
  Verdict(driver.device, 207, "The password is incorrect");
  EXPECT_EQ(Backup(driver, "wrong"), -207);
  EXPECT_EQ(driver.ErrorDescription(), "The password is incorrect");
  ASSERT_EQ(driver.device.sentMessages.size(), 1u);
  EXPECT_EQ(driver.device.sentMessages[0].first, "ChangePassword");
  EXPECT_TRUE(driver.WillEncrypt());
  EXPECT_FALSE(driver.EncryptionSwitchedOff());
  EXPECT_FALSE(fs::exists(Folder()));
  EXPECT_EQ(driver.infoWrites, 0);
  EXPECT_TRUE(driver.Idle());
}

TEST_F(DeviceBackup, FailedSwitchBackOnIsKeptForTheCallerAndRetried) {
  FakeDeviceDriver driver(kUdid, true);
  Verdict(driver.device, 0);
  EXPECT_EQ(driver.DisableEncryption("pw"), kResultOk);  // as the device page does before a scan
  EXPECT_TRUE(driver.EncryptionSwitchedOff());
  ScriptSmallBackup(driver.device);
  Verdict(driver.device, 5, "busy");  // the device refuses to switch encryption on
  EXPECT_EQ(Backup(driver, "ignored"), kResultOk);
  EXPECT_EQ(driver.EncryptionRestoreResult(), -5);
  EXPECT_TRUE(driver.EncryptionSwitchedOff());
  EXPECT_FALSE(driver.WillEncrypt());

  Verdict(driver.device, 0);
  EXPECT_EQ(driver.RestoreEncryption(), kResultOk);
  EXPECT_FALSE(driver.EncryptionSwitchedOff());
  EXPECT_TRUE(driver.WillEncrypt());
  // The password of the switch-off is the one given back, not the backup's.
  EXPECT_EQ(Text(driver.device.sentMessages.back().second.get(), "NewPassword"), "pw");
}

TEST_F(DeviceBackup, PlainDeviceNeedsNoPasswordExchange) {
  FakeDeviceDriver driver(kUdid, false);
  ScriptSmallBackup(driver.device);
  EXPECT_EQ(Backup(driver, nullptr), kResultOk);
  ASSERT_EQ(driver.device.sentMessages.size(), 1u);
  EXPECT_EQ(driver.device.sentMessages[0].first, "Backup");
  EXPECT_EQ(driver.DisableEncryption(nullptr), kResultOk);  // nothing to switch off
}

TEST_F(DeviceBackup, InfoPlistIsRewrittenEachTimeWithMissingKeysLeftOut) {
  FakeDeviceDriver driver(kUdid, false);
  driver.info.lockdown->phoneNumber = "+49 30 1234567";
  driver.info.lockdown->imei = "356000000000000";
  ScriptSmallBackup(driver.device);
  ASSERT_EQ(Backup(driver), kResultOk);
  const std::string first = testing::ReadText(Folder() / "Info.plist");
  EXPECT_NE(first.find("<key>Phone Number</key>"), std::string::npos);
  EXPECT_NE(first.find("<key>IMEI</key>"), std::string::npos);

  driver.info.lockdown->phoneNumber.reset();
  driver.info.lockdown->imei.reset();
  driver.info.lockdown->deviceName = "Renamed";
  ScriptSmallBackup(driver.device);
  ASSERT_EQ(Backup(driver), kResultOk);
  const std::string second = testing::ReadText(Folder() / "Info.plist");
  EXPECT_EQ(second.find("<key>Phone Number</key>"), std::string::npos);
  EXPECT_EQ(second.find("<key>IMEI</key>"), std::string::npos);
  EXPECT_EQ(second.find("<key>ICCID</key>"), std::string::npos);
  EXPECT_NE(second.find("<string>Renamed</string>"), std::string::npos);
  EXPECT_EQ(driver.infoWrites, 2);
}

TEST_F(DeviceBackup, UnpluggedDuringAnUploadFailsAndCleansTheTopLevel) {
  FakeDeviceDriver driver(kUdid, true);
  Verdict(driver.device, 0);
  driver.device.Message("DLMessageUploadFiles",
                        testing::Msg("DLMessageUploadFiles", {testing::Dict({})}));
  auto bytes = testing::Upload()
                   .File(std::string(kUdid) + "/Status.plist")
                   .Data("st")
                   .EndFile()
                   .File(std::string(kUdid) + "/Manifest.db")
                   .bytes;
  driver.device.Raw(bytes);  // the second file's blocks never come
  driver.device.attached = false;
  EXPECT_EQ(Backup(driver), -1);
  EXPECT_FALSE(fs::exists(Folder() / "Status.plist"));
  EXPECT_FALSE(fs::exists(Folder() / "Info.plist"));
  EXPECT_TRUE(fs::is_directory(Folder()));
  // The switch back on was tried and failed (the device is silent): the caller must say so.
  EXPECT_TRUE(driver.EncryptionSwitchedOff());
  EXPECT_NE(driver.EncryptionRestoreResult(), kResultOk);
  EXPECT_TRUE(driver.Idle());
}

TEST_F(DeviceBackup, WithoutAConnectionNothingIsWritten) {
  FakeDeviceDriver driver(kUdid, false);
  driver.connected = false;
  EXPECT_EQ(Backup(driver), kResultInvalid);
  EXPECT_FALSE(fs::exists(dir_ / "dest"));
  EXPECT_TRUE(driver.BackupFolder().empty());
}

TEST_F(DeviceBackup, UdidThatIsNoPlainFolderNameWritesNothing) {
  for (const char* udid : {"", ".", "..", "a/b", "../escape"}) {
    FakeDeviceDriver driver(udid, false);
    ScriptSmallBackup(driver.device);
    EXPECT_EQ(driver.RunBackup(dir_ / "dest", nullptr, nullptr, 20), kResultInvalid) << udid;
    EXPECT_TRUE(driver.device.sentMessages.empty()) << udid;
  }
  EXPECT_FALSE(fs::exists(dir_ / "dest"));
  EXPECT_FALSE(fs::exists(dir_ / "escape"));
  EXPECT_TRUE(SafeUdid("00008030-000A1B2C3D4E"));
}

// The encryption switch: whatever way its scope ends, encryption it turned off is turned on
// again, and a failure is reported once.
TEST_F(DeviceBackup, SwitchAroundABackupLeavesEncryptionOnAndSaysNothing) {
  FakeDeviceDriver driver(kUdid, true);
  std::vector<Result> reports;
  {
    EncryptionSwitch encryption(driver, [&](Result r) { reports.push_back(r); });
    Verdict(driver.device, 0);
    ASSERT_EQ(encryption.SwitchOff("pw"), kResultOk);
    EXPECT_TRUE(encryption.SwitchedOff());
    ScriptSmallBackup(driver.device);
    Verdict(driver.device, 0);  // the backup's own switch back on
    EXPECT_EQ(Backup(driver, "pw"), kResultOk);
    EXPECT_TRUE(encryption.Finish());
  }
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(driver.WillEncrypt());
  EXPECT_EQ(driver.device.sentMessages.size(), 3u);  // off, backup, on: no extra exchange
}

TEST_F(DeviceBackup, SwitchTurnsEncryptionOnAgainOnEveryWayOut) {
  // An early return (no backup ran) and an exception both leave the scope with the encryption
  // off: the switch's destructor turns it on with the password it was turned off with.
  for (const bool throwing : {false, true}) {
    FakeDeviceDriver driver(kUdid, true);
    Verdict(driver.device, 0);
    Verdict(driver.device, 0);
    try {
      EncryptionSwitch encryption(driver);
      ASSERT_EQ(encryption.SwitchOff("s3cret"), kResultOk);
      EXPECT_FALSE(driver.WillEncrypt());
      if (throwing) throw std::runtime_error("scan failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(driver.WillEncrypt()) << throwing;
    EXPECT_FALSE(driver.EncryptionSwitchedOff());
    ASSERT_EQ(driver.device.sentMessages.size(), 2u);
    EXPECT_EQ(Text(driver.device.sentMessages[1].second.get(), "NewPassword"), "s3cret");
  }
}

TEST_F(DeviceBackup, SwitchReportsOnceWhenEncryptionStaysOff) {
  FakeDeviceDriver driver(kUdid, true);
  std::vector<Result> reports;
  EncryptionSwitch encryption(driver, [&](Result r) { reports.push_back(r); });
  Verdict(driver.device, 0);
  ASSERT_EQ(encryption.SwitchOff("pw"), kResultOk);
  ScriptSmallBackup(driver.device);
  Verdict(driver.device, 5, "busy");  // the backup's attempt
  Verdict(driver.device, 6, "busy");  // the switch's retry
  EXPECT_EQ(Backup(driver, "pw"), kResultOk);
  EXPECT_FALSE(encryption.Finish());
  EXPECT_TRUE(encryption.LeftOff());
  EXPECT_FALSE(encryption.Finish());  // only the first call acts
  EXPECT_EQ(reports, std::vector<Result>{-6});
  EXPECT_EQ(driver.device.sentMessages.size(), 4u);
}

TEST_F(DeviceBackup, SwitchOfAPlainDeviceOrARefusedPasswordSendsNothingMore) {
  FakeDeviceDriver plain(kUdid, false);
  {
    EncryptionSwitch encryption(plain, [](Result) { ADD_FAILURE() << "nothing to report"; });
    EXPECT_EQ(encryption.SwitchOff("pw"), kResultOk);
    EXPECT_FALSE(encryption.SwitchedOff());
  }
  EXPECT_TRUE(plain.device.sentMessages.empty());

  FakeDeviceDriver refused(kUdid, true);
  Verdict(refused.device, 207, "The password is incorrect");
  {
    EncryptionSwitch encryption(refused, [](Result) { ADD_FAILURE() << "encryption stayed on"; });
    EXPECT_EQ(encryption.SwitchOff("wrong"), -207);
    EXPECT_FALSE(encryption.SwitchedOff());
  }
  EXPECT_EQ(refused.device.sentMessages.size(), 1u);
  EXPECT_TRUE(refused.WillEncrypt());
}

}  // namespace
}  // namespace kestrio
