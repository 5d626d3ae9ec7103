#include "base/file_copy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <tuple>
#include <vector>

#include "base/text_file.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

using Report = std::tuple<std::int32_t, Result, std::filesystem::path>;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

TEST(CopyBackupFile, CopiesInPiecesReportingEachAndReplacesALongerDestination) {
  fixtures::TempDir dir;
  const auto source = Pattern(3 * kCopyPieceBytes + 100);
  testing::WriteBytes(dir / "src", source);
  const auto destination = dir / "out" / "deeper" / "copy.jpg";
  std::filesystem::create_directories(destination.parent_path());
  testing::WriteBytes(destination, std::vector<std::uint8_t>(5 * kCopyPieceBytes, 0xEE));

  std::vector<Report> reports;
  ASSERT_EQ(CopyBackupFile(dir / "src", destination,
                           [&](std::int32_t p, Result e, const std::filesystem::path& d) {
                             reports.emplace_back(p, e, d);
                             return kResultOk;
                           }),
            kResultOk);
  EXPECT_EQ(testing::ReadBytes(destination), source);  // no stale tail of the old file
  const std::vector<std::int32_t> expected = {33, 66, 99, 100};
  ASSERT_EQ(reports.size(), expected.size());
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(std::get<0>(reports[i]), expected[i]);
    EXPECT_EQ(std::get<1>(reports[i]), kResultOk);
    EXPECT_EQ(std::get<2>(reports[i]), destination);
  }
}

TEST(CopyBackupFile, EmptySourceMissingSourceAndStopAnswers) {
  fixtures::TempDir dir;
  std::vector<Report> reports;
  auto record = [&](std::int32_t p, Result e, const std::filesystem::path& d) {
    reports.emplace_back(p, e, d);
    return kResultOk;
  };
  // Empty source: an empty destination (in new folders), no report.
  testing::WriteBytes(dir / "empty", {});
  ASSERT_EQ(CopyBackupFile(dir / "empty", dir / "a" / "b" / "empty", record), kResultOk);
  EXPECT_TRUE(std::filesystem::exists(dir / "a" / "b" / "empty"));
  EXPECT_EQ(std::filesystem::file_size(dir / "a" / "b" / "empty"), 0u);
  EXPECT_TRUE(reports.empty());

  // Missing source: 87, reported once more at 100 %, and no destination left behind.
  EXPECT_EQ(CopyBackupFile(dir / "missing", dir / "never", record), kResultInvalid);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], Report(100, kResultInvalid, dir / "never"));
  EXPECT_FALSE(std::filesystem::exists(dir / "never"));

  // A destination that cannot be written: 87.
  reports.clear();
  testing::WriteBytes(dir / "src", Pattern(1000));
  std::filesystem::create_directories(dir / "dir-in-the-way");
  EXPECT_EQ(CopyBackupFile(dir / "src", dir / "dir-in-the-way", record), kResultInvalid);
  EXPECT_EQ(reports.back(), Report(100, kResultInvalid, dir / "dir-in-the-way"));

  // Stopped after the first piece: the answer comes back and is reported with 100 %.
  reports.clear();
  testing::WriteBytes(dir / "big", Pattern(2 * kCopyPieceBytes + 1));
  EXPECT_EQ(CopyBackupFile(dir / "big", dir / "part",
                           [&](std::int32_t p, Result e, const std::filesystem::path& d) {
                             reports.emplace_back(p, e, d);
                             return e == kResultOk ? kResultStopped : kResultOk;
                           }),
            kResultStopped);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(std::get<0>(reports[0]), 49);
  EXPECT_EQ(reports[1], Report(100, kResultStopped, dir / "part"));
  EXPECT_EQ(std::filesystem::file_size(dir / "part"), kCopyPieceBytes);
}

TEST(TextFileWriter, ByteOrderMarkAndCrLfLineEnds) {
  fixtures::TempDir dir;
  TextFileWriter file;
  ASSERT_EQ(file.Open(dir / "t.txt"), kResultOk);
  ASSERT_EQ(file.Write("a\nb"), kResultOk);
  ASSERT_EQ(file.Write("\n\nc\r\n"), kResultOk);
  ASSERT_EQ(file.Close(), kResultOk);
  EXPECT_EQ(testing::ReadText(dir / "t.txt"),
            "\xEF\xBB\xBF"
            "a\r\nb\r\n\r\nc\r\r\n");
  // A second open empties the file.
  ASSERT_EQ(file.Open(dir / "t.txt"), kResultOk);
  ASSERT_EQ(file.Close(), kResultOk);
  EXPECT_EQ(testing::ReadText(dir / "t.txt"), "\xEF\xBB\xBF");
  EXPECT_EQ(file.Open(dir / "no" / "such" / "folder.txt"), kResultSystemBase + ENOENT);
  EXPECT_EQ(file.Write("x"), kResultSystemBase + ENOENT);
}

}  // namespace
}  // namespace kestrio
