#include "base/paths.h"

#include <cstdlib>

namespace kestrio {

std::filesystem::path HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && *home ? std::filesystem::path(home) : std::filesystem::path();
}

std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self.parent_path();
}

std::filesystem::path ApplicationDataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  // The XDG rules ignore a relative value.
  if (data && *data == '/') return data;
  return HomeFolder() / ".local" / "share";
}

}  // namespace kestrio
