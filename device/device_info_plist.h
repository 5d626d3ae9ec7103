// The Info.plist that a device backup writes into its backup folder before the device sends
// its files, built from values read off the device beforehand (no device is needed here).
//
// The XML property list is one dictionary, keys in this order (optional keys only when
// their value is present):
//   "Build Version"      string  lockdown BuildVersion
//   "Device Name"        string  lockdown DeviceName
//   "Display Name"       string  lockdown DeviceName
//   "GUID"               string  "---"
//   "ICCID"              string  lockdown IntegratedCircuitCardIdentity (optional)
//   "IMEI"               string  lockdown InternationalMobileEquipmentIdentity (optional)
//   "Last Backup Date"   date    the current time, whole seconds, UTC
//   "Phone Number"       string  lockdown PhoneNumber (optional; only a string value)
//   "Product Type"       string  lockdown ProductType
//   "Product Version"    string  lockdown ProductVersion
//   "Serial Number"      string  lockdown SerialNumber
//   "Target Identifier"  string  the udid
//   "Target Type"        string  "Device"
//   "Unique Identifier"  string  the udid in upper case
//   "iBooks Data 2"      data    the device's "/Books/iBooksData2.plist" (optional)
//   "iTunes Files"       dict    name -> data, for the files of kITunesFileNames that the
//                                device let us read, in that order
//   "iTunes Settings"    any     lockdown values of the domain "com.apple.iTunes", or an
//                                empty dictionary
//   "iTunes Version"     string  "10.0.1"
//
// Dates: libplist 2.2 stores a date as seconds since 2001-01-01 UTC (plist_new_date in
// <plist/plist.h>), so the Unix time is shifted by kAppleEpochOffset before it is stored.
#pragma once

#include <plist/plist.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace kestrio {

using PlistOwner = std::unique_ptr<void, decltype(&plist_free)>;

// Files read from the device folder "/iTunes_Control/iTunes/" for "iTunes Files", in order.
inline constexpr std::array<std::string_view, 10> kITunesFileNames = {
    "ApertureAlbumPrefs", "IC-Info.sidb",      "IC-Info.sidv",     "PhotosFolderAlbums",
    "PhotosFolderName",   "PhotosFolderPrefs", "iPhotoAlbumPrefs", "iTunesApplicationIDs",
    "iTunesPrefs",        "iTunesPrefs.plist"};

// The lockdown values of the default domain that Info.plist copies.
struct DeviceLockdownValues {
  std::string buildVersion;
  std::string deviceName;
  std::optional<std::string> iccid;  // IntegratedCircuitCardIdentity
  std::optional<std::string> imei;   // InternationalMobileEquipmentIdentity
  std::optional<std::string> phoneNumber;
  std::string productType;
  std::string productVersion;
  std::string serialNumber;
};

struct DeviceInfoInputs {
  // Absent when the device's lockdown values could not be read: the file is then empty.
  std::optional<DeviceLockdownValues> lockdown;
  std::string udid;
  std::int64_t unixTime = 0;  // the backup's time, seconds since 1970-01-01 UTC
  std::optional<std::vector<std::uint8_t>> iBooksData;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> iTunesFiles;
  // Borrowed, copied into the result; null gives an empty dictionary.
  plist_t iTunesSettings = nullptr;
};

// The lockdown values out of the dictionary of all values of the default domain; nothing
// when `values` is not a dictionary. A missing or non-string value of the required keys
// reads as empty; the optional ones are kept only when they are strings.
std::optional<DeviceLockdownValues> LockdownValuesFromPlist(plist_t values);

// The Info.plist dictionary; null when inputs.lockdown is absent.
PlistOwner BuildDeviceInfoPlist(const DeviceInfoInputs& inputs);

// Deletes backupFolder/Info.plist and writes it anew as XML, or as an empty file when
// inputs.lockdown is absent. kResultOk, or the system error of the failing delete or write.
Result WriteDeviceInfoPlist(const std::filesystem::path& backupFolder,
                            const DeviceInfoInputs& inputs);

}  // namespace kestrio
