// The scan back-end over a device source: a scripted device whose content is a generated backup:
// the device backs itself up into the temporary backup folder, and the scan of that fresh backup
// must find what the scan of the same backup on disk finds.
#include "scan/device_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <set>

#include "backup/backup_store.h"
#include "scan/scan_run.h"
#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;
using testing::FakeDeviceDriver;

constexpr char kUdid[] = "00008101-001C2D3E4F5A6B7C";

class DeviceScan : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    fx::BackupOptions options;
    options.layout = fx::BackupLayout::kManifestDb;
    options.seed = 11;
    model_ = fx::WriteBackup(dir_ / "content", options);
  }
  BackupStoreFolders Folders(const std::string& name) const {
    BackupStoreFolders folders;
    folders.workFolder = dir_ / (name + "_work");
    const fs::path temporary = dir_ / (name + "_tmp");
    folders.temporaryBackupFolder = [temporary] { return temporary; };
    return folders;
  }
  fs::path Temporary() const { return dir_ / "device_tmp"; }

  fx::TempDir dir_;
  fx::BackupModel model_;
};

std::vector<std::pair<std::string, std::uint32_t>> Names(const std::vector<FileRecord>& files) {
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (const FileRecord& f : files) out.emplace_back(f.name, f.size);
  return out;
}

