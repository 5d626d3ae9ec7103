#include "backup/decryption.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

// A decryption program played by a shell script, and a backup folder of `files` files.
class DecryptionDriver : public ::testing::Test {
 protected:
  void Program(const std::string& body) {
    fs::create_directories(dir_ / "program");
    std::ofstream(dir_ / "program" / "tool") << "#!/bin/sh\n" << body;
    fs::permissions(dir_ / "program" / "tool", fs::perms::owner_read | fs::perms::owner_write);
  }
  void Backup(int files, const std::string& name = "backup") {
    backup_ = dir_ / name;
    fs::create_directories(backup_ / "ab");
    for (int i = 0; i < files; ++i)
      testing::WriteBytes(backup_ / (i % 2 ? "ab" : ".") / ("f" + std::to_string(i)), {1});
  }
  Result Run(const std::string& password, std::function<Result(std::int32_t)> answer = {},
             FindingsSink* findings = nullptr) {
    ProgressSink sink;
    sink.span = 10;
    sink.callback = [this, answer](std::int32_t p) {
      reports_.push_back(p);
      return answer ? answer(p) : kResultOk;
    };
    return RunDecryption(password, backup_, {dir_ / "program", dir_ / "work", dir_ / "out dir"},
                         sink, findings);
  }

  fixtures::TempDir dir_;
  fs::path backup_;
  std::vector<std::int32_t> reports_;
};

TEST_F(DecryptionDriver, CountsBecomeProgressAndArgumentsArriveWhole) {
  Backup(100);
  EXPECT_EQ(BackupFileCount(backup_), 100u);
  // The installed copy gets its run bit although the shipped one has none.
  Program(
      "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$2/../args\"\n"
      "echo 'Count:50'\nsleep 0.05\necho 'decrypting...'\n");
  ASSERT_EQ(Run("correct horse battery"), kResultOk);
  // Count 50 of 100 with base 1 and step 10 reports 6; output without a marker reports the
  // base; the end reports base + step.
  ASSERT_GE(reports_.size(), 3u);
  EXPECT_EQ(reports_[0], 1);
  EXPECT_EQ(reports_[1], 6);
  EXPECT_EQ(reports_.back(), 11);
  EXPECT_EQ(testing::ReadText(dir_ / "args"),
            backup_.string() + "\n" + (dir_ / "out dir").string() + "\ncorrect horse battery\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "out dir"));
  EXPECT_NE(fs::status(dir_ / "work" / "tool").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

TEST_F(DecryptionDriver, WrongPasswordEvenWhenSplitAcrossReads) {
  Backup(4);
  Program(
      "echo $$ > \"$2/../pid\"\nprintf 'Wrong pass'\nsleep 0.1\nprintf 'word\\n'\n"
      "sleep 30\n");
  EXPECT_EQ(Run("nope"), kResultWrongPassword);
  // The program was ended rather than waited for.
  const pid_t pid = std::stoi(testing::ReadText(dir_ / "pid"));
  EXPECT_NE(::kill(pid, 0), 0);
}

TEST_F(DecryptionDriver, AStopEndsTheProgramToo) {
  Backup(10);
  Program("echo $$ > \"$2/../pid\"\nwhile true; do echo 'Count:1'; sleep 0.02; done\n");
  int seen = 0;
  EXPECT_EQ(Run("pw", [&](std::int32_t) { return ++seen == 3 ? kResultStopped : kResultOk; }),
            kResultStopped);
  const pid_t pid = std::stoi(testing::ReadText(dir_ / "pid"));
  EXPECT_NE(::kill(pid, 0), 0);  // gone
}

TEST_F(DecryptionDriver, SkippedFilesBecomeFindingsEvenWhenALineIsSplitAcrossReads) {
  Backup(3);
  const std::string id(40, 'a');
  Program("echo 'Count:1'\nprintf '" + id + ": stored file is mis'\nsleep 0.05\n" +
          "printf 'sing, skipped\\nCount:2\\n'\n" +
          "echo 'refused file ID \"../etc\": not 40 hexadecimal digits'\n" +
          "echo 'Manifest.db: decrypting, skipped nothing'\n" + "echo ': no name, skipped'\n");
  FindingsList findings;
  ASSERT_EQ(Run("pw", {}, &findings), kResultOk);
  EXPECT_EQ(findings.Snapshot(),
            (std::vector<Finding>{{id, "stored file", "backup folder", "stored file is missing"},
                                  {"\"../etc\"", "stored file", "backup index",
                                   "refused: not 40 hexadecimal digits"}}));
}

// A program that gives up has deciphered nothing to scan: the run fails with its reason,
// rather than opening an empty backup.
TEST_F(DecryptionDriver, AProgramThatGivesUpFailsTheRunWithItsReason) {
  Backup(2);
  Program("echo 'Count:1'\necho 'Manifest.db cannot be deciphered: bad padding' >&2\nexit 1\n");
  FindingsList findings;
  EXPECT_EQ(Run("pw", {}, &findings), kResultInvalid);
  const std::vector<Finding> found = findings.Snapshot();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].why, "Manifest.db cannot be deciphered: bad padding");
  // Killed by a signal counts the same; a clean end with skipped files does not.
  Program("kill -9 $$\n");
  EXPECT_EQ(Run("pw"), kResultInvalid);
  Program("echo 'Count:2'\nexit 0\n");
  EXPECT_EQ(Run("pw"), kResultOk);
}

TEST_F(DecryptionDriver, AMissingProgramCannotStart) {
  Backup(1);
  EXPECT_EQ(Run("pw"), kResultInvalid);
}

}  // namespace
}  // namespace kestrio
