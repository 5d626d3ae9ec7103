#include "base/platform_storage.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "base/paths.h"

namespace kestrio {
namespace {

// File systems that hold no user data or vanish with the machine's power.
bool IsVirtualFileSystem(const std::string& type) {
  static const std::set<std::string> kVirtual = {
      "tmpfs",     "proc",        "sysfs",           "devtmpfs",   "devpts",     "overlay",
      "squashfs",  "cgroup",      "cgroup2",         "securityfs", "pstore",     "debugfs",
      "tracefs",   "configfs",    "fusectl",         "mqueue",     "hugetlbfs",  "autofs",
      "bpf",       "binfmt_misc", "efivarfs",        "ramfs",      "rpc_pipefs", "nsfs",
      "selinuxfs", "fuse.portal", "fuse.gvfsd-fuse", "iso9660",    "udf",        "none"};
  return kVirtual.count(type) != 0;
}

// /proc/self/mounts writes spaces, tabs, newlines and backslashes in paths as octal escapes.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::filesystem::path WorkFolder() { return ApplicationDataFolder() / "VelmoraiOSRecovery"; }

std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::vector<MountCandidate> MountCandidates(const std::filesystem::path& mountsTable) {
  std::vector<MountCandidate> candidates;
  std::ifstream in(mountsTable);
  std::string line;
  std::set<std::string> seen;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, mountPoint, type;
    if (!(fields >> device >> mountPoint >> type)) continue;
    if (IsVirtualFileSystem(type)) continue;
    mountPoint = Unescape(mountPoint);
    if (!seen.insert(mountPoint).second) continue;
    // The folder is made at the mount point itself: the user must be able to write there.
    if (::access(mountPoint.c_str(), W_OK | X_OK) != 0) continue;
    const auto free = FreeBytes(mountPoint);
    if (!free) continue;
    candidates.push_back({mountPoint, *free});
  }
  return candidates;
}

std::filesystem::path PickTemporaryBackupFolder(const std::filesystem::path& workFolder,
                                                std::optional<std::uint64_t> workFolderFree,
                                                const std::vector<MountCandidate>& candidates) {
  if (workFolderFree && *workFolderFree > kWorkFolderSpaceNeeded)
    return workFolder / kTemporaryBackupFolderName;
  const MountCandidate* best = nullptr;
  for (const MountCandidate& candidate : candidates) {
    if (best == nullptr || candidate.freeBytes > best->freeBytes) best = &candidate;
  }
  return best ? best->mountPoint / kTemporaryBackupFolderName : std::filesystem::path();
}

const std::filesystem::path& TemporaryBackupFolder() {
  static std::once_flag once;
  static std::filesystem::path folder;
  std::call_once(once, [] {
    const std::filesystem::path work = WorkFolder();
    std::error_code ignored;
    std::filesystem::create_directories(work, ignored);
    const auto workFree = FreeBytes(work);
    std::vector<MountCandidate> candidates;
    if (!workFree || *workFree <= kWorkFolderSpaceNeeded)
      candidates = MountCandidates("/proc/self/mounts");
    folder = PickTemporaryBackupFolder(work, workFree, candidates);
    if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  });
  return folder;
}

}  // namespace kestrio
