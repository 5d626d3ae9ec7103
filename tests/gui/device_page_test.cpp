// The start page of a connected device: the page the device check shows, and the start of a
// device scan, with the device's backup password when its backups are encrypted.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <deque>
#include <memory>
#include <optional>

#include "gui/device_page.h"
#include "gui/message_box.h"
#include "gui/page_host.h"
#include "gui/toolkit/texts.h"
#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/gui/gui_support.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
using testing::DialogScript;
using testing::FakeDeviceDriver;
using testing::FakeHost;
using testing::Shown;
using toolkit::MessageText;

class DevicePageTest : public ::testing::Test {
 protected:
  DevicePageTest() {
    driver_.connected = false;
    driver_.attached = false;
  }

  void Load() {
    page_ = std::make_unique<DevicePage>(host_, &container_, driver_, [this] { return support_; });
    QString error;
    ASSERT_TRUE(page_->Init(&error)) << error.toStdString();
  }
  void Click(const char* name) {
    auto* button = page_->Content()->findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    button->click();
  }
  QString DeviceInfo() const { return page_->Content()->findChild<QLabel*>("IphoneInfo")->text(); }
  // Plugs in a device and lets the check find it.
  void Connect(bool encrypting) {
    driver_.attached = true;
    driver_.willEncryptOnConnect = encrypting;
    page_->Tick();
    ASSERT_EQ(page_->CurrentPage(), DeviceScreen::kConnected);
    ASSERT_EQ(page_->Watch().WillEncrypt(), encrypting);
  }

  fixtures::TempDir work_;
  // The device outlives the host, which may still hold the device's encryption switch.
  FakeDeviceDriver driver_{"udid-page", false};
  FakeHost host_{{}, work_.path()};
  bool support_ = true;
  QWidget container_;
  std::unique_ptr<DevicePage> page_;
};

TEST_F(DevicePageTest, MissingSupportShowsItsPageUntilRetryFindsIt) {
  support_ = false;
  Load();
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kSupportMissing);
  page_->Tick();
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kSupportMissing);
  Click("BtnAppleUrl");
  EXPECT_EQ(host_.helpPages, QStringList{"usbmuxd.html"});
  Click("BtnItunesRetry");
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kSupportMissing);  // not installed yet
  support_ = true;
  Click("BtnItunesRetry");
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kWaiting);
  EXPECT_EQ(driver_.connects, 0);
}

TEST_F(DevicePageTest, ChecksFollowTheDeviceThroughConnectAndUnplug) {
  Load();
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kWaiting);
  page_->Tick();
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kWaiting);

  Connect(false);
  EXPECT_EQ(DeviceInfo(), "Test iPhone(iPhone 12.4)");
  driver_.attached = false;
  page_->Tick();
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kWaiting);

  driver_.attached = true;
  driver_.name = "Office iPhone";
  page_->Tick();
  EXPECT_EQ(page_->CurrentPage(), DeviceScreen::kConnected);
  EXPECT_EQ(DeviceInfo(), "Office iPhone(iPhone 12.4)");
  EXPECT_TRUE(host_.scanRequests.empty());
}

TEST_F(DevicePageTest, TimerRunsAfterInitAndPausesForAScan) {
  Load();
  EXPECT_TRUE(page_->TimerRunning());
  page_->PauseTimer();
  EXPECT_FALSE(page_->TimerRunning());
  page_->ResumeTimer();
  EXPECT_TRUE(page_->TimerRunning());
}

TEST_F(DevicePageTest, StartScanOfAPlainDeviceAsksNothing) {
  Load();
  Connect(false);
  {
    DialogScript none;
    Click("BtnDeviceScan");
  }
  EXPECT_EQ(host_.scanRequests, std::vector<SourceKind>{SourceKind::kDevice});
  EXPECT_EQ(host_.password, "");  // no password of an earlier scan goes along
}

TEST_F(DevicePageTest, StartScanOfAnEncryptingDeviceNeedsItsBackupPassword) {
  Load();
  Connect(true);

  // Cancelled: nothing is sent to the device.
  {
    DialogScript script{{"BtnCancel"}};
    Click("BtnDeviceScan");
    ASSERT_EQ(script.Dialogs().size(), 1u);
    EXPECT_EQ(script.Dialogs()[0].dialog, "DecryptionWndPopup");
  }
  EXPECT_TRUE(host_.scanRequests.empty());
  EXPECT_TRUE(driver_.device.sentMessages.empty());

  // Refused by the device.
  testing::Verdict(driver_.device, 207, "wrong password");
  {
    DialogScript script{{"BtnOK", "wrong"}, {"okbtn"}};
    Click("BtnDeviceScan");
    ASSERT_EQ(script.Dialogs().size(), 2u);
    EXPECT_EQ(script.Dialogs()[1].title,
              MessageText(MessageBox::TitleId(MessageBoxKind::kInformation)));
    EXPECT_EQ(script.Dialogs()[1].message, MessageText("MSG0302"));
    EXPECT_EQ(script.Dialogs()[1].size, QSize(550, 200));
  }
  EXPECT_EQ(driver_.device.sentMessages.size(), 1u);
  EXPECT_TRUE(host_.scanRequests.empty());
  EXPECT_EQ(host_.password, "left over");
  EXPECT_FALSE(driver_.EncryptionSwitchedOff());

  // Accepted: encryption is off for the backup and the password kept for the scan.
  testing::Verdict(driver_.device, 0);
  {
    DialogScript script{{"BtnOK", "right"}};
    Click("BtnDeviceScan");
    EXPECT_TRUE(script.Done());
  }
  EXPECT_EQ(host_.scanRequests, std::vector<SourceKind>{SourceKind::kDevice});
  EXPECT_EQ(host_.password, "right");
  EXPECT_TRUE(driver_.EncryptionSwitchedOff());
}

TEST_F(DevicePageTest, ScanStartErrorBreaksTheMessageIntoLines) {
  Load();
  DialogScript script{{"okbtn"}};
  page_->ShowScanStartError();
  ASSERT_EQ(script.Dialogs().size(), 1u);
  const Shown& box = script.Dialogs()[0];
  EXPECT_EQ(box.title, "Error");
  EXPECT_EQ(box.size, QSize(600, 200));
  QString expected = MessageText("MSG0201");
  ASSERT_TRUE(expected.contains("\\n"));
  expected.replace("\\n", "\n");
  EXPECT_EQ(box.message, expected);
}

}  // namespace
}  // namespace kestrio
