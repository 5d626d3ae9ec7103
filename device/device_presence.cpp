#include "device/device_presence.h"

#include <cstdlib>

namespace kestrio {
namespace {

namespace fs = std::filesystem;

// `absolute` ("/usr/sbin") below `root`.
fs::path BelowRoot(const fs::path& root, const fs::path& absolute) {
  return root / absolute.relative_path();
}

bool IsExecutableFile(const fs::path& file) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (error || !fs::is_regular_file(status)) return false;
  constexpr fs::perms kAnyExecute =
      fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  return (status.permissions() & kAnyExecute) != fs::perms::none;
}

}  // namespace

bool DeviceSupportInstalled(std::string_view path, const fs::path& root) {
  std::string_view rest = path;
  while (true) {
    const std::size_t colon = rest.find(':');
    const fs::path folder(rest.substr(0, colon));
    if (folder.is_absolute() && IsExecutableFile(BelowRoot(root, folder) / "usbmuxd")) {
      return true;
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  if (IsExecutableFile(BelowRoot(root, "/usr/sbin/usbmuxd"))) return true;
  std::error_code error;
  return fs::is_socket(BelowRoot(root, "/var/run/usbmuxd"), error);
}

bool DeviceSupportInstalled() {
  const char* path = std::getenv("PATH");
  return DeviceSupportInstalled(path != nullptr ? path : "", "/");
}

std::string DeviceSummaryText(const std::string& name, const std::string& deviceClass,
                              const std::string& version) {
  std::string text = name + "(" + deviceClass;
  if (!version.empty()) text += " " + version;
  return text + ")";
}

}  // namespace kestrio
