// Whether this computer can reach an iOS device at all, and the device's one-line summary.
//
// Devices are reached through the usbmuxd daemon (libusbmuxd's default transport is its
// socket). On Debian udev starts the daemon only while a device is plugged in, so the socket
// alone cannot tell whether the support is installed: the installed program counts too.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrio {

// The usbmuxd daemon is installed: an executable "usbmuxd" is found in a folder of `path`
// (a PATH value, colon-separated; relative entries are ignored) or in /usr/sbin, or the
// socket /var/run/usbmuxd exists. Every absolute path is looked up below `root`.
bool DeviceSupportInstalled(std::string_view path, const std::filesystem::path& root);

// The same for this computer: $PATH, below "/".
bool DeviceSupportInstalled();

// The device page's summary: name + "(" + class + (" " + version when not empty) + ")",
// for example "Office iPhone(iPhone 9.3.2)".
std::string DeviceSummaryText(const std::string& name, const std::string& deviceClass,
                              const std::string& version);

}  // namespace kestrio
