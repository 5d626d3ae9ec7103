// The write-ahead log: which frames count, and the database as it reads through them.
#include "sqlite/wal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "sqlite/raw_sqlite_reader.h"
#include "tests/fixtures/sqlite_corpus.h"

namespace kestrio {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes AsBytes(const std::string& s) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

std::uint32_t Be32(const std::string& b, std::size_t off) {
  return (std::uint32_t(std::uint8_t(b[off])) << 24) |
         (std::uint32_t(std::uint8_t(b[off + 1])) << 16) |
         (std::uint32_t(std::uint8_t(b[off + 2])) << 8) | std::uint8_t(b[off + 3]);
}
void PutBe32(std::string& b, std::size_t off, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[off + static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

WalIndex IndexOf(const std::string& wal, Result* result = nullptr) {
  MemoryPageSource source(AsBytes(wal));
  WalIndex index;
  const Result read = ReadWalIndex(source, index);
  if (result) *result = read;
  return index;
}

// Rewrites every checksum of `wal` in the given byte order, as a writer of that order would.
std::string Rechecksummed(std::string wal, bool bigEndian) {
  PutBe32(wal, 0, bigEndian ? kWalMagicBigEndian : kWalMagicLittleEndian);
  std::uint32_t s1 = 0, s2 = 0;
  fixtures::WalChecksumForFixture(wal.substr(0, 24), bigEndian, s1, s2);
  PutBe32(wal, 24, s1);
  PutBe32(wal, 28, s2);
  const std::size_t frameBytes = 24 + Be32(wal, 8);
  for (std::size_t at = 32; at + frameBytes <= wal.size(); at += frameBytes) {
    fixtures::WalChecksumForFixture(wal.substr(at, 8) + wal.substr(at + 24, frameBytes - 24),
                                    bigEndian, s1, s2);
    PutBe32(wal, at + 16, s1);
    PutBe32(wal, at + 20, s2);
  }
  return wal;
}

class WalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A folder of its own: ctest runs the tests in processes side by side.
    dir_ = new fixtures::TempDir;
    folder_ = dir_->path();
    for (fixtures::CorpusDb& db : fixtures::WriteSqliteCorpus(folder_)) {
      if (db.name == "wal") path_ = db.path;
    }
    wal_ = ReadAll(path_.string() + "-wal");
  }
  static void TearDownTestSuite() { delete dir_; }

  static inline fixtures::TempDir* dir_ = nullptr;
  static inline std::filesystem::path folder_, path_;
  static inline std::string wal_;
};

TEST_F(WalTest, OnlyFramesUpToTheLastValidCommitCount) {
  const WalIndex index = IndexOf(wal_);
  const std::size_t frameBytes = 24 + index.pageSize;
  const std::size_t frames = (wal_.size() - 32) / frameBytes;
  // The appended frame is valid but commits nothing.
  EXPECT_EQ(index.validFrames, frames);
  EXPECT_EQ(index.committedFrames, frames - 1);
  EXPECT_EQ(index.frames.size(), frames - 1);
  EXPECT_EQ(index.databasePages, Be32(wal_, 32 + (frames - 2) * frameBytes + 4));
  // The latest committed frame of each page wins.
  for (const auto& [page, position] : index.latest) {
    for (std::size_t f = position + 1; f < index.frames.size(); ++f)
      EXPECT_NE(index.frames[f].pageIndex, page);
  }

  // A changed byte in a frame's page or a foreign salt ends the log before that frame.
  for (std::size_t offsetInFrame : {std::size_t{24 + 100}, std::size_t{8}, std::size_t{12}}) {
    std::string damaged = wal_;
    damaged[32 + 2 * frameBytes + offsetInFrame] ^= 0x20;
    const WalIndex cut = IndexOf(damaged);
    EXPECT_EQ(cut.validFrames, 2u) << offsetInFrame;
    EXPECT_LE(cut.committedFrames, 2u);
  }

  // A header whose checksum fails makes no log at all.
  std::string badHeader = wal_;
  badHeader[16] ^= 1;
  Result result = kResultOk;
  IndexOf(badHeader, &result);
  EXPECT_EQ(result, kResultInvalid);
}

TEST_F(WalTest, BothChecksumByteOrdersAreRead) {
  const WalIndex native = IndexOf(wal_);
  for (bool bigEndian : {false, true}) {
    Result result = kResultInvalid;
    const WalIndex index = IndexOf(Rechecksummed(wal_, bigEndian), &result);
    ASSERT_EQ(result, kResultOk);
    EXPECT_EQ(index.bigEndianChecksums, bigEndian);
    EXPECT_EQ(index.committedFrames, native.committedFrames);
  }
  // Checksums of the other order do not pass for this one.
  std::string swapped = Rechecksummed(wal_, true);
  PutBe32(swapped, 0, kWalMagicLittleEndian);
  Result result = kResultOk;
  IndexOf(swapped, &result);
  EXPECT_EQ(result, kResultInvalid);
}

TEST_F(WalTest, PagesReadThroughTheLogAreItsLatestCommittedFrames) {
  WalIndex index = IndexOf(wal_);
  ASSERT_FALSE(index.latest.empty());
  const std::string database = ReadAll(path_);
  const std::uint32_t pageSize = index.pageSize;
  const WalIndex copy = index;
  WalPageSource source(
      std::make_unique<MemoryPageSource>(
          std::vector<std::uint8_t>(database.begin(), database.end())),
      std::make_unique<MemoryPageSource>(std::vector<std::uint8_t>(wal_.begin(), wal_.end())),
      std::move(index));
  EXPECT_EQ(source.Size(), std::uint64_t{copy.databasePages} * pageSize);
  std::vector<std::uint8_t> page(pageSize);
  for (std::uint32_t p = 0; p < copy.databasePages; ++p) {
    ASSERT_EQ(source.Read(std::uint64_t{p} * pageSize, page), kResultOk);
    const auto latest = copy.latest.find(p);
    const std::string expected = latest != copy.latest.end()
                                     ? wal_.substr(copy.frames[latest->second].dataOffset, pageSize)
                                     : database.substr(std::size_t{p} * pageSize, pageSize);
    EXPECT_EQ(std::string(page.begin(), page.end()), expected) << "page " << p + 1;
  }
  // A read across a page boundary takes each part from its own page.
  std::vector<std::uint8_t> across(64);
  ASSERT_EQ(source.Read(pageSize - 32, across), kResultOk);
  ASSERT_EQ(source.Read(0, page), kResultOk);
  EXPECT_TRUE(std::equal(across.begin(), across.begin() + 32, page.end() - 32));
  EXPECT_EQ(source.Read(source.Size() - 8, across), kResultInvalid);
}

}  // namespace
}  // namespace kestrio
