#include "parsers/photo_library.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

#include "base/time_text.h"
#include "tests/fixtures/fixture_internal.h"
#include "tests/fixtures/photo_library.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

std::vector<std::string> CameraRollPaths(int count) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    char path[64];
    std::snprintf(path, sizeof path, "Media/DCIM/%dAPPLE/IMG_%04d.%s", 100 + i / 20, i + 1,
                  i % 4 == 3 ? "MOV" : "HEIC");
    paths.emplace_back(path);
  }
  return paths;
}

bool HasFinding(const FindingsList& findings, std::string_view part) {
  for (const Finding& f : findings.Snapshot()) {
    if (f.file == kPhotoLibraryLabel &&
        (f.why.find(part) != std::string::npos || f.where.find(part) != std::string::npos))
      return true;
  }
  return false;
}

void ExpectAsset(const PhotoAsset& asset, const fx::PhotoAssetRow& row) {
  EXPECT_EQ(asset.rowId, row.rowId);
  EXPECT_EQ(asset.relativePath, row.relativePath);
  EXPECT_EQ(asset.trashed, row.trashed) << row.relativePath;
  EXPECT_EQ(asset.hidden, row.hidden) << row.relativePath;
  EXPECT_EQ(asset.originalName, row.originalName) << row.relativePath;
  if (row.dateAsText) {
    EXPECT_EQ(asset.dateText, "") << row.relativePath;
  } else {
    const auto whole = static_cast<std::int64_t>(std::floor(row.dateCreated));
    EXPECT_EQ(asset.dateText, AppleTimeText(whole)) << row.relativePath;
  }
  EXPECT_EQ(asset.trashedDateText.empty(), !row.trashed) << row.relativePath;
}

class PhotoLibraryLayouts : public ::testing::TestWithParam<fx::PhotoLibraryLayout> {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  fx::TempDir dir;
};

TEST_P(PhotoLibraryLayouts, LiveRowsGiveEveryAssetAsWrittenAndPurgedRowsOnlyAsCarved) {
  const fx::PhotoLibraryDb db = fx::WritePhotoLibrary(dir / "Photos.sqlite", GetParam(),
                                                      fx::CameraRollAssetRows(CameraRollPaths(60)));
  FindingsList findings;
  PhotoLibrary library;
  ASSERT_EQ(ReadPhotoLibrary(db.path, library, &findings), kResultOk);
  EXPECT_EQ(library.table, fx::PhotoAssetTable(GetParam()));

  const auto live = db.LiveAssets();
  ASSERT_EQ(library.assets.size(), live.size());
  std::size_t trashed = 0, expectedTrashed = 0;
  for (std::size_t i = 0; i < live.size(); ++i) {
    ExpectAsset(library.assets[i], *live[i]);
    trashed += library.assets[i].trashed ? 1 : 0;
    expectedTrashed += live[i]->trashed ? 1 : 0;
  }
  EXPECT_EQ(trashed, expectedTrashed);
  // The rows hold every case: trashed, hidden, original names, bare folders, whole dates.
  EXPECT_GT(expectedTrashed, 10u);
  auto count = [&](auto test) { return std::count_if(live.begin(), live.end(), test); };
  EXPECT_GT(count([](const fx::PhotoAssetRow* r) { return r->hidden; }), 5);
  EXPECT_GT(count([](const fx::PhotoAssetRow* r) { return !r->originalName.empty(); }), 5);
  EXPECT_GT(
      count([](const fx::PhotoAssetRow* r) { return r->directory.find('/') == std::string::npos; }),
      3);
  EXPECT_GT(count([](const fx::PhotoAssetRow* r) {
              return r->dateCreated == std::floor(r->dateCreated);
            }),
            5);

  // The purged "Recently Deleted" row is gone from the live list; its bytes stay in the free
  // space, where the reader finds it but does not let it mark anything.
  const auto purged = std::find_if(db.rows.begin(), db.rows.end(),
                                   [](const fx::PhotoAssetRow& r) { return r.purged; });
  ASSERT_NE(purged, db.rows.end());
  EXPECT_FALSE(std::any_of(library.assets.begin(), library.assets.end(), [&](const PhotoAsset& a) {
    return a.relativePath == purged->relativePath;
  }));
  ASSERT_EQ(db.census.probed, 1);
  ASSERT_EQ(db.census.nowhere, 0);
  const auto carved =
      std::find_if(library.carved.begin(), library.carved.end(),
                   [&](const PhotoAsset& a) { return a.relativePath == purged->relativePath; });
  ASSERT_NE(carved, library.carved.end());
  EXPECT_TRUE(carved->trashed);
  EXPECT_EQ(carved->rowId, 0);
  EXPECT_TRUE(HasFinding(findings, "free space"));
  EXPECT_FALSE(HasFinding(findings, "no safe file path"));
  EXPECT_FALSE(HasFinding(findings, "not a number"));
}

INSTANTIATE_TEST_SUITE_P(Both, PhotoLibraryLayouts,
                         ::testing::Values(fx::PhotoLibraryLayout::kIos9,
                                           fx::PhotoLibraryLayout::kIos14),
                         [](const auto& info) {
                           return info.param == fx::PhotoLibraryLayout::kIos9 ? "Ios9" : "Ios14";
                         });

