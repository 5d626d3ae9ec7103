#include "device/device_info_plist.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "backup/backup_summary.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

using testing::ReadText;

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = getenv("TZ")) old_ = old;
    had_ = getenv("TZ") != nullptr;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

DeviceLockdownValues FullLockdown() {
  DeviceLockdownValues values;
  values.buildVersion = "20F66";
  values.deviceName = "Anna's iPhone";
  values.iccid = "8949000000000000001";
  values.imei = "356000000000001";
  values.phoneNumber = "+49 170 1234567";
  values.productType = "iPhone12,1";
  values.productVersion = "16.5";
  values.serialNumber = "F2LX1234";
  return values;
}

std::vector<std::string> Keys(plist_t dict) {
  std::vector<std::string> keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  while (true) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, it, &key, &value);
    if (key == nullptr) break;
    keys.emplace_back(key);
    free(key);
  }
  free(it);
  return keys;
}

std::string StringAt(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "<missing>";
  return plist_get_string_ptr(node, nullptr);
}

std::string DataAt(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return "<missing>";
  std::uint64_t length = 0;
  const char* bytes = plist_get_data_ptr(node, &length);
  return std::string(bytes, length);
}

PlistOwner ParseFile(const std::filesystem::path& path) {
  const std::string xml = ReadText(path);
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
  return PlistOwner(root, &plist_free);
}

TEST(DeviceInfoPlist, FullInputsGiveEveryKeyInOrderAndTheSummaryReadsThemBack) {
  ScopedTimeZone zone("Europe/Berlin");
  fixtures::TempDir dir;
  PlistOwner settings(plist_new_dict(), &plist_free);
  plist_dict_set_item(settings.get(), "LibraryApplications", plist_new_bool(1));

  DeviceInfoInputs inputs;
  inputs.lockdown = FullLockdown();
  inputs.udid = "00008030-001a2b3c4d5e6f70";
  inputs.unixTime = 1687117327;
  inputs.iBooksData = Bytes(std::string_view("books\0plist", 11));
  // Given out of alphabetical order: the order of the list is kept.
  inputs.iTunesFiles = {{"iTunesPrefs", Bytes("prefs")}, {"IC-Info.sidb", Bytes("sidb")}};
  inputs.iTunesSettings = settings.get();
  ASSERT_EQ(WriteDeviceInfoPlist(dir.path(), inputs), kResultOk);

  const std::string xml = ReadText(dir / "Info.plist");
  EXPECT_NE(xml.find("<key>Last Backup Date</key>\n\t<date>2023-06-18T19:42:07Z</date>"),
            std::string::npos)
      << xml;
  const PlistOwner root = ParseFile(dir / "Info.plist");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Keys(root.get()),
            (std::vector<std::string>{
                "Build Version", "Device Name", "Display Name", "GUID", "ICCID", "IMEI",
                "Last Backup Date", "Phone Number", "Product Type", "Product Version",
                "Serial Number", "Target Identifier", "Target Type", "Unique Identifier",
                "iBooks Data 2", "iTunes Files", "iTunes Settings", "iTunes Version"}));
  EXPECT_EQ(StringAt(root.get(), "Build Version"), "20F66");
  EXPECT_EQ(StringAt(root.get(), "Device Name"), "Anna's iPhone");
  EXPECT_EQ(StringAt(root.get(), "Display Name"), "Anna's iPhone");
  EXPECT_EQ(StringAt(root.get(), "GUID"), "---");
  EXPECT_EQ(StringAt(root.get(), "ICCID"), "8949000000000000001");
  EXPECT_EQ(StringAt(root.get(), "IMEI"), "356000000000001");
  EXPECT_EQ(StringAt(root.get(), "Product Type"), "iPhone12,1");
  EXPECT_EQ(StringAt(root.get(), "Target Identifier"), "00008030-001a2b3c4d5e6f70");
  EXPECT_EQ(StringAt(root.get(), "Target Type"), "Device");
  EXPECT_EQ(StringAt(root.get(), "Unique Identifier"), "00008030-001A2B3C4D5E6F70");
  EXPECT_EQ(StringAt(root.get(), "iTunes Version"), "10.0.1");
  EXPECT_EQ(DataAt(root.get(), "iBooks Data 2"), std::string("books\0plist", 11));
  plist_t files = plist_dict_get_item(root.get(), "iTunes Files");
  ASSERT_NE(files, nullptr);
  EXPECT_EQ(Keys(files), (std::vector<std::string>{"iTunesPrefs", "IC-Info.sidb"}));
  EXPECT_EQ(DataAt(files, "iTunesPrefs"), "prefs");
  EXPECT_EQ(DataAt(files, "IC-Info.sidb"), "sidb");
  plist_t copied = plist_dict_get_item(root.get(), "iTunes Settings");
  ASSERT_NE(copied, nullptr);
  plist_t flag = plist_dict_get_item(copied, "LibraryApplications");
  ASSERT_NE(flag, nullptr);
  std::uint8_t flagValue = 0;
  plist_get_bool_val(flag, &flagValue);
  EXPECT_EQ(flagValue, 1);

  BackupSummary summary;
  ASSERT_EQ(ReadBackupSummary(dir.path(), summary), kResultOk);
  EXPECT_EQ(summary.lastBackupDate,
            "2023-06-18 21:42:07");  // UTC+2, summer time
  EXPECT_EQ(summary.displayName, "Anna's iPhone");
  EXPECT_EQ(summary.phoneNumber, "+49 170 1234567");
  EXPECT_EQ(summary.serialNumber, "F2LX1234");
  EXPECT_TRUE(summary.version12);
}

