// Where Kestrio puts large temporary data (a device's fresh backup, a decrypted backup): the
// temporary backup folder, chosen once per run by free space.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrio {

// More free space than this in the work folder's file system keeps the temporary backup
// folder there (exactly 15 GiB is not enough).
inline constexpr std::uint64_t kWorkFolderSpaceNeeded = 16106127360;

inline constexpr std::string_view kTemporaryBackupFolderName = "Velmora_tmp_backup";
// The decryption output folder, below the temporary backup folder.
inline constexpr std::string_view kDecryptionOutputFolderName = "VelmoraBackupPath";

// The work folder: <application data>/VelmoraiOSRecovery.
std::filesystem::path WorkFolder();

// Bytes a non-privileged user may still write on the file system holding `path`.
std::optional<std::uint64_t> FreeBytes(const std::filesystem::path& path);

struct MountCandidate {
  std::filesystem::path mountPoint;
  std::uint64_t freeBytes = 0;
};

// Mount points of real file systems (local disks and network shares, not tmpfs, proc,
// sysfs, overlay, squashfs and the like) where the user can create a folder, in the order
// of `mountsTable` (the /proc/self/mounts format), with their free space.
std::vector<MountCandidate> MountCandidates(const std::filesystem::path& mountsTable);

// The choice itself: the work folder's "Velmora_tmp_backup" when its file system has more
// than 15 GiB free; otherwise "Velmora_tmp_backup" at the candidate with the most free space
// (the first of equals); empty when there is none.
std::filesystem::path PickTemporaryBackupFolder(const std::filesystem::path& workFolder,
                                                std::optional<std::uint64_t> workFolderFree,
                                                const std::vector<MountCandidate>& candidates);

// The temporary backup folder of this run, worked out on first use and created with its
// parents; empty when no file system qualifies.
const std::filesystem::path& TemporaryBackupFolder();

}  // namespace kestrio
