#include "backup/backup_summary.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <time.h>

#include <fstream>

#include "backup/manifest.h"
#include "base/text.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    had_ = getenv(name) != nullptr;
    setenv(name, value.c_str(), 1);
    tzset();
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
    tzset();
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string XmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
         "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
         "version=\"1.0\">\n<dict>\n" +
         body + "</dict>\n</plist>\n";
}

std::string Key(const std::string& key, const std::string& value, const char* type = "string") {
  return "\t<key>" + key + "</key>\n\t<" + type + ">" + value + "</" + type + ">\n";
}

TEST(BackupSummary, XmlPlistWithEntitiesAnyKeyOrderAndLocalTime) {
  ScopedEnv zone("TZ", "Europe/Berlin");
  fixtures::TempDir dir;
  // Serial Number first: every key is read whatever the order.
  WriteText(
      dir / "b1" / "Info.plist",
      XmlPlist(Key("Serial Number", "F2LX1234") + Key("Display Name", "Anna &amp; Ben's iPhone") +
               Key("Last Backup Date", "2016-12-31T23:30:00Z", "date") +
               Key("Phone Number", "+49 170 1234567") + Key("Product Version", "12.4.1")));
  BackupSummary summary;
  ASSERT_EQ(ReadBackupSummary(dir / "b1", summary), kResultOk);
  EXPECT_EQ(summary.folder, dir / "b1");
  EXPECT_EQ(summary.displayName, "Anna & Ben's iPhone");
  EXPECT_EQ(summary.serialNumber, "F2LX1234");
  EXPECT_EQ(summary.phoneNumber, "+49 170 1234567");
  EXPECT_EQ(summary.lastBackupDate, "2017-01-01 00:30:00");  // UTC+1 in winter
  EXPECT_TRUE(summary.version12);
  EXPECT_FALSE(summary.encrypted);

  // Summer time is applied too.
  WriteText(dir / "b2" / "Info.plist",
            XmlPlist(Key("Last Backup Date", "2021-07-01T12:00:00Z", "date") +
                     Key("Product Version", "9.3.5")));
  ASSERT_EQ(ReadBackupSummary(dir / "b2", summary), kResultOk);
  EXPECT_EQ(summary.lastBackupDate, "2021-07-01 14:00:00");
  EXPECT_FALSE(summary.version12);
  EXPECT_EQ(summary.phoneNumber, "");  // nothing carried over from the previous summary
  EXPECT_EQ(summary.displayName, "");
}

TEST(BackupSummary, HostileStringsEndAtANulAndAreMadeValidText) {
  ScopedEnv zone("TZ", "UTC");
  fixtures::TempDir dir;
  // Raw NUL bytes inside a string (libplist's own string getter aborts on these) and a byte
  // that is not UTF-8.
  WriteText(dir / "b" / "Info.plist", XmlPlist(Key("Serial Number", std::string("F2L\0\0X", 6)) +
                                               Key("Display Name", "Ben\xff")));
  BackupSummary summary;
  ASSERT_EQ(ReadBackupSummary(dir / "b", summary), kResultOk);
  EXPECT_EQ(summary.serialNumber, "F2L");
  EXPECT_TRUE(IsValidUtf8(summary.displayName));
  EXPECT_EQ(summary.displayName.substr(0, 3), "Ben");
}

TEST(BackupSummary, BinaryPlistIsReadToo) {
  ScopedEnv zone("TZ", "UTC");
  fixtures::TempDir dir;
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "Display Name", plist_new_string("Binary Phone"));
  plist_dict_set_item(root, "Product Version", plist_new_string("17.1"));
  plist_dict_set_item(root, "Last Backup Date", plist_new_date(600000000, 0));  // since 2001
  char* bin = nullptr;
  std::uint32_t size = 0;
  plist_to_bin(root, &bin, &size);
  WriteText(dir / "b" / "Info.plist", std::string(bin, size));
  std::free(bin);
  plist_free(root);
  BackupSummary summary;
  ASSERT_EQ(ReadBackupSummary(dir / "b", summary), kResultOk);
  EXPECT_EQ(summary.displayName, "Binary Phone");
  EXPECT_TRUE(summary.version12);
  EXPECT_EQ(summary.lastBackupDate, "2020-01-06 10:40:00");
}

