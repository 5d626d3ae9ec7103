// The device commands of kestrio-cli over a scripted device.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <sstream>

#include "cli/cli.h"
#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/json.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;
using testing::FakeDeviceDriver;

constexpr char kUdid[] = "00008020-0011223344556677";

class DeviceCli : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    driver_.connected = false;
    terminal_.device = &driver_;
    terminal_.deviceSupport = [this] { return support_; };
    terminal_.temporaryFolder = dir_ / "tmp_backup";
  }
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return cli::RunCli(args, terminal_);
  }

  fx::TempDir dir_;
  FakeDeviceDriver driver_{kUdid, false};
  bool support_ = true;
  std::ostringstream out_, err_;
  cli::Terminal terminal_{out_, err_};
};

TEST_F(DeviceCli, MissingSupportOrDeviceIsSaidPlainlyWithExitFour) {
  support_ = false;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"device", "info"},
           {"device", "backup", (dir_ / "b").string()},
           {"scan", "--device"},
           {"recover", "--device", "--out", (dir_ / "out").string()}}) {
    EXPECT_EQ(Run(args), cli::kExitUnopened) << args[0];
    EXPECT_NE(err_.str().find("usbmuxd"), std::string::npos) << err_.str();
  }
  EXPECT_EQ(driver_.connects, 0);

  support_ = true;
  driver_.attached = false;
  EXPECT_EQ(Run({"device", "info"}), cli::kExitUnopened);
  EXPECT_NE(err_.str().find("no iPhone found"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"device", "backup", (dir_ / "b").string()}), cli::kExitUnopened);
  EXPECT_FALSE(fs::exists(dir_ / "b"));  // nothing is made without a device

  EXPECT_EQ(Run({"device"}), cli::kExitUsage);
  EXPECT_EQ(Run({"device", "backup"}), cli::kExitUsage);
  EXPECT_EQ(Run({"device", "info", "extra"}), cli::kExitUsage);
  EXPECT_EQ(Run({"scan", "--device", "folder"}), cli::kExitUsage);
}

TEST_F(DeviceCli, InfoDescribesTheDevice) {
  driver_.willEncryptOnConnect = true;
  driver_.version = "";
  ASSERT_EQ(Run({"device", "info"}), cli::kExitOk) << err_.str();
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')), "Test iPhone(iPhone)");
  EXPECT_NE(out_.str().find("backups encrypted"), std::string::npos);

  driver_.version = "17.1";
  ASSERT_EQ(Run({"device", "info", "--json"}), cli::kExitOk) << err_.str();
  const auto json = testing::ParseJson(out_.str());
  ASSERT_TRUE(json);
  EXPECT_EQ(json->Keys(), (std::vector<std::string>{"displayName", "deviceClass", "productVersion",
                                                    "udid", "willEncrypt"}));
  EXPECT_EQ((*json)["productVersion"].text, "17.1");
  EXPECT_EQ((*json)["udid"].text, kUdid);
  EXPECT_TRUE((*json)["willEncrypt"].boolean);
  EXPECT_FALSE(driver_.Connected());  // let go after the command
}

TEST_F(DeviceCli, BackupOfAnEncryptingDeviceNeedsThePasswordAndRestoresEncryption) {
  driver_.willEncryptOnConnect = true;
  const fs::path folder = dir_ / "mine";
  EXPECT_EQ(Run({"device", "backup", folder.string()}), cli::kExitPassword);
  EXPECT_NE(err_.str().find("--password"), std::string::npos);
  EXPECT_TRUE(driver_.device.sentMessages.empty());

  testing::Verdict(driver_.device, 0);  // off
  fx::BackupOptions options;
  options.seed = 3;
  fx::WriteBackup(dir_ / "content", options);
  testing::ScriptBackupOf(driver_.device, dir_ / "content", kUdid);
  testing::Verdict(driver_.device, 0);  // on again
  ASSERT_EQ(Run({"device", "backup", folder.string(), "--password", "pw"}), cli::kExitOk)
      << err_.str();
  EXPECT_NE(out_.str().find(folder.string() + "/" + kUdid), std::string::npos) << out_.str();
  EXPECT_NE(err_.str().find("switched on again afterwards"), std::string::npos);
  EXPECT_NE(err_.str().find("on again."), std::string::npos) << err_.str();
  EXPECT_EQ(driver_.device.sentMessages.size(), 3u);
  EXPECT_TRUE(driver_.WillEncrypt());
  // The user's own backup is kept whole.
  EXPECT_TRUE(fs::exists(folder / kUdid / "Manifest.db"));
  EXPECT_TRUE(fs::exists(folder / kUdid / "Info.plist"));
}

TEST_F(DeviceCli, WrongPasswordAndFailedRestoreAreSaid) {
  driver_.willEncryptOnConnect = true;
  testing::Verdict(driver_.device, 207, "Wrong password");
  EXPECT_EQ(Run({"device", "backup", (dir_ / "b").string(), "--password", "nope"}),
            cli::kExitPassword);
  EXPECT_NE(err_.str().find("refused the backup password: Wrong password"), std::string::npos)
      << err_.str();

  testing::Verdict(driver_.device, 0);  // off
  testing::Verdict(driver_.device, 0);  // an empty backup
  testing::Verdict(driver_.device, 9);  // on again: refused
  testing::Verdict(driver_.device, 9);  // and refused again at the end of the command
  EXPECT_EQ(Run({"device", "backup", (dir_ / "b").string(), "--password", "pw"}), cli::kExitOk);
  EXPECT_NE(err_.str().find("WARNING"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("NOT encrypted"), std::string::npos);
}

TEST_F(DeviceCli, DeviceScanAndRecoverGiveWhatTheLocalScanGives) {
  fx::BackupOptions options;
  options.seed = 5;
  const fx::BackupModel model = fx::WriteBackup(dir_ / "content", options);
  ASSERT_EQ(Run({"scan", (dir_ / "content").string(), "--json", "-"}), cli::kExitOk);
  const auto local = testing::ParseJson(out_.str());
  ASSERT_TRUE(local);

  testing::ScriptBackupOf(driver_.device, dir_ / "content", kUdid);
  ASSERT_EQ(Run({"scan", "--device", "--json", "-"}), cli::kExitOk) << err_.str();
  const auto device = testing::ParseJson(out_.str());
  ASSERT_TRUE(device) << out_.str();
  const auto& backup = (*device)["backup"];
  EXPECT_EQ(backup.Keys(),
            (std::vector<std::string>{"displayName", "deviceClass", "productVersion", "udid"}));
  EXPECT_EQ(backup["udid"].text, kUdid);
  for (const char* key :
       {"cameraRoll", "photoStream", "messages", "contacts", "callHistory", "notes", "whatsApp"}) {
    EXPECT_EQ((*device)["categories"][key].items.size(), (*local)["categories"][key].items.size())
        << key;
  }
  // The temporary backup is gone after the command.
  EXPECT_TRUE(fs::is_empty(dir_ / "tmp_backup" / kUdid));
  EXPECT_FALSE(fs::exists(dir_ / "tmp_backup" / "sms"));

  testing::ScriptBackupOf(driver_.device, dir_ / "content", kUdid);
  ASSERT_EQ(
      Run({"recover", "--device", "--out", (dir_ / "out").string(), "--category", "cameraRoll"}),
      cli::kExitOk)
      << err_.str();
  const std::string line = "Recovered " + std::to_string(model.cameraRoll.size()) + " of " +
                           std::to_string(model.cameraRoll.size()) + " item(s)";
  EXPECT_NE(out_.str().find(line), std::string::npos) << out_.str();
}

}  // namespace
}  // namespace kestrio
