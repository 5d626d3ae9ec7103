#include "backup/manifest.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

TEST(StoredName, IsTheSha1OfTheKeyAndMatchesTheKnownNames) {
  EXPECT_EQ(StoredName("HomeDomain-Library/SMS/sms.db"), kSmsDbName);
  EXPECT_EQ(StoredName("HomeDomain-Library/AddressBook/AddressBook.sqlitedb"), kAddressBookName);
  EXPECT_EQ(StoredName("HomeDomain-Library/Notes/notes.sqlite"), kNotesName);
  EXPECT_EQ(StoredName("HomeDomain-Library/CallHistoryDB/CallHistory.storedata"),
            kCallHistoryStoreName);
  EXPECT_EQ(StoredName("WirelessDomain-Library/CallHistory/call_history.db"), kCallHistoryDbName);
  EXPECT_EQ(StoredName("AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite"),
            kWhatsAppSharedName);
  EXPECT_EQ(StoredName("AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite"),
            kWhatsAppDocumentsName);
  // The empty key: SHA-1 of nothing.
  EXPECT_EQ(StoredName(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(StoredPath, FollowsTheLayout) {
  const std::filesystem::path folder = "/backups/abc";
  EXPECT_EQ(StoredPath(folder, kSmsDbName, StoreLayout::kTwoLevel),
            "/backups/abc/3d/3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(StoredPath(folder, kSmsDbName, StoreLayout::kFlat),
            "/backups/abc/3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(StoredPath("/tmp/out", kSmsDbName, StoreLayout::kDecrypted),
            "/tmp/out/3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  // Index rows are hostile: only 40 hexadecimal digits ever become a path.
  for (const std::string& name : std::vector<std::string>{
           "../../../../etc/passwd", "3d/../../3d0d7e5fb2ce288813306e4d46", std::string(39, 'a'),
           std::string(41, 'a'), std::string(), "3d0d7e5fb2ce288813306e4d4636395e047a3d2g"}) {
    EXPECT_TRUE(StoredPath(folder, name, StoreLayout::kTwoLevel).empty()) << name;
    EXPECT_TRUE(StoredPath(folder, name, StoreLayout::kFlat).empty()) << name;
  }
  EXPECT_EQ(StoredPath(folder, "3D0D7E5FB2CE288813306E4D4636395E047A3D28", StoreLayout::kFlat),
            "/backups/abc/3D0D7E5FB2CE288813306E4D4636395E047A3D28");
}

// Builds Manifest.mbdb bytes record by record.
class Mbdb {
 public:
  Mbdb() : bytes_("mbdb\x05\x00", 6) {}

  Mbdb& Record(const std::string& domain, const std::string& path, std::uint16_t mode,
               int properties = 0) {
    String(domain);
    String(path);
    String("");          // link target
    Raw("\xFF\xFF", 2);  // data hash: the FF FF empty string
    String("");          // encryption key
    U16(mode);
    bytes_.append(8 + 4 + 4 + 4 + 4 + 4 + 8, '\x01');
    bytes_ += '\x03';  // protection class
    bytes_ += static_cast<char>(properties);
    for (int i = 0; i < properties; ++i) {
      String("com.apple.prop" + std::to_string(i));
      String("value " + std::to_string(i));
    }
    return *this;
  }
  Mbdb& String(const std::string& text) {
    U16(static_cast<std::uint16_t>(text.size()));
    bytes_ += text;
    return *this;
  }
  Mbdb& Raw(const char* data, std::size_t size) {
    bytes_.append(data, size);
    return *this;
  }
  Mbdb& U16(std::uint16_t value) {
    bytes_ += static_cast<char>(value >> 8);
    bytes_ += static_cast<char>(value & 0xFF);
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

constexpr std::uint16_t kFile = 0100644;
constexpr std::uint16_t kLink = 0120755;
constexpr std::uint16_t kDir = 040755;

std::vector<std::string> Keys(const std::vector<ManifestEntry>& entries) {
  std::vector<std::string> keys;
  for (const auto& e : entries) {
    EXPECT_EQ(e.storedName, StoredName(e.key));
    keys.push_back(e.key);
  }
  return keys;
}

TEST(ManifestMbdb, KeepsFilesAndLinksAndSkipsDirectoriesAndEmptyNames) {
  Mbdb mbdb;
  mbdb.Record("HomeDomain", "Library/SMS/sms.db", kFile)
      .Record("HomeDomain", "Library/SMS", kDir)
      .Record("MediaDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", kLink, 3)
      .Record("", "Library/x", kFile)
      .Record("HomeDomain", "", kFile)
      .Record("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.HEIC", kFile);
  std::vector<ManifestEntry> entries;
  ASSERT_EQ(ParseManifestMbdb(mbdb.bytes(), entries), kResultOk);
  EXPECT_EQ(Keys(entries),
            (std::vector<std::string>{"HomeDomain-Library/SMS/sms.db",
                                      "MediaDomain-Media/DCIM/100APPLE/IMG_0001.JPG",
                                      "CameraRollDomain-Media/DCIM/100APPLE/IMG_0002.HEIC"}));
  EXPECT_EQ(entries[0].storedName, kSmsDbName);
}

TEST(ManifestMbdb, FfFfDomainOrPathIsEmptyAndSkipped) {
  Mbdb mbdb;
  mbdb.Raw("\xFF\xFF", 2).String("Library/a").String("").String("").String("").U16(kFile);
  std::string bytes = mbdb.bytes();
  bytes.append(37, '\0');  // inode .. protection class
  bytes += '\0';           // no properties
  Mbdb next;
  next.Record("HomeDomain", "Library/b", kFile);
  bytes += next.bytes().substr(6);
  std::vector<ManifestEntry> entries;
  ASSERT_EQ(ParseManifestMbdb(bytes, entries), kResultOk);
  EXPECT_EQ(Keys(entries), std::vector<std::string>{"HomeDomain-Library/b"});
}

TEST(ManifestMbdb, CutOrHostileRecordsEndTheReadingWithWhatCameBefore) {
  Mbdb mbdb;
  mbdb.Record("HomeDomain", "Library/a", kFile).Record("HomeDomain", "Library/b", kFile, 2);
  const std::string whole = mbdb.bytes();
  std::vector<ManifestEntry> entries;
  ASSERT_EQ(ParseManifestMbdb(whole, entries), kResultOk);
  ASSERT_EQ(entries.size(), 2u);
  const std::size_t firstEnd = 6 + 2 + 10 + 2 + 9 + 2 + 2 + 2 + 2 + 36 + 2;
  // Cut anywhere inside the second record: only the first survives.
  for (std::size_t cut = firstEnd + 1; cut < whole.size(); cut += 3) {
    entries.clear();
    ASSERT_EQ(ParseManifestMbdb(whole.substr(0, cut), entries), kResultOk) << cut;
    EXPECT_EQ(Keys(entries), std::vector<std::string>{"HomeDomain-Library/a"}) << cut;
  }
  // A string length far past the end.
  std::string huge = whole.substr(0, firstEnd) + std::string("\x7F\xFE", 2) + "HomeDomain";
  entries.clear();
  EXPECT_EQ(ParseManifestMbdb(huge, entries), kResultOk);
  EXPECT_EQ(entries.size(), 1u);
  // A property count that runs past the end.
  std::string props = whole.substr(0, firstEnd - 1) + std::string("\xFF", 1);
  entries.clear();
  EXPECT_EQ(ParseManifestMbdb(props, entries), kResultOk);
  EXPECT_TRUE(entries.empty());
}

TEST(ManifestMbdb, HeaderOnlyMagicAndMissingFiles) {
  std::vector<ManifestEntry> entries;
  EXPECT_EQ(ParseManifestMbdb(std::string("mbdb\x05\x00", 6), entries), kResultOk);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(ParseManifestMbdb(std::string("mbdx\x05\x00", 6), entries), kResultInvalid);
  EXPECT_EQ(ParseManifestMbdb("mbd", entries), kResultInvalid);
  fixtures::TempDir dir;
  EXPECT_EQ(ReadManifestMbdb(dir / "Manifest.mbdb", entries), kResultManifestMbdbOpen);
  EXPECT_EQ(ReadManifestMbdb("", entries), kResultInvalid);
  Mbdb mbdb;
  mbdb.Record("HomeDomain", "Library/SMS/sms.db", kFile);
  testing::WriteBytes(dir / "Manifest.mbdb",
                      std::vector<std::uint8_t>(mbdb.bytes().begin(), mbdb.bytes().end()));
  ASSERT_EQ(ReadManifestMbdb(dir / "Manifest.mbdb", entries), kResultOk);
  EXPECT_EQ(Keys(entries), std::vector<std::string>{"HomeDomain-Library/SMS/sms.db"});
}

void WriteManifestDb(const std::filesystem::path& path) {
  testing::ExecSql(path,
                   "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                   "flags INTEGER, file BLOB);"
                   "INSERT INTO Files VALUES ('3d0d7e5fb2ce288813306e4d4636395e047a3d28', "
                   "'HomeDomain', 'Library/SMS/sms.db', 1, NULL);"
                   "INSERT INTO Files VALUES ('aa00000000000000000000000000000000000001', "
                   "'HomeDomain', 'Library/SMS', 2, NULL);"
                   "INSERT INTO Files VALUES ('aa00000000000000000000000000000000000002', "
                   "'MediaDomain', NULL, 2, NULL);"
                   "INSERT INTO Files VALUES ('aa00000000000000000000000000000000000003', '', "
                   "'loose', 1, NULL);");
}

TEST(ManifestDb, EveryRowIsKeptInRowOrder) {
  fixtures::TempDir dir;
  WriteManifestDb(dir / "Manifest.db");
  const auto before = testing::ReadBytes(dir / "Manifest.db");
  std::vector<ManifestEntry> entries(2);
  ASSERT_EQ(ReadManifestDb(dir / "Manifest.db", entries), kResultOk);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].key, "HomeDomain-Library/SMS/sms.db");
  EXPECT_EQ(entries[0].storedName, kSmsDbName);
  EXPECT_EQ(entries[1].key, "HomeDomain-Library/SMS");  // a directory row is kept
  EXPECT_EQ(entries[2].key, "MediaDomain");             // NULL relative path: domain only
  EXPECT_EQ(entries[3].key, "-loose");                  // empty domain
  EXPECT_EQ(testing::ReadBytes(dir / "Manifest.db"), before) << "the index must not change";
}

TEST(ManifestDb, TrailingPaddingAfterTheLastPageIsRead) {
  fixtures::TempDir dir;
  WriteManifestDb(dir / "Manifest.db");
  auto bytes = testing::ReadBytes(dir / "Manifest.db");
  bytes.insert(bytes.end(), 16, 0x10);  // block-cipher padding left by a decryption tool
  testing::WriteBytes(dir / "Manifest.db", bytes);
  std::vector<ManifestEntry> entries;
  ASSERT_EQ(ReadManifestDb(dir / "Manifest.db", entries), kResultOk);
  EXPECT_EQ(entries.size(), 4u);
}

TEST(ManifestDb, MissingTableMissingFileAndForeignFile) {
  fixtures::TempDir dir;
  testing::ExecSql(dir / "other.db", "CREATE TABLE Other (x);");
  std::vector<ManifestEntry> entries(1);
  EXPECT_EQ(ReadManifestDb(dir / "other.db", entries), kResultManifestDbQuery);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(ReadManifestDb(dir / "none.db", entries), SQLITE_CANTOPEN);
  testing::WriteBytes(dir / "text.db", std::vector<std::uint8_t>(4096, 'x'));
  EXPECT_EQ(ReadManifestDb(dir / "text.db", entries), kResultManifestDbQuery);
}

}  // namespace
}  // namespace kestrio
