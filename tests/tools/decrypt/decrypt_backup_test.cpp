#include "tools/decrypt/decrypt_backup.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio::decrypt {
namespace {

namespace fs = std::filesystem;
using fixtures::DecryptOutcome;
using fixtures::EncryptedBackupModel;
using fixtures::EncryptionEra;
using fixtures::EncryptionOptions;
using fixtures::TempDir;
using kestrio::testing::ReadText;

struct Captured {
  int status = -1;
  std::vector<std::string> out;
  std::string err;  // all lines, newline-separated
};

Captured RunTool(const fs::path& backup, const fs::path& output, const std::string& password) {
  Captured c;
  RunOptions options{backup, output, password,
                     [&](std::string_view line) { c.out.emplace_back(line); },
                     [&](std::string_view line) { (c.err += line) += '\n'; }};
  c.status = DecryptBackup(options);
  return c;
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

int FilesRows(const fs::path& db) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  int rows = -1;
  if (sqlite3_prepare_v2(raw, "SELECT count(*) FROM Files", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    rows = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(raw);
  return rows;
}

// Rewrites Manifest.plist with the given values (an empty keybag or key leaves it out).
void WriteManifestPlist(const fs::path& folder, bool encrypted, const std::string& keybag,
                        const std::string& manifestKey) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "IsEncrypted", plist_new_bool(encrypted));
  if (!keybag.empty()) {
    plist_dict_set_item(root, "BackupKeyBag", plist_new_data(keybag.data(), keybag.size()));
  }
  if (!manifestKey.empty()) {
    plist_dict_set_item(root, "ManifestKey",
                        plist_new_data(manifestKey.data(), manifestKey.size()));
  }
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  kestrio::testing::WriteBytes(folder / "Manifest.plist",
                               std::vector<std::uint8_t>(bin, bin + length));
  plist_to_bin_free(bin);
  plist_free(root);
}

class DecryptBackupEras : public ::testing::TestWithParam<EncryptionEra> {
 protected:
  EncryptedBackupModel Write(const std::string& password = "pä ss wörd") {
    EncryptionOptions options;
    options.era = GetParam();
    options.password = password;
    options.xmlManifestPlist = GetParam() == EncryptionEra::kEncryptedManifestDb;
    return fixtures::WriteEncryptedCases(backup_, options);
  }
  bool ManifestDb() const { return GetParam() != EncryptionEra::kManifestMbdb; }

  TempDir dir_;
  fs::path backup_ = dir_ / "backup", output_ = dir_ / "out dir" / "decrypted";
  fs::path index_ = backup_ / "Manifest.db-decypted";
};

TEST_P(DecryptBackupEras, WritesEveryGoodFileSkipsTheRestAndCountsEveryRow) {
  const EncryptedBackupModel model = Write();
  if (ManifestDb()) kestrio::testing::WriteBytes(index_, {'s', 't', 'a', 'l', 'e'});

  const Captured c = RunTool(backup_, output_, model.password);
  ASSERT_EQ(c.status, kExitOk) << c.err;
  std::vector<std::string> counts;
  for (std::size_t i = 1; i <= model.records.size(); ++i)
    counts.push_back("Count:" + std::to_string(i));
  EXPECT_EQ(c.out, counts);

  std::set<std::string> expectedNames;
  for (const auto& [id, plain] : model.expected) {
    expectedNames.insert(id);
    EXPECT_TRUE(ReadText(output_ / id) == plain) << model.Find(id)->label;
  }
  EXPECT_EQ(Names(output_), expectedNames);
  for (const auto& r : model.records) {
    if (r.outcome == DecryptOutcome::kSkip) {
      EXPECT_NE(c.err.find(r.fileId), std::string::npos) << r.label;
    }
  }
  // Nothing was written beside the output folder (the "../" row) or in the backup folder.
  EXPECT_EQ(Names(output_.parent_path()), std::set<std::string>{"decrypted"});

  if (ManifestDb()) {
    EXPECT_EQ(ReadText(index_).substr(0, 16), std::string("SQLite format 3\0", 16));
    EXPECT_EQ(FilesRows(index_), static_cast<int>(model.records.size()));
  } else {
    EXPECT_FALSE(fs::exists(index_));
  }
}

TEST_P(DecryptBackupEras, WrongPasswordIsTheOnlyOutputAndWritesNothing) {
  const EncryptedBackupModel model = Write();
  const Captured c = RunTool(backup_, output_, "pä ss wörD");
  EXPECT_EQ(c.status, kExitWrongPassword);
  EXPECT_EQ(c.out, std::vector<std::string>{"Wrong password"});
  EXPECT_TRUE(Names(output_).empty());
  EXPECT_FALSE(fs::exists(index_));
}

TEST_P(DecryptBackupEras, EmptyPasswordIsAPassword) {
  const EncryptedBackupModel model = Write("");
  const Captured c = RunTool(backup_, output_, "");
  EXPECT_EQ(c.status, kExitOk) << c.err;
  EXPECT_EQ(c.out.size(), model.records.size());
  EXPECT_EQ(RunTool(backup_, output_, " ").out, std::vector<std::string>{"Wrong password"});
}

INSTANTIATE_TEST_SUITE_P(Eras, DecryptBackupEras,
                         ::testing::Values(EncryptionEra::kEncryptedManifestDb,
                                           EncryptionEra::kPlainManifestDb,
                                           EncryptionEra::kManifestMbdb));

class DecryptBackupFailures : public ::testing::Test {
 protected:
  EncryptedBackupModel Write(EncryptionEra era) {
    EncryptionOptions options;
    options.era = era;
    return fixtures::WriteEncryptedCases(backup_, options);
  }
  // The run fails with a message and no password verdict.
  void ExpectError(const std::string& password, const std::string& message) {
    const Captured c = RunTool(backup_, output_, password);
    EXPECT_EQ(c.status, kExitError);
    EXPECT_TRUE(c.out.empty()) << c.out.front();
    EXPECT_NE(c.err.find(message), std::string::npos) << c.err;
  }