TEST(AssetRelativePath, FolderFormsAndUnsafeParts) {
  EXPECT_EQ(AssetRelativePath("DCIM/100APPLE", "IMG_0001.HEIC"),
            "Media/DCIM/100APPLE/IMG_0001.HEIC");
  EXPECT_EQ(AssetRelativePath("100APPLE", "IMG_0001.HEIC"), "Media/DCIM/100APPLE/IMG_0001.HEIC");
  EXPECT_EQ(AssetRelativePath("PhotoData/CPLAssets/group12", "B1.JPG"),
            "Media/PhotoData/CPLAssets/group12/B1.JPG");
  EXPECT_EQ(AssetRelativePath("DCIM/100APPLE", "IMG..0001.JPG"),
            "Media/DCIM/100APPLE/IMG..0001.JPG");  // dots inside a name are harmless
  EXPECT_EQ(AssetRelativePath("DCIM/100APPLE", "Ägypten.JPG"), "Media/DCIM/100APPLE/Ägypten.JPG");

  for (const auto& [directory, name] : std::vector<std::pair<std::string, std::string>>{
           {"DCIM/../../../etc", "passwd"},
           {"..", "IMG_0001.JPG"},
           {"DCIM/./100APPLE", "IMG_0001.JPG"},
           {"DCIM/100APPLE", ".."},
           {"DCIM/100APPLE", "."},
           {"/var/mobile/Media/DCIM/100APPLE", "IMG_0001.JPG"},
           {"DCIM//100APPLE", "IMG_0001.JPG"},
           {"DCIM/100APPLE/", "IMG_0001.JPG"},
           {"", "IMG_0001.JPG"},
           {"DCIM/100APPLE", ""},
           {"DCIM/100APPLE", "sub/IMG_0001.JPG"},
           {"DCIM/100APPLE", std::string("IMG\0.JPG", 8)},
           {"DCIM/100APPLE", "IMG\x01.JPG"},
           {"DCIM/100APPLE", "IMG\x7f.JPG"},
           {"DCIM/100APP\nLE", "IMG_0001.JPG"},
           {"DCIM/100APPLE", "IMG\xff.JPG"},  // not UTF-8
       }) {
    EXPECT_EQ(AssetRelativePath(directory, name), "") << directory << " | " << name;
  }
}

// A library that disagrees with any sane file list: unusable paths, a date that is text.
TEST(ReadPhotoLibrary, UnusableRowsAreLeftOutAndTextDatesKeptWithoutADate) {
  fx::TempDir dir;
  std::vector<fx::PhotoAssetRow> rows(9);
  const std::pair<const char*, std::string> kRows[] = {
      {"DCIM/100APPLE", "IMG_0001.JPG"},
      {"DCIM/../../../private/var", "IMG_0002.JPG"},
      {"/private/var/mobile/Media/DCIM/100APPLE", "IMG_0003.JPG"},
      {"DCIM/100APPLE", std::string("IMG_0004\0.JPG", 13)},
      {"DCIM/100APPLE", "IMG_\x1b[2J.JPG"},
      {"DCIM/100APPLE", ".."},
      {"", "IMG_0007.JPG"},
      {"DCIM/100APPLE", "IMG_0008.JPG"},  // its date is text
      {"100APPLE", "IMG_0009.JPG"},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].directory = kRows[i].first;
    rows[i].fileName = kRows[i].second;
    rows[i].dateCreated = 700'000'000.5 + static_cast<double>(i);
    rows[i].trashed = i % 2 == 1;
  }
  rows[7].dateAsText = true;
  rows[7].trashed = true;
  const fx::PhotoLibraryDb db =
      fx::WritePhotoLibrary(dir / "Photos.sqlite", fx::PhotoLibraryLayout::kIos14, rows);
  ASSERT_EQ(db.LiveAssets().size(), 3u);  // the fixture agrees on which rows are usable

  FindingsList findings;
  PhotoLibrary library;
  ASSERT_EQ(ReadPhotoLibrary(db.path, library, &findings), kResultOk);
  ASSERT_EQ(library.assets.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) ExpectAsset(library.assets[i], *db.LiveAssets()[i]);
  EXPECT_EQ(library.assets[1].relativePath, "Media/DCIM/100APPLE/IMG_0008.JPG");
  EXPECT_TRUE(library.assets[1].trashed);
  EXPECT_TRUE(HasFinding(findings, "6 rows whose ZDIRECTORY or ZFILENAME is no safe file path"));
  EXPECT_TRUE(HasFinding(findings, "row 2"));  // the first of them
  EXPECT_TRUE(HasFinding(findings, "1 rows whose ZDATECREATED is not a number"));
}

