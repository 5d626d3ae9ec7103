// The device session without a device: no usbmuxd daemon runs on the test machines, so every
// device lookup fails and the session must stay disconnected and harmless.
#include "device/device_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace kestrio {
namespace {

namespace fs = std::filesystem;

class DeviceSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::path(::testing::TempDir()) /
              ("kestrio_device_session_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
};

TEST_F(DeviceSessionTest, ConnectWithoutDeviceFailsAndLeavesTheSessionEmpty) {
  DeviceBackupSession& session = DeviceBackupSession::Instance();
  EXPECT_EQ(session.Connect(), -1);
  EXPECT_FALSE(session.Connected());
  EXPECT_EQ(session.Udid(), "");
  EXPECT_EQ(session.DeviceName(), "");
  EXPECT_EQ(session.DeviceClass(), "");
  EXPECT_EQ(session.SystemVersion(), "");
  EXPECT_FALSE(session.WillEncrypt());
  EXPECT_FALSE(session.Version10OrLater());
  EXPECT_TRUE(session.Idle());
}

TEST_F(DeviceSessionTest, BackupWithoutConnectionWritesNothing) {
  DeviceBackupSession& session = DeviceBackupSession::Instance();
  session.Disconnect();
  const fs::path destination = folder_ / "backup";
  int calls = 0;
  Result result = session.RunBackup(
      destination, "secret",
      [&calls](std::int32_t) {
        ++calls;
        return kResultOk;
      },
      20);
  EXPECT_NE(result, kResultOk);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_TRUE(fs::is_empty(folder_));
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(session.Idle());
  EXPECT_TRUE(session.BackupFolder().empty());
}

}  // namespace
}  // namespace kestrio