  TempDir dir_;
  fs::path backup_ = dir_ / "backup", output_ = dir_ / "out";
};

TEST_F(DecryptBackupFailures, UnwritableIndexCopyIsAClearError) {
  for (EncryptionEra era : {EncryptionEra::kEncryptedManifestDb, EncryptionEra::kPlainManifestDb}) {
    SCOPED_TRACE(static_cast<int>(era));
    fs::remove_all(backup_);
    const EncryptedBackupModel model = Write(era);
    // A directory in the copy's place fails the write even for root, like a read-only folder.
    fs::create_directories(backup_ / "Manifest.db-decypted" / "keep");
    ExpectError(model.password, "cannot write");
    EXPECT_TRUE(fs::exists(backup_ / "Manifest.db-decypted" / "keep"));
  }
}

TEST_F(DecryptBackupFailures, HostileManifestPlistIsRefusedBeforeDerivation) {
  const EncryptedBackupModel model = Write(EncryptionEra::kEncryptedManifestDb);
  std::string keybag = model.keybag;
  const std::size_t iter = keybag.find("ITER");
  ASSERT_NE(iter, std::string::npos);
  keybag.replace(iter + 8, 4, "\xFF\xFF\xFF\xFF");
  WriteManifestPlist(backup_, true, keybag, model.manifestKey);
  const auto start = std::chrono::steady_clock::now();
  ExpectError(model.password, "ITER");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  WriteManifestPlist(backup_, true, model.keybag, model.manifestKey.substr(0, 40));
  ExpectError(model.password, "ManifestKey");
  WriteManifestPlist(backup_, false, model.keybag, model.manifestKey);
  ExpectError(model.password, "not encrypted");
  WriteManifestPlist(backup_, true, "", model.manifestKey);
  ExpectError(model.password, "BackupKeyBag");
  kestrio::testing::WriteBytes(backup_ / "Manifest.plist", {'<', '?', 'x'});
  ExpectError(model.password, "Manifest.plist");
  fs::remove(backup_ / "Manifest.plist");
  ExpectError(model.password, "Manifest.plist");
  ExpectError(model.password, "Manifest.plist");
  EXPECT_FALSE(fs::exists(backup_ / "Manifest.db-decypted"));
}

TEST_F(DecryptBackupFailures, IndexThatIsNotADatabaseOrIsCutShort) {
  EncryptedBackupModel model = Write(EncryptionEra::kEncryptedManifestDb);
  // Ciphertext that deciphers to noise: a data error, not a wrong password.
  kestrio::testing::WriteBytes(backup_ / "Manifest.db", std::vector<std::uint8_t>(4096 + 16, 0x42));
  ExpectError(model.password, "SQLite");
  EXPECT_FALSE(fs::exists(backup_ / "Manifest.db-decypted"));
  kestrio::testing::WriteBytes(backup_ / "Manifest.db", std::vector<std::uint8_t>(100, 0x42));
  ExpectError(model.password, "multiple of 16");

  // Manifest.mbdb cut inside its last record: the records before it are done.
  fs::remove_all(backup_);
  model = Write(EncryptionEra::kManifestMbdb);
  const std::string mbdb = ReadText(backup_ / "Manifest.mbdb");
  kestrio::testing::WriteBytes(backup_ / "Manifest.mbdb",
                               std::vector<std::uint8_t>(mbdb.begin(), mbdb.end() - 3));
  const Captured c = RunTool(backup_, output_, model.password);
  EXPECT_EQ(c.status, kExitOk);
  EXPECT_EQ(c.out.size(), model.records.size() - 1);
  EXPECT_NE(c.err.find("ends inside a record"), std::string::npos);
  kestrio::testing::WriteBytes(backup_ / "Manifest.mbdb", {'m', 'b', 'd', 'x', 5, 0});
  ExpectError(model.password, "mbdb");
  fs::remove(backup_ / "Manifest.mbdb");
  ExpectError(model.password, "Manifest.mbdb");
}

TEST_F(DecryptBackupFailures, OutputFolderNeverReplacesStoredFiles) {
  EncryptedBackupModel model = Write(EncryptionEra::kManifestMbdb);
  output_ = backup_ / ".";
  ExpectError(model.password, "output folder");

  // The output folder is a two-digit folder of the backup: the files stored in it stay.
  fs::remove_all(backup_);
  model = Write(EncryptionEra::kEncryptedManifestDb);
  const auto& small = *model.Find("small");
  output_ = backup_ / small.fileId.substr(0, 2);
  const std::string stored = ReadText(small.path);
  const Captured c = RunTool(backup_, output_, model.password);
  EXPECT_EQ(c.status, kExitOk);
  EXPECT_TRUE(ReadText(small.path) == stored);
  EXPECT_NE(c.err.find(small.fileId + ": the output would replace"), std::string::npos);
}

}  // namespace
}  // namespace kestrio::decrypt