TEST_F(DeviceScan, FreshDeviceBackupScansLikeTheSameBackupOnDisk) {
  // The scan of the backup folder itself.
  BackupStore store(Folders("local"));
  BackupSummary summary;
  ASSERT_EQ(ReadBackupSummary(dir_ / "content", summary), kResultOk);
  store.ChooseBackup(summary);
  ScanRun local(CreateScanBackend(SourceKind::kBackupFolder, &store), "", {});
  ASSERT_EQ(local.Run(), kResultOk);

  // The device holds the same files and backs them up.
  FakeDeviceDriver driver(kUdid, /*willEncrypt=*/false);
  testing::ScriptBackupOf(driver.device, dir_ / "content", kUdid);
  auto source = std::make_unique<DeviceSource>(driver, Folders("device"));
  DeviceSource* deviceSource = source.get();
  auto backend = std::make_unique<ScanBackend>(std::move(source));
  ScanBackend* device = backend.get();
  std::vector<std::int32_t> reports;
  std::map<std::string, Result> errors;
  ScanObserver observer;
  observer.failed = [&errors](std::optional<ScanCategory> c, Result r) {
    errors[c ? std::string(ScanCategoryKey(*c)) : "open"] = r;
  };
  auto run = std::make_unique<ScanRun>(std::move(backend), "", observer);
  ScanRun& scan = *run;
  device->SetProgressCallback([&](std::int32_t percent) {
    reports.push_back(percent);
    return scan.Report(percent);
  });
  ASSERT_EQ(scan.Run(), kResultOk);
  EXPECT_TRUE(errors.empty()) << errors.begin()->first << " " << errors.begin()->second;

  // Open: 1, the device's own progress within 0..20, then 20.
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.front(), 1);
  const auto opened = std::find(reports.begin() + 1, reports.end(), 20);
  ASSERT_NE(opened, reports.end());
  EXPECT_TRUE(std::all_of(reports.begin(), opened, [](std::int32_t p) { return p <= 20; }));
  EXPECT_TRUE(std::is_sorted(reports.begin() + 1, opened));

  // The backup arrived whole (Info.plist is ours), and the databases were copied out.
  const fs::path backup = dir_ / "device_tmp" / kUdid;
  EXPECT_EQ(deviceSource->DeviceBackupFolder(), backup);
  for (const auto* key : {&fx::kSmsDbKey, &fx::kAddressBookKey, &fx::kNotesKey}) {
    const fx::BackupEntry* entry = model_.Find(*key);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(testing::ReadBytes(backup / fs::relative(entry->path, dir_ / "content")),
              testing::ReadBytes(entry->path));
  }
  EXPECT_EQ(testing::ReadBytes(backup / "Manifest.db"),
            testing::ReadBytes(dir_ / "content" / "Manifest.db"));
  EXPECT_FALSE(fs::exists(backup / "Snapshot"));
  EXPECT_EQ(testing::ReadBytes(dir_ / "device_tmp" / "sms"),
            testing::ReadBytes(model_.Find(fx::kSmsDbKey)->path));

  // The same categories as the local scan.
  const ScanResults& l = local.Results();
  const ScanResults& d = scan.Results();
  EXPECT_EQ(Names(d.cameraRoll), Names(l.cameraRoll));
  // The photo library is copied out as well: the same Camera Roll files are trashed.
  EXPECT_EQ(testing::ReadBytes(dir_ / "device_tmp" / "Photos"),
            testing::ReadBytes(model_.Find(fx::kPhotoLibraryKey)->path));
  auto trashed = [](const std::vector<FileRecord>& files) {
    std::vector<std::string> keys;
    for (const FileRecord& f : files) {
      if (f.deleted) keys.push_back(f.key);
    }
    return keys;
  };
  EXPECT_FALSE(trashed(l.cameraRoll).empty());
  EXPECT_EQ(trashed(d.cameraRoll), trashed(l.cameraRoll));
  EXPECT_EQ(Names(d.photoStream), Names(l.photoStream));
  EXPECT_EQ(d.messageAttachments.size(), l.messageAttachments.size());
  EXPECT_EQ(d.messages.size(), l.messages.size());
  for (auto li = l.messages.begin(), di = d.messages.begin();
       li != l.messages.end() && di != d.messages.end(); ++li, ++di) {
    ASSERT_EQ(li->second.size(), di->second.size()) << li->first;
    for (std::size_t i = 0; i < li->second.size(); ++i)
      EXPECT_EQ(li->second[i].text, di->second[i].text);
  }
  EXPECT_EQ(d.contacts.size(), l.contacts.size());
  EXPECT_EQ(d.callHistory.size(), l.callHistory.size());
  EXPECT_EQ(d.notes.size(), l.notes.size());
  EXPECT_EQ(d.whatsApp.size(), l.whatsApp.size());
  // The device's chats learn which files their messages show, as the local scan's do.
  auto shown = [](const ScanResults& r) {
    std::multiset<std::string> files;
    for (const auto& [session, messages] : r.whatsApp) {
      for (const WhatsAppMessageRecord& m : messages) {
        if (!m.mediaFile.empty()) files.insert(m.mediaFile.str());
      }
    }
    return files;
  };
  EXPECT_FALSE(shown(l).empty());
  EXPECT_EQ(shown(d), shown(l));
  // The device's WhatsApp walk also takes the app's group domain.
  for (const auto& file : Names(l.whatsAppAttachments)) {
    const auto found = Names(d.whatsAppAttachments);
    EXPECT_NE(std::find(found.begin(), found.end(), file), found.end()) << file.first;
  }
  // The device's app walk also keeps WhatsApp's files and takes group domains.
  EXPECT_GE(d.appFiles.size(), l.appFiles.size());
  for (ScanCategory c :
       {ScanCategory::kCameraRoll, ScanCategory::kMessages, ScanCategory::kContacts,
        ScanCategory::kCallHistory, ScanCategory::kNotes, ScanCategory::kWhatsApp})
    EXPECT_GT(d.Count(c), 0u) << ScanCategoryKey(c);

  // The row dumps read the copies.
  EXPECT_EQ(device->WriteMessagesCsv(dir_ / "sms.csv"), kResultOk);
  EXPECT_GT(fs::file_size(dir_ / "sms.csv"), 0u);

  // Destroying the back-end removes everything it made, and only that.
  fs::create_directories(dir_ / "device_tmp" / "sub");
  testing::WriteBytes(dir_ / "device_tmp" / "sub" / "keep", {1});
  run.reset();
  EXPECT_TRUE(fs::is_empty(backup));
  EXPECT_FALSE(fs::exists(dir_ / "device_tmp" / "sms"));
  EXPECT_TRUE(fs::exists(dir_ / "device_tmp" / "sub" / "keep"));
  EXPECT_TRUE(fs::exists(dir_ / "content" / "Manifest.db"));
}

