// The device page's once-a-second decision over a scripted device session.
#include "device/device_watch.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

using testing::FakeDeviceDriver;

class Watch : public ::testing::Test {
 protected:
  Watch() { driver_.connected = false; }

  FakeDeviceDriver driver_{"udid-1", false};
  bool support_ = true;
  int sleeps_ = 0;
  DeviceWatch watch_{driver_, [this] { return support_; },
                     [this](std::chrono::seconds s) {
                       EXPECT_EQ(s, std::chrono::seconds(1));
                       ++sleeps_;
                       std::this_thread::sleep_for(std::chrono::milliseconds(1));
                     }};
};

TEST_F(Watch, MissingSupportShowsItsPageUntilInstalledWithoutTouchingTheDevice) {
  support_ = false;
  EXPECT_EQ(watch_.Initial(), DeviceScreen::kSupportMissing);
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kSupportMissing);
  EXPECT_EQ(driver_.connects, 0);
  support_ = true;  // installed while the program runs
  EXPECT_EQ(watch_.Retry(), DeviceScreen::kWaiting);
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kConnected);
  support_ = false;  // gone again: page 0 from any page
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kSupportMissing);
}

TEST_F(Watch, ConnectsOnceAndFollowsUnplugAndReplug) {
  driver_.attached = false;
  EXPECT_EQ(watch_.Initial(), DeviceScreen::kWaiting);
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kWaiting);
  EXPECT_FALSE(watch_.EverConnected());

  driver_.attached = true;
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kConnected);
  EXPECT_EQ(watch_.Summary(), "Test iPhone(iPhone 12.4)");
  const int connects = driver_.connects;
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kConnected);
  EXPECT_EQ(driver_.connects, connects);  // nothing changed: no reconnect

  driver_.attached = false;
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kWaiting);
  driver_.attached = true;
  driver_.name = "Office iPhone";
  driver_.version = "";  // unknown version: no blank before ")"
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kConnected);
  EXPECT_EQ(watch_.Summary(), "Office iPhone(iPhone)");
  EXPECT_TRUE(watch_.EverConnected());
  EXPECT_EQ(sleeps_, 0);
}

TEST_F(Watch, EncryptionFlagIsTheOneSeenAtTheLastReconnect) {
  driver_.willEncryptOnConnect = true;
  ASSERT_EQ(watch_.Tick(), DeviceScreen::kConnected);
  EXPECT_TRUE(watch_.WillEncrypt());
  testing::Verdict(driver_.device, 0);
  ASSERT_EQ(driver_.DisableEncryption("pw"), kResultOk);
  EXPECT_FALSE(driver_.WillEncrypt());
  watch_.Tick();
  EXPECT_TRUE(watch_.WillEncrypt());  // unchanged until a reconnect

  // A reconnect first switches the encryption back on, then reads the flag afresh.
  driver_.attached = false;
  testing::Verdict(driver_.device, 0);
  watch_.Tick();
  EXPECT_FALSE(watch_.WillEncrypt());
  EXPECT_FALSE(driver_.EncryptionSwitchedOff());
}

TEST_F(Watch, ReconnectStopsARunningBackupAndWaitsForIt) {
  ASSERT_EQ(watch_.Tick(), DeviceScreen::kConnected);
  fixtures::TempDir dir;
  // The device starts a backup and keeps asking for the free space; only the abort ends it.
  driver_.device.Message("DLMessageCreateDirectory",
                         testing::Msg("DLMessageCreateDirectory", {testing::Str("udid-1/00")}));
  std::atomic<bool> started{false};
  driver_.device.onReceive = [&](int) {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  constexpr int kRequests = 5000;
  for (int i = 0; i < kRequests; ++i)
    driver_.device.Message("DLMessageGetFreeDiskSpace", testing::Msg("DLMessageGetFreeDiskSpace"));
  Result backup = kResultOk;
  std::thread worker([&] { backup = driver_.RunBackup(dir / "dest", nullptr, nullptr, 20); });
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  driver_.attached = false;  // unplugged
  EXPECT_EQ(watch_.Tick(), DeviceScreen::kWaiting);
  worker.join();
  EXPECT_EQ(backup, -1);
  EXPECT_LT(driver_.device.receives, kRequests);  // ended by the abort, not by running dry
  EXPECT_TRUE(driver_.Idle());
  EXPECT_FALSE(driver_.Connected());
}

}  // namespace
}  // namespace kestrio
