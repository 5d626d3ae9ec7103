// Scans of encrypted twins of the whole-backup fixtures: the decryption program (built beside
// the tests) deciphers them and the scan must find what it finds in the plain backups.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>
#include <algorithm>

#include <iterator>
#include <sstream>

#include "backup/backup_store.h"
#include "backup/backup_summary.h"
#include "base/paths.h"
#include "cli/cli.h"
#include "scan/scan_run.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

struct Scan {
  std::unique_ptr<BackupStore> store;
  std::unique_ptr<ScanRun> run;
  std::vector<ScanEvent> events;
  Result result = kResultOk;
};

Scan ScanFolder(const fx::TempDir& dir, const fs::path& backup, const std::string& password) {
  Scan s;
  BackupStoreFolders folders;
  folders.workFolder = dir / "work";
  folders.programFolder = ProgramFolder();  // the tests run beside the decryption program
  folders.temporaryBackupFolder = [&dir] { return dir / "tmp"; };
  s.store = std::make_unique<BackupStore>(folders);
  BackupSummary summary;
  EXPECT_EQ(ReadBackupSummary(backup, summary), kResultOk);
  s.store->ChooseBackup(summary);
  ScanObserver observer;
  observer.event = [&s](ScanEvent e) { s.events.push_back(e); };
  s.run = std::make_unique<ScanRun>(CreateScanBackend(SourceKind::kBackupFolder, s.store.get()),
                                    password, observer);
  s.result = s.run->Run();
  return s;
}

std::vector<std::pair<std::string, std::uint32_t>> Files(const std::vector<FileRecord>& files) {
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (const auto& f : files) out.emplace_back(f.name, f.size);
  return out;
}

class EncryptedScan : public ::testing::TestWithParam<fx::EncryptionEra> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_P(EncryptedScan, FindsWhatThePlainBackupHolds) {
  fx::TempDir dir;
  fx::BackupOptions options;
  options.layout = GetParam() == fx::EncryptionEra::kManifestMbdb ? fx::BackupLayout::kManifestMbdb
                                                                  : fx::BackupLayout::kManifestDb;
  fx::WriteBackup(dir / "plain", options);
  fx::EncryptionOptions encryption;
  encryption.era = GetParam();
  encryption.password = "two words";
  const fx::EncryptedBackupModel model =
      fx::EncryptBackup(dir / "plain", dir / "encrypted", encryption);

  Scan plain = ScanFolder(dir, dir / "plain", "");
  ASSERT_EQ(plain.result, kResultOk);
  fx::TempDir other;
  Scan encrypted = ScanFolder(other, dir / "encrypted", "two words");
  ASSERT_EQ(encrypted.result, kResultOk);
  EXPECT_TRUE(encrypted.store->Opened().summary.encrypted);
  EXPECT_FALSE(encrypted.store->Opened().decryptedFiles.empty());

