#include "device/device_info_plist.h"

#include <cerrno>
#include <cstdio>
#include <limits>

#include "backup/plist_text.h"
#include "base/time_text.h"

namespace kestrio {
namespace {

void SetString(plist_t dict, const char* key, const std::string& value) {
  plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

void SetData(plist_t dict, const char* key, const std::vector<std::uint8_t>& bytes) {
  plist_dict_set_item(dict, key,
                      plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::string> StringItem(plist_t dict, const char* key) {
  return PlistText(plist_dict_get_item(dict, key));
}

// libplist 2.2 dates hold 32-bit seconds since 2001-01-01 UTC.
std::int32_t AppleSeconds(std::int64_t unixTime) {
  const std::int64_t apple = unixTime - kAppleEpochOffset;
  if (apple < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  if (apple > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(apple);
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

std::optional<DeviceLockdownValues> LockdownValuesFromPlist(plist_t values) {
  if (values == nullptr || plist_get_node_type(values) != PLIST_DICT) return std::nullopt;
  DeviceLockdownValues lockdown;
  lockdown.buildVersion = StringItem(values, "BuildVersion").value_or("");
  lockdown.deviceName = StringItem(values, "DeviceName").value_or("");
  lockdown.iccid = StringItem(values, "IntegratedCircuitCardIdentity");
  lockdown.imei = StringItem(values, "InternationalMobileEquipmentIdentity");
  lockdown.phoneNumber = StringItem(values, "PhoneNumber");
  lockdown.productType = StringItem(values, "ProductType").value_or("");
  lockdown.productVersion = StringItem(values, "ProductVersion").value_or("");
  lockdown.serialNumber = StringItem(values, "SerialNumber").value_or("");
  return lockdown;
}

PlistOwner BuildDeviceInfoPlist(const DeviceInfoInputs& inputs) {
  if (!inputs.lockdown) return PlistOwner(nullptr, &plist_free);
  const DeviceLockdownValues& lockdown = *inputs.lockdown;
  PlistOwner owner(plist_new_dict(), &plist_free);
  plist_t dict = owner.get();
  // Dictionaries keep insertion order: the calls below follow the key order of the file.
  SetString(dict, "Build Version", lockdown.buildVersion);
  SetString(dict, "Device Name", lockdown.deviceName);
  SetString(dict, "Display Name", lockdown.deviceName);
  SetString(dict, "GUID", "---");
  if (lockdown.iccid) SetString(dict, "ICCID", *lockdown.iccid);
  if (lockdown.imei) SetString(dict, "IMEI", *lockdown.imei);
  plist_dict_set_item(dict, "Last Backup Date", plist_new_date(AppleSeconds(inputs.unixTime), 0));
  if (lockdown.phoneNumber) SetString(dict, "Phone Number", *lockdown.phoneNumber);
  SetString(dict, "Product Type", lockdown.productType);
  SetString(dict, "Product Version", lockdown.productVersion);
  SetString(dict, "Serial Number", lockdown.serialNumber);
  SetString(dict, "Target Identifier", inputs.udid);
  SetString(dict, "Target Type", "Device");
  SetString(dict, "Unique Identifier", UpperAscii(inputs.udid));
  if (inputs.iBooksData) SetData(dict, "iBooks Data 2", *inputs.iBooksData);
  plist_t files = plist_new_dict();
  for (const auto& [name, bytes] : inputs.iTunesFiles) SetData(files, name.c_str(), bytes);
  plist_dict_set_item(dict, "iTunes Files", files);
  plist_dict_set_item(
      dict, "iTunes Settings",
      inputs.iTunesSettings != nullptr ? plist_copy(inputs.iTunesSettings) : plist_new_dict());
  SetString(dict, "iTunes Version", "10.0.1");
  return owner;
}

Result WriteDeviceInfoPlist(const std::filesystem::path& backupFolder,
                            const DeviceInfoInputs& inputs) {
  const std::filesystem::path path = backupFolder / "Info.plist";
  if (std::remove(path.c_str()) != 0 && errno != ENOENT) return LastSystemResult();

  std::string xml;
  if (const PlistOwner dict = BuildDeviceInfoPlist(inputs)) {
    char* text = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict.get(), &text, &length);
    if (text == nullptr) return kResultInvalid;
    xml.assign(text, length);
    plist_to_xml_free(text);
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return LastSystemResult();
  const bool written = std::fwrite(xml.data(), 1, xml.size(), file) == xml.size();
  const int writeError = errno;
  if (std::fclose(file) != 0 || !written) return SystemResult(written ? errno : writeError);
  return kResultOk;
}

}  // namespace kestrio