TEST_F(DeviceScan, DeviceErrorDuringTheBackupFailsOpenAndLeavesNoFiles) {
  FakeDeviceDriver driver(kUdid, false);
  driver.device.Message("DLMessageUploadFiles",
                        testing::Msg("DLMessageUploadFiles", {testing::Dict({})}));
  driver.device.Raw(testing::Upload()
                        .File(std::string(kUdid) + "/Status.plist")
                        .Data("partial")
                        .EndFile()
                        .End()
                        .bytes);
  testing::Verdict(driver.device, 105, "Insufficient free space");
  {
    ScanBackend device(std::make_unique<DeviceSource>(driver, Folders("device")));
    EXPECT_EQ(device.Open(""), -105);
    EXPECT_EQ(driver.ErrorDescription(), "Insufficient free space");
    EXPECT_FALSE(fs::exists(dir_ / "device_tmp" / kUdid / "Status.plist"));
    // Without the device backup's index every walk gives 87 and nothing.
    std::vector<FileRecord> roll{FileRecord{}}, stream, whatsApp{FileRecord{}};
    EXPECT_EQ(device.ScanPhotos(roll, stream), kResultInvalid);
    EXPECT_TRUE(roll.empty());
    std::vector<AttachmentFileRecord> attachments{AttachmentFileRecord{}};
    EXPECT_EQ(device.ScanMessageAttachments(attachments), kResultInvalid);
    EXPECT_TRUE(attachments.empty());
    std::vector<AppFileRecord> apps{AppFileRecord{}};
    EXPECT_EQ(device.ScanAppFiles(apps), kResultInvalid);
    EXPECT_TRUE(apps.empty());
    EXPECT_EQ(device.ScanWhatsAppAttachments(whatsApp), kResultInvalid);
    EXPECT_TRUE(whatsApp.empty());
    ChatAppConversationMap qq;
    WeChatAccountMap weChat;
    EXPECT_EQ(device.ScanQQ(qq), kResultInvalid);
    EXPECT_EQ(device.ScanWeChat(weChat), kResultInvalid);
    EXPECT_TRUE(qq.empty() && weChat.empty());
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "device_tmp" / kUdid));
}

TEST_F(DeviceScan, WithoutATemporaryFolderNothingIsBackedUpAndNoCopyIsNamed) {
  FakeDeviceDriver driver(kUdid, false);
  testing::ScriptBackupOf(driver.device, dir_ / "content", kUdid);
  BackupStoreFolders folders = Folders("device");
  folders.temporaryBackupFolder = nullptr;  // no file system with room for a backup
  auto source = std::make_unique<DeviceSource>(driver, folders);
  const DeviceSource& copies = *source;
  ScanBackend device(std::move(source));
  std::vector<std::int32_t> reports;
  device.SetProgressCallback([&reports](std::int32_t p) {
    reports.push_back(p);
    return kResultOk;
  });
  EXPECT_EQ(device.Open(""), kResultInvalid);
  EXPECT_EQ(reports, std::vector<std::int32_t>{1});
  EXPECT_EQ(device.Kind(), SourceKind::kDevice);
  EXPECT_TRUE(copies.Database(KnownDatabase::kAddressBook).empty());
  EXPECT_TRUE(copies.WhatsAppChatDatabases().front().empty());
  EXPECT_NE(device.WriteMessagesCsv(dir_ / "sms.csv"), kResultOk);
}

TEST_F(DeviceScan, StopDuringTheDeviceBackupGivesUpQuietly) {
  FakeDeviceDriver driver(kUdid, false);
  testing::ScriptBackupOf(driver.device, dir_ / "content", kUdid, 4);
  auto backend =
      std::make_unique<ScanBackend>(std::make_unique<DeviceSource>(driver, Folders("device")));
  std::vector<ScanEvent> events;
  std::vector<Result> failures;
  ScanObserver observer;
  observer.event = [&events](ScanEvent e) { events.push_back(e); };
  observer.failed = [&failures](std::optional<ScanCategory>, Result r) { failures.push_back(r); };
  ScanRun scan(std::move(backend), "", observer);
  scan.SetAbortCounter(&driver.AbortCounter());
  // The user presses Stop while the device is sending its files.
  driver.device.onReceive = [&scan](int receive) {
    if (receive == 6) scan.Stop();
  };
  EXPECT_EQ(scan.Run(), kResultStopped);
  EXPECT_GT(driver.AbortCounter().load(), 0);
  // A stopped device backup is no failure to report.
  EXPECT_EQ(events, std::vector<ScanEvent>{ScanEvent::kFirstProgress});
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(scan.Results().Count(ScanCategory::kMessages), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "device_tmp" / kUdid / "Manifest.db"));
}

}  // namespace
}  // namespace kestrio