  const ScanResults& a = plain.run->Results();
  const ScanResults& b = encrypted.run->Results();
  EXPECT_EQ(Files(a.cameraRoll), Files(b.cameraRoll));
  EXPECT_EQ(Files(a.photoStream), Files(b.photoStream));
  EXPECT_EQ(Files(a.whatsAppAttachments), Files(b.whatsAppAttachments));
  for (int c = 0; c < kScanCategoryCount; ++c) {
    const auto category = static_cast<ScanCategory>(c);
    EXPECT_EQ(a.Count(category), b.Count(category)) << ScanCategoryKey(category);
  }
  ASSERT_EQ(a.conversationRows.size(), b.conversationRows.size());
  for (std::size_t i = 0; i < a.conversationRows.size(); ++i)
    EXPECT_EQ(a.conversationRows[i].text, b.conversationRows[i].text);
  // The photo library is deciphered like any file: the same files are trashed, and it says
  // the same of the files in both scans.
  auto trashed = [](const std::vector<FileRecord>& files) {
    std::vector<std::string> keys;
    for (const FileRecord& f : files) {
      if (f.deleted) keys.push_back(f.key);
    }
    return keys;
  };
  EXPECT_EQ(trashed(a.cameraRoll), trashed(b.cameraRoll));
  auto library = [](const std::vector<Finding>& findings) {
    std::vector<Finding> out;
    std::copy_if(findings.begin(), findings.end(), std::back_inserter(out),
                 [](const Finding& f) { return f.file == kPhotoLibraryLabel; });
    return out;
  };
  EXPECT_EQ(library(a.findings), library(b.findings));
  // Apart from those, every file the index lists but the folder lacks is a finding of the
  // encrypted scan, and nothing else is (the plain twin's walks leave such files out without
  // a word).
  std::vector<std::string> missing;
  for (const fx::EncryptedRecord& record : model.records)
    if (record.outcome == fx::DecryptOutcome::kSkip && !record.stored)
      missing.push_back(record.fileId);
  std::vector<std::string> reported;
  for (const Finding& finding : b.findings) {
    if (finding.file == kPhotoLibraryLabel) continue;
    // What the databases themselves hold (a blank WhatsApp row) the plain twin reports too.
    if (std::find(a.findings.begin(), a.findings.end(), finding) != a.findings.end()) continue;
    EXPECT_EQ(finding.what, "stored file");
    EXPECT_EQ(finding.why, "stored file is missing") << finding.file;
    reported.push_back(finding.file);
  }
  std::sort(missing.begin(), missing.end());
  std::sort(reported.begin(), reported.end());
  EXPECT_FALSE(missing.empty());
  EXPECT_EQ(reported, missing);
  // The deciphered files are read from the output folder; the clean-up removes them.
  const fs::path output = other / "tmp" / "VelmoraBackupPath";
  EXPECT_TRUE(b.cameraRoll.empty() || b.cameraRoll[0].path.parent_path() == output);
  encrypted.run.reset();
  encrypted.store.reset();
  EXPECT_TRUE(fs::is_empty(output));
  EXPECT_TRUE(fs::exists(dir / "encrypted" / "Manifest.plist"));
}

INSTANTIATE_TEST_SUITE_P(Eras, EncryptedScan,
                         ::testing::Values(fx::EncryptionEra::kEncryptedManifestDb,
                                           fx::EncryptionEra::kPlainManifestDb,
                                           fx::EncryptionEra::kManifestMbdb));

TEST(EncryptedScanPassword, AWrongPasswordRaisesItsEventAndTouchesNothing) {
  setenv("TZ", "UTC", 1);
  tzset();
  fx::TempDir dir;
  fx::WriteBackup(dir / "plain", fx::BackupOptions{});
  fx::EncryptBackup(dir / "plain", dir / "encrypted", fx::EncryptionOptions{});
  std::vector<std::pair<fs::path, std::uintmax_t>> before;
  for (const auto& e : fs::recursive_directory_iterator(dir / "encrypted"))
    if (e.is_regular_file()) before.emplace_back(e.path(), e.file_size());
  Scan s = ScanFolder(dir, dir / "encrypted", "not it");
  EXPECT_EQ(s.result, kResultWrongPassword);
  EXPECT_EQ(s.events.back(), ScanEvent::kWrongPassword);
  EXPECT_TRUE(s.store->Opened().decryptedFiles.empty());
  std::vector<std::pair<fs::path, std::uintmax_t>> after;
  for (const auto& e : fs::recursive_directory_iterator(dir / "encrypted"))
    if (e.is_regular_file()) after.emplace_back(e.path(), e.file_size());
  EXPECT_EQ(before, after);
}

TEST(EncryptedScanPassword, TheCommandLineSaysWhenThePasswordIsWrongOrMissing) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  fx::WriteBackup(dir / "plain", fx::BackupOptions{});
  fx::EncryptBackup(dir / "plain", dir / "encrypted", fx::EncryptionOptions{});
  const std::string backup = (dir / "encrypted").string();
  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  EXPECT_EQ(cli::RunCli({"scan", backup}, terminal), cli::kExitPassword);
  EXPECT_NE(err.str().find("password is missing"), std::string::npos);
  EXPECT_EQ(cli::RunCli({"scan", backup, "--password", "wrong"}, terminal), cli::kExitPassword);
  EXPECT_NE(err.str().find("password is wrong"), std::string::npos);
  EXPECT_EQ(cli::RunCli({"scan", backup, "--password", "kestrio"}, terminal), cli::kExitOk)
      << err.str();
}

}  // namespace
}  // namespace kestrio
