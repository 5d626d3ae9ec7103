#include "base/log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include "base/paths.h"

namespace kestrio {
namespace {

std::filesystem::path LogFile() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::filesystem::path folder;
  if (state && state[0] == '/') {
    folder = state;
  } else {
    const std::filesystem::path home = HomeFolder();
    if (home.empty()) return {};
    folder = home / ".local" / "state";
  }
  return folder / "Kestrio" / "kestrio.log";
}

}  // namespace

void LogLine(std::string_view line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> guard(mutex);
  const char* mode = std::getenv("KESTRIO_LOG");
  const std::string target = mode ? mode : "";
  if (target == "off") return;
  std::FILE* out = nullptr;
  bool close = false;
  if (target == "stderr") {
    out = stderr;
  } else {
    const std::filesystem::path file = LogFile();
    if (file.empty()) return;
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    out = std::fopen(file.c_str(), "a");
    close = true;
  }
  if (!out) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(out, "%s %.*s\n", stamp, static_cast<int>(line.size()), line.data());
  if (close) std::fclose(out);
}

}  // namespace kestrio