TEST(BackupSummary, FoldersWithoutAPropertyListHaveNoSummary) {
  fixtures::TempDir dir;
  BackupSummary summary;
  std::filesystem::create_directories(dir / "empty");
  EXPECT_EQ(ReadBackupSummary(dir / "empty", summary), kResultInvalid);
  WriteText(dir / "text" / "Info.plist", "Display Name = phone\n");
  EXPECT_EQ(ReadBackupSummary(dir / "text", summary), kResultInvalid);
  WriteText(dir / "cut" / "Info.plist", XmlPlist(Key("Display Name", "x")).substr(0, 120));
  EXPECT_EQ(ReadBackupSummary(dir / "cut", summary), kResultInvalid);
  WriteText(dir / "array" / "Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
  EXPECT_EQ(ReadBackupSummary(dir / "array", summary), kResultInvalid);
}

TEST(EncryptionTest, ProbesTheStoredAddressBookInEitherLayout) {
  fixtures::TempDir dir;
  // Newer layout: the probe is in the two-level folder.
  WriteText(dir / "new" / "Manifest.db", "x");
  WriteText(StoredPath(dir / "new", kAddressBookName, StoreLayout::kTwoLevel), "SQLite format 3");
  EXPECT_FALSE(IsBackupEncrypted(dir / "new"));
  WriteText(StoredPath(dir / "new", kAddressBookName, StoreLayout::kTwoLevel),
            "\x8a\x11\x02garbage");
  EXPECT_TRUE(IsBackupEncrypted(dir / "new"));
  // Older layout, with the ".mddata" name of some backups, compared without case.
  WriteText(dir / "old" / (std::string(kAddressBookName) + ".mddata"), "sqlite FORMAT 3");
  EXPECT_FALSE(IsBackupEncrypted(dir / "old"));
  // No probe at all, or one too short to hold a cipher block: not encrypted.
  std::filesystem::create_directories(dir / "none");
  EXPECT_FALSE(IsBackupEncrypted(dir / "none"));
  WriteText(dir / "short" / std::string(kAddressBookName), "");
  EXPECT_FALSE(IsBackupEncrypted(dir / "short"));
  WriteText(dir / "short" / std::string(kAddressBookName), "\x8a\x11\x02\x7f\x00");
  EXPECT_FALSE(IsBackupEncrypted(dir / "short"));
}

// Manifest.plist decides; the address book is probed only for a backup without one.
TEST(EncryptionTest, ManifestPlistDecidesBeforeTheAddressBookProbe) {
  fixtures::TempDir dir;
  const auto folder = dir / "backup";
  const fixtures::EncryptedBackupModel real =
      fixtures::WriteEncryptedCases(folder, fixtures::EncryptionOptions{});
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kEncrypted);
  EXPECT_TRUE(IsBackupEncrypted(folder));

  auto manifest = [&](const std::string& body) {
    WriteText(folder / "Manifest.plist", XmlPlist(body));
  };
  auto data = [](const std::string& bytes) {
    char* encoded = nullptr;
    std::uint32_t length = 0;
    plist_t node = plist_new_data(bytes.data(), bytes.size());
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "d", node);
    plist_to_xml(dict, &encoded, &length);
    std::string xml(encoded, length);
    free(encoded);
    plist_free(dict);
    const auto open = xml.find("<data>"), close = xml.find("</data>");
    return xml.substr(open + 6, close - open - 6);
  };
  const std::string yes = "\t<key>IsEncrypted</key>\n\t<true/>\n";
  const std::string no = "\t<key>IsEncrypted</key>\n\t<false/>\n";

  // An unencrypted backup whose address book is damaged stays unencrypted.
  WriteText(StoredPath(folder, kAddressBookName, StoreLayout::kTwoLevel), "\x8a\x11\x02garbage!");
  manifest(no);
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kNotEncrypted);
  EXPECT_FALSE(IsBackupEncrypted(folder));
  // Encrypted, but the keybag is missing, cut inside a record, or lacks its salt or class keys.
  manifest(yes);
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kKeybagUnusable);
  EXPECT_TRUE(IsBackupEncrypted(folder));
  manifest(yes + Key("BackupKeyBag", data(real.keybag.substr(0, real.keybag.size() - 3)), "data"));
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kKeybagUnusable);
  const std::string header = std::string("SALT\0\0\0\x14", 8) + std::string(20, 's') +
                             std::string("ITER\0\0\0\x04\0\0\x27\x10", 12);
  const std::string classKey = std::string("WPKY\0\0\0\x28", 8) + std::string(40, 'k');
  manifest(yes + Key("BackupKeyBag", data(header), "data"));
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kKeybagUnusable);
  manifest(yes + Key("BackupKeyBag", data(header + classKey), "data"));
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kEncrypted);
  // A length that claims more than the bag holds is not read past the bag.
  manifest(yes +
           Key("BackupKeyBag", data(header + std::string("WPKY\xff\xff\xff\xf0", 8)), "data"));
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kKeybagUnusable);
  // No IsEncrypted (or not a boolean): the address book probe decides.
  manifest(Key("IsEncrypted", "yes"));
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kUnknown);
  EXPECT_TRUE(IsBackupEncrypted(folder));
  std::filesystem::remove(folder / "Manifest.plist");
  EXPECT_EQ(ReadEncryptionMark(folder), EncryptionMark::kUnknown);
}

