// The Camera Roll walk with what the photo library says of its files: the matching itself,
// and the photos operation of a backup folder whose library is damaged or of no known layout
// (a sound one is scanned whole in full_scan_test.cpp).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <fstream>

#include "backup/backup_store.h"
#include "backup/media_files.h"
#include "scan/scan_backend.h"
#include "tests/fixtures/fixture_internal.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

FileRecord Camera(std::string_view relativePath) {
  FileRecord record;
  record.name = std::string(relativePath.substr(relativePath.rfind('/') + 1));
  record.key = "CameraRollDomain-" + std::string(relativePath);
  record.size = 4096;
  return record;
}

PhotoAsset Asset(std::string relativePath, bool trashed, std::string date = "2023-06-18 21:42:07") {
  PhotoAsset asset;
  asset.relativePath = std::move(relativePath);
  asset.trashed = trashed;
  asset.dateText = std::move(date);
  return asset;
}

std::vector<std::string> Whys(const FindingsList& findings) {
  std::vector<std::string> whys;
  for (const Finding& f : findings.Snapshot()) whys.push_back(f.why);
  return whys;
}

TEST(ApplyPhotoLibrary, MatchesByTheWholeKeyAndCountsWhatDisagrees) {
  std::vector<FileRecord> roll = {
      Camera("Media/DCIM/100APPLE/IMG_0001.JPG"), Camera("Media/DCIM/101APPLE/IMG_0001.JPG"),
      Camera("Media/DCIM/100APPLE/IMG_0002.HEIC"), Camera("Media/DCIM/100APPLE/IMG_0003.HEIC")};
  PhotoLibrary library;
  library.table = "ZASSET";
  library.assets = {Asset("Media/DCIM/101APPLE/IMG_0001.JPG", true),
                    Asset("Media/DCIM/100APPLE/IMG_0001.JPG", false, "2022-01-02 03:04:05"),
                    // A second live row of the same file: the first one wins.
                    Asset("Media/DCIM/100APPLE/IMG_0001.JPG", true),
                    Asset("Media/DCIM/100APPLE/IMG_0002.HEIC", false),
                    // Rows whose files the backup does not hold.
                    Asset("Media/DCIM/100APPLE/IMG_0900.HEIC", false),
                    Asset("Media/DCIM/100APPLE/IMG_0901.HEIC", true)};
  library.assets[3].hidden = true;
  library.assets[3].originalName = "Ägypten.heic";
  // A carved row never marks a file, whatever it says.
  library.carved = {Asset("Media/DCIM/100APPLE/IMG_0003.HEIC", true)};

  FindingsList findings;
  ApplyPhotoLibrary(library, roll, &findings);
  EXPECT_FALSE(roll[0].deleted);
  EXPECT_EQ(roll[0].dateText, "2022-01-02 03:04:05");
  EXPECT_TRUE(roll[1].deleted);
  EXPECT_FALSE(roll[1].hidden);
  EXPECT_TRUE(roll[2].hidden);
  EXPECT_FALSE(roll[2].deleted);
  EXPECT_EQ(roll[2].originalName, "Ägypten.heic");
  EXPECT_FALSE(roll[3].deleted);  // no live row
  EXPECT_EQ(roll[3].dateText, "");
  EXPECT_EQ(roll[3].name, "IMG_0003.HEIC");
  EXPECT_EQ(Whys(findings),
            (std::vector<std::string>{
                "2 rows (1 of them in Recently Deleted) name files the backup does not hold "
                "(kept in iCloud only, or the stored copy is missing or unreadable)",
                "1 Camera Roll files have no row in the library; listed without its facts"}));

  // A Photo Stream file or a key of another domain never matches a Camera Roll row.
  std::vector<FileRecord> other = {Camera("Media/DCIM/101APPLE/IMG_0001.JPG")};
  other[0].key = "MediaDomain-Media/DCIM/101APPLE/IMG_0001.JPG";
  ApplyPhotoLibrary(library, other, nullptr);
  EXPECT_FALSE(other[0].deleted);
}

class PhotosOperation : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    fx::BackupOptions options;
    options.seed = 21;
    model = fx::WriteBackup(dir / "backup", options);
  }

  // The photos operation over the backup folder as it now is.
  Result Scan(std::vector<FileRecord>& roll, FindingsList*& findings) {
    BackupStoreFolders folders;
    folders.workFolder = dir / "work";
    folders.temporaryBackupFolder = [this] { return dir / "tmp_backup"; };
    store = std::make_unique<BackupStore>(folders);
    BackupSummary summary;
    summary.folder = dir / "backup";
    store->ChooseBackup(summary);
    backend = CreateScanBackend(SourceKind::kBackupFolder, store.get());
    EXPECT_EQ(backend->Open(""), kResultOk);
    std::vector<FileRecord> stream;
    findings = &backend->Findings();
    return backend->ScanPhotos(roll, stream);
  }

  static bool Annotated(const FileRecord& f) {
    return f.deleted || f.hidden || !f.dateText.empty() || !f.originalName.empty();
  }

  fx::TempDir dir;
  fx::BackupModel model;
  std::unique_ptr<BackupStore> store;
  std::unique_ptr<ScanBackend> backend;
};

TEST_F(PhotosOperation, ADamagedOrUnknownLibraryLeavesTheListAndTheResultAsTheyAre) {
  std::vector<FileRecord> before;
  FindingsList* findings = nullptr;
  {
    // The same backup without its library: the walk alone.
    std::filesystem::path saved = dir / "saved.sqlite";
    std::filesystem::rename(model.photoLibrary, saved);
    ASSERT_EQ(Scan(before, findings), kResultOk);
    EXPECT_TRUE(findings->Snapshot().empty());
    std::filesystem::rename(saved, model.photoLibrary);
  }
  ASSERT_FALSE(before.empty());
  EXPECT_FALSE(std::any_of(before.begin(), before.end(), Annotated));

  auto expectUnchanged = [&](std::string_view what, std::string_view finding) {
    std::vector<FileRecord> roll;
    ASSERT_EQ(Scan(roll, findings), kResultOk) << what;
    ASSERT_EQ(roll.size(), before.size()) << what;
    for (std::size_t i = 0; i < roll.size(); ++i) {
      EXPECT_EQ(roll[i].key, before[i].key) << what;
      EXPECT_FALSE(Annotated(roll[i])) << what << " " << roll[i].key;
    }
    const auto whys = Whys(*findings);
    EXPECT_TRUE(std::any_of(whys.begin(), whys.end(), [&](const std::string& why) {
      return why.find(finding) != std::string::npos;
    })) << what;
  };

  // Not a database at all.
  std::ofstream(model.photoLibrary, std::ios::binary | std::ios::trunc)
      << std::string(8192, '\x5a');
  expectUnchanged("garbage", "Camera Roll files are listed without what it knows of them");

  // A database of another app.
  std::filesystem::remove(model.photoLibrary);
  {
    fx::internal::Database db(model.photoLibrary, fx::internal::Database::Mode::kCreate);
    db.Exec(fx::RealTableSql("ios9-sms.db", "message"));
  }
  expectUnchanged("no asset table", "neither ZASSET nor ZGENERICASSET");
}

}  // namespace
}  // namespace kestrio
