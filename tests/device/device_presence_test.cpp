#include "device/device_presence.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

void MakeFile(const fs::path& path, fs::perms perms) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
  fs::permissions(path, perms);
}

TEST(DevicePresence, ProgramOnThePathOrInSbinCountsOnlyWhenExecutable) {
  fixtures::TempDir root;
  EXPECT_FALSE(DeviceSupportInstalled("/usr/local/bin:/usr/bin", root.path()));

  // Looked up below the root, in every absolute folder of the path; relative ones are not
  // looked at.
  MakeFile(root / "opt/mux/bin/usbmuxd", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(DeviceSupportInstalled("/usr/bin:/opt/mux/bin",
                                      root.path()));  // not runnable
  fs::permissions(root / "opt/mux/bin/usbmuxd", fs::perms::others_exec, fs::perm_options::add);
  EXPECT_TRUE(DeviceSupportInstalled("/usr/bin:/opt/mux/bin", root.path()));
  EXPECT_FALSE(DeviceSupportInstalled("/usr/bin:opt/mux/bin", root.path()));
  EXPECT_FALSE(DeviceSupportInstalled("/usr/bin", root.path()));

  // A folder named like the program is not the program.
  fs::create_directories(root / "usr/sbin/usbmuxd");
  EXPECT_FALSE(DeviceSupportInstalled("", root.path()));
  fs::remove(root / "usr/sbin/usbmuxd");
  MakeFile(root / "usr/sbin/usbmuxd", fs::perms::owner_all);
  EXPECT_TRUE(DeviceSupportInstalled("", root.path()));
}

TEST(DevicePresence, TheDaemonSocketCountsAPlainFileDoesNot) {
  fixtures::TempDir root;
  const fs::path socketPath = root / "var/run/usbmuxd";
  fs::create_directories(socketPath.parent_path());
  std::ofstream(socketPath) << "";
  EXPECT_FALSE(DeviceSupportInstalled("", root.path()));
  fs::remove(socketPath);

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.native().size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.native().size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(DeviceSupportInstalled("", root.path()));
  close(fd);
}

TEST(DevicePresence, SummaryTextHasNoBlankWhenTheVersionIsUnknown) {
  EXPECT_EQ(DeviceSummaryText("Office iPhone", "iPhone", "9.3.2"), "Office iPhone(iPhone 9.3.2)");
  EXPECT_EQ(DeviceSummaryText("Office iPhone", "iPhone", ""), "Office iPhone(iPhone)");
}

}  // namespace
}  // namespace kestrio
