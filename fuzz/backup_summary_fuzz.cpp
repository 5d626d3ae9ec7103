// libFuzzer target for the backup summary: the input is a backup folder's Info.plist (XML or
// binary property list, read through libplist). Every field read must be valid UTF-8 and a
// date, when there is one, must have the "YYYY-MM-DD hh:mm:ss" shape.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "backup/backup_summary.h"
#include "base/text.h"

namespace {

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("kestrio-summary-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

void RemoveFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(Folder(), ignored);
}

bool IsDateText(const std::string& text) {
  if (text.size() != 19) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char expected = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
    if (expected == '0' ? (text[i] < '0' || text[i] > '9') : text[i] != expected) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Folder();
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string plist = (Folder() / "Info.plist").string();
  const int fd = ::open(plist.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
  ::close(fd);
  if (!written) return 0;
  kestrio::BackupSummary summary;
  if (kestrio::ReadBackupSummary(Folder(), summary) != kestrio::kResultOk) return 0;
  for (const std::string* text :
       {&summary.displayName, &summary.phoneNumber, &summary.serialNumber}) {
    if (!kestrio::IsValidUtf8(*text)) std::abort();
  }
  if (!summary.lastBackupDate.empty() && !IsDateText(summary.lastBackupDate)) std::abort();
  return 0;
}