TEST(DeviceInfoPlist, MissingOptionalValuesLeaveTheirKeysOut) {
  ScopedTimeZone zone("UTC");
  DeviceLockdownValues lockdown = FullLockdown();
  lockdown.iccid.reset();
  lockdown.imei.reset();
  lockdown.phoneNumber.reset();
  lockdown.productVersion = "9.3.2";
  DeviceInfoInputs inputs;
  inputs.lockdown = lockdown;
  inputs.udid = "abc";
  inputs.unixTime = 978307200 - 1;  // just before Apple's epoch: a negative stored date

  const PlistOwner root = BuildDeviceInfoPlist(inputs);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(
      Keys(root.get()),
      (std::vector<std::string>{
          "Build Version", "Device Name", "Display Name", "GUID", "Last Backup Date",
          "Product Type", "Product Version", "Serial Number", "Target Identifier", "Target Type",
          "Unique Identifier", "iTunes Files", "iTunes Settings", "iTunes Version"}));
  for (const char* key : {"iTunes Files", "iTunes Settings"}) {
    plist_t node = plist_dict_get_item(root.get(), key);
    ASSERT_EQ(plist_get_node_type(node), PLIST_DICT) << key;
    EXPECT_EQ(plist_dict_get_size(node), 0u) << key;
  }

  fixtures::TempDir dir;
  ASSERT_EQ(WriteDeviceInfoPlist(dir.path(), inputs), kResultOk);
  EXPECT_NE(ReadText(dir / "Info.plist").find("<date>2000-12-31T23:59:59Z</date>"),
            std::string::npos);
  BackupSummary summary;
  ASSERT_EQ(ReadBackupSummary(dir.path(), summary), kResultOk);
  EXPECT_EQ(summary.lastBackupDate, "2000-12-31 23:59:59");
  EXPECT_EQ(summary.phoneNumber, "");
  EXPECT_FALSE(summary.version12);
}

TEST(DeviceInfoPlist, LockdownDictionaryKeepsOnlyStringValues) {
  PlistOwner values(plist_new_dict(), &plist_free);
  plist_dict_set_item(values.get(), "BuildVersion", plist_new_string("13G36"));
  plist_dict_set_item(values.get(), "DeviceName", plist_new_string("Office iPhone"));
  plist_dict_set_item(values.get(), "InternationalMobileEquipmentIdentity",
                      plist_new_string("013000000000001"));
  plist_dict_set_item(values.get(), "PhoneNumber", plist_new_uint(491701234567));
  plist_dict_set_item(values.get(), "ProductType", plist_new_string("iPhone8,1"));
  plist_dict_set_item(values.get(), "ProductVersion", plist_new_string("9.3.2"));
  plist_dict_set_item(values.get(), "SerialNumber", plist_new_bool(1));

  const auto lockdown = LockdownValuesFromPlist(values.get());
  ASSERT_TRUE(lockdown.has_value());
  EXPECT_EQ(lockdown->buildVersion, "13G36");
  EXPECT_EQ(lockdown->deviceName, "Office iPhone");
  EXPECT_FALSE(lockdown->iccid.has_value());
  EXPECT_EQ(lockdown->imei, "013000000000001");
  EXPECT_FALSE(lockdown->phoneNumber.has_value());  // a number, not a string
  EXPECT_EQ(lockdown->productType, "iPhone8,1");
  EXPECT_EQ(lockdown->productVersion, "9.3.2");
  EXPECT_EQ(lockdown->serialNumber, "");

  PlistOwner array(plist_new_array(), &plist_free);
  EXPECT_FALSE(LockdownValuesFromPlist(array.get()).has_value());
  EXPECT_FALSE(LockdownValuesFromPlist(nullptr).has_value());
}

TEST(DeviceInfoPlist, OldFileIsDeletedNotOverwrittenAndMissingValuesWriteAnEmptyFile) {
  fixtures::TempDir dir;
  // The old Info.plist shares its bytes with another file: writing into it in place would
  // change that file too.
  std::ofstream(dir / "elsewhere.plist") << "old contents";
  ASSERT_EQ(link((dir / "elsewhere.plist").c_str(), (dir / "Info.plist").c_str()), 0);

  DeviceInfoInputs inputs;
  inputs.udid = "abc";
  ASSERT_EQ(WriteDeviceInfoPlist(dir.path(), inputs), kResultOk);
  EXPECT_EQ(ReadText(dir / "Info.plist"), "");
  EXPECT_EQ(ReadText(dir / "elsewhere.plist"), "old contents");

  inputs.lockdown = FullLockdown();
  ASSERT_EQ(WriteDeviceInfoPlist(dir.path(), inputs), kResultOk);
  EXPECT_NE(ReadText(dir / "Info.plist").find("<string>Anna's iPhone</string>"), std::string::npos);

  EXPECT_EQ(WriteDeviceInfoPlist(dir / "missing", inputs), SystemResult(ENOENT));
}

}  // namespace
}  // namespace kestrio