TEST(ReadPhotoLibrary, FilesOfNoKnownLayoutEndWithAFinding) {
  fx::TempDir dir;
  namespace in = fx::internal;
  {
    in::Database db(dir / "neither.sqlite", in::Database::Mode::kCreate);
    db.Exec(fx::RealTableSql("ios9-Photos.sqlite", "ZGENERICALBUM"));
    db.Exec(fx::RealTableSql("ios9-Photos.sqlite", "ZADDITIONALASSETATTRIBUTES"));
  }
  {
    in::Database db(dir / "nameless.sqlite", in::Database::Mode::kCreate);
    db.Exec("CREATE TABLE ZASSET (Z_PK INTEGER PRIMARY KEY, ZDIRECTORY VARCHAR, ZTITLE VARCHAR)");
    db.Exec("INSERT INTO ZASSET VALUES (1, 'DCIM/100APPLE', 'IMG_0001.JPG')");
  }
  {
    // Both tables, as a library upgraded in place might leave them: the newer one is read.
    in::Database db(dir / "both.sqlite", in::Database::Mode::kCreate);
    db.Exec(
        "CREATE TABLE ZGENERICASSET (Z_PK INTEGER PRIMARY KEY, ZDIRECTORY VARCHAR, "
        "ZFILENAME VARCHAR)");
    db.Exec("INSERT INTO ZGENERICASSET VALUES (1, 'DCIM/100APPLE', 'OLD.JPG')");
    db.Exec(
        "CREATE TABLE ZASSET (Z_PK INTEGER PRIMARY KEY, ZFILENAME VARCHAR, ZTRASHEDSTATE "
        "INTEGER, ZDIRECTORY VARCHAR)");
    db.Exec("INSERT INTO ZASSET VALUES (7, 'NEW.JPG', 1, 'DCIM/100APPLE')");
  }
  std::ofstream(dir / "text.sqlite") << "not a database, only some text that goes on for a while";

  FindingsList findings;
  PhotoLibrary library;
  EXPECT_EQ(ReadPhotoLibrary(dir / "neither.sqlite", library, &findings), kResultLayoutUnknown);
  EXPECT_TRUE(HasFinding(findings, "neither ZASSET nor ZGENERICASSET"));
  EXPECT_TRUE(library.assets.empty());

  EXPECT_EQ(ReadPhotoLibrary(dir / "nameless.sqlite", library, &findings), kResultLayoutUnknown);
  EXPECT_TRUE(HasFinding(findings, "has no column ZDIRECTORY or ZFILENAME"));
  EXPECT_TRUE(library.assets.empty());

  ASSERT_EQ(ReadPhotoLibrary(dir / "both.sqlite", library, &findings), kResultOk);
  EXPECT_EQ(library.table, "ZASSET");
  ASSERT_EQ(library.assets.size(), 1u);
  EXPECT_EQ(library.assets[0].relativePath, "Media/DCIM/100APPLE/NEW.JPG");
  EXPECT_EQ(library.assets[0].rowId, 7);
  EXPECT_TRUE(library.assets[0].trashed);
  EXPECT_TRUE(library.assets[0].dateText.empty());
  EXPECT_TRUE(HasFinding(findings, "has no column ZDATECREATED"));

  EXPECT_NE(ReadPhotoLibrary(dir / "text.sqlite", library, &findings), kResultOk);
  EXPECT_NE(ReadPhotoLibrary(dir / "absent.sqlite", library, &findings), kResultOk);
  EXPECT_TRUE(library.assets.empty());
}

// Cut short and overwritten copies of a real-layout library: whatever the result, the reader
// ends, and every asset it returns names a safe path.
TEST(ReadPhotoLibrary, DamagedFilesEndWithWhatCouldBeRead) {
  fx::TempDir dir;
  const fx::PhotoLibraryDb db =
      fx::WritePhotoLibrary(dir / "Photos.sqlite", fx::PhotoLibraryLayout::kIos9,
                            fx::CameraRollAssetRows(CameraRollPaths(80)));
  std::ifstream in(db.path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 4096u * 4);
  std::mt19937 rng(15);
  std::size_t readSome = 0;
  for (int round = 0; round < 40; ++round) {
    std::string damaged = bytes;
    if (round % 4 == 0) {
      damaged.resize(damaged.size() * static_cast<std::size_t>(round + 1) / 41);
    } else {
      for (int n = 0; n < 1 + round * 4; ++n) {
        // Pages after the first: the header stays readable so the damage reaches the tables.
        const std::size_t at = 100 + rng() % (damaged.size() - 100);
        damaged[at] = static_cast<char>(rng());
      }
    }
    const auto path = dir / ("damaged" + std::to_string(round));
    std::ofstream(path, std::ios::binary) << damaged;
    FindingsList findings;
    PhotoLibrary library;
    ReadPhotoLibrary(path, library, &findings);
    for (const PhotoAsset& asset : library.assets) {
      EXPECT_EQ(AssetRelativePath(asset.relativePath.substr(6, asset.relativePath.rfind('/') - 6),
                                  asset.relativePath.substr(asset.relativePath.rfind('/') + 1)),
                asset.relativePath);
    }
    readSome += library.assets.empty() ? 0 : 1;
  }
  EXPECT_GT(readSome, 0u);
}

}  // namespace
}  // namespace kestrio