TEST(Discovery, NewestFirstStableHiddenAndUnreadableSkipped) {
  ScopedEnv zone("TZ", "UTC");
  fixtures::TempDir dir;
  const auto root = dir / "root";
  auto backup = [&](const std::string& name, const std::string& date) {
    WriteText(root / name / "Info.plist",
              XmlPlist(Key("Display Name", name) +
                       (date.empty() ? "" : Key("Last Backup Date", date, "date"))));
  };
  backup("a-old", "2018-01-01T00:00:00Z");
  backup("b-same", "2020-05-05T05:05:05Z");
  backup("c-nodate", "");
  backup("d-same", "2020-05-05T05:05:05Z");
  backup("e-new", "2023-03-03T03:03:03Z");
  backup(".hidden", "2024-01-01T00:00:00Z");
  std::filesystem::create_directories(root / "f-no-plist");
  const auto backups = DiscoverBackups({root});
  std::vector<std::string> names;
  for (const auto& b : backups) names.push_back(b.displayName);
  EXPECT_EQ(names, (std::vector<std::string>{"e-new", "b-same", "d-same", "a-old", "c-nodate"}));
}

TEST(Discovery, RootsInOrderEachRealFolderOnce) {
  fixtures::TempDir dir;
  const auto data = dir / "data";
  const auto sync = data / "Apple Computer" / "MobileSync" / "Backup";
  std::filesystem::create_directories(sync);
  std::filesystem::create_directories(dir / "home" / "Library" / "Application Support" /
                                      "MobileSync" / "Backup");
  std::filesystem::create_directories(dir / "extra");
  std::filesystem::create_directory_symlink(sync, dir / "alias");
  ScopedEnv xdg("XDG_DATA_HOME", data.string());
  ScopedEnv home("HOME", (dir / "home").string());
  ScopedEnv extra("KESTRIO_BACKUP_DIRS", (dir / "extra").string() +
                                             "::" + (dir / "alias").string() + ":" +
                                             (dir / "missing").string());
  const auto roots = BackupRoots();
  ASSERT_EQ(roots.size(), 3u);
  EXPECT_EQ(roots[0], sync);
  EXPECT_EQ(roots[1], dir / "home" / "Library" / "Application Support" / "MobileSync" / "Backup");
  EXPECT_EQ(roots[2], dir / "extra");
}

}  // namespace
}  // namespace kestrio
