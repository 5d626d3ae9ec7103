#include "device/device_backup_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << path.filename().string();
}

// Every entry below `folder`, relative, links not followed.
std::set<std::string> Tree(const fs::path& folder) {
  std::set<std::string> entries;
  for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
    entries.insert(fs::relative(it->path(), folder).string());
  }
  return entries;
}

TEST(DeviceBackupFolder, FailedBackupLosesTopLevelFilesOnly) {
  fixtures::TempDir dir;
  const fs::path outside = dir / "outside";
  Touch(outside / "kept.txt");
  const fs::path backup = dir / "udid";
  Touch(backup / "Info.plist");
  Touch(backup / "Manifest.db");
  Touch(backup / ".hidden");
  Touch(backup / "00" / "00aa");
  Touch(backup / "Snapshot" / "Status.plist");
  Touch(backup / "Snapshot" / "ab" / "abcd");
  fs::create_symlink(outside / "kept.txt", backup / "link-to-file");
  fs::create_directory_symlink(outside, backup / "link-to-folder");

  CleanFailedBackupFolder(backup);
  // Snapshot still holds a folder, so it stays.
  EXPECT_EQ(Tree(backup), (std::set<std::string>{".hidden", "00", "00/00aa", "Snapshot",
                                                 "Snapshot/ab", "Snapshot/ab/abcd"}));
  EXPECT_EQ(Tree(outside), (std::set<std::string>{"kept.txt"}));
}

TEST(DeviceBackupFolder, SnapshotIsRemovedOnceEmptiedButNotWithADotFileLeft) {
  fixtures::TempDir dir;
  Touch(dir / "a" / "Snapshot" / "Manifest.plist");
  Touch(dir / "a" / "Snapshot" / "Status.plist");
  CleanFailedBackupFolder(dir / "a");
  EXPECT_TRUE(fs::exists(dir / "a"));
  EXPECT_FALSE(fs::exists(dir / "a" / "Snapshot"));

  Touch(dir / "b" / "Snapshot" / "Status.plist");
  Touch(dir / "b" / "Snapshot" / ".DS_Store");
  CleanFailedBackupFolder(dir / "b");
  EXPECT_EQ(Tree(dir / "b"), (std::set<std::string>{"Snapshot", "Snapshot/.DS_Store"}));

  // A "Snapshot" link is removed as a link; the folder it points to is not cleaned.
  Touch(dir / "elsewhere" / "Status.plist");
  fs::create_directories(dir / "c");
  fs::create_directory_symlink(dir / "elsewhere", dir / "c" / "Snapshot");
  CleanFailedBackupFolder(dir / "c");
  EXPECT_TRUE(Tree(dir / "c").empty());
  EXPECT_TRUE(fs::exists(dir / "elsewhere" / "Status.plist"));

  CleanFailedBackupFolder(dir / "missing");  // nothing to do, nothing thrown
}

}  // namespace
}  // namespace kestrio
