#include "base/spill_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

// Records of every size around the block boundary, the largest spanning several blocks.
std::vector<std::string> Records() {
  std::vector<std::string> records;
  for (std::size_t i = 0; i < 300; ++i) {
    std::string record(i * 97 % 5000, static_cast<char>('a' + i % 26));
    if (!record.empty()) record.back() = static_cast<char>(i);
    records.push_back(record);
  }
  records.push_back(std::string(SpillStore::kBlockBytes * 2 + 3, 'x'));
  records.push_back(std::string(SpillStore::kBlockBytes - 1, 'y'));
  records.push_back("last");
  return records;
}

void ExpectReadsBack(const SpillStore& store, const std::vector<std::uint64_t>& places,
                     const std::vector<std::string>& records) {
  std::string out;
  SpillStore::SequentialReader sequential(store);
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(store.Read(places[i], records[i].size(), out)) << i;
    EXPECT_EQ(out, records[i]) << i;
    ASSERT_TRUE(sequential.Read(places[i], records[i].size(), out)) << i;
    EXPECT_EQ(out, records[i]) << i;
  }
  // In reverse, the sequential reader still reads right, only with more reads.
  for (std::size_t i = records.size(); i > 0; --i) {
    ASSERT_TRUE(sequential.Read(places[i - 1], records[i - 1].size(), out));
    EXPECT_EQ(out, records[i - 1]);
  }
}

TEST(SpillStore, RecordsReadBackFromTheFileAndFromMemory) {
  fixtures::TempDir dir;
  const std::vector<std::string> records = Records();
  for (const bool onDisk : {true, false}) {
    SCOPED_TRACE(onDisk ? "file" : "memory");
    SpillStore store(onDisk ? dir.path() : std::filesystem::path());
    EXPECT_EQ(store.OnDisk(), onDisk);
    std::vector<std::uint64_t> places;
    for (const std::string& record : records) places.push_back(store.Append(record));
    ExpectReadsBack(store, places, records);
    // The file has no name: the folder stays empty.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

TEST(SpillStore, ReadsOutsideWhatWasWrittenFail) {
  SpillStore store;
  const std::uint64_t at = store.Append("abc");
  std::string out = "stale";
  EXPECT_FALSE(store.Read(at, 4, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(store.Read(UINT64_MAX, 1, out));
  SpillStore::SequentialReader reader(store);
  EXPECT_FALSE(reader.Read(2, 2, out));
  EXPECT_TRUE(reader.Read(3, 0, out));
}

TEST(SpillStore, AFolderThatCannotTakeTheFileKeepsEverythingInMemory) {
  fixtures::TempDir dir;
  SpillStore store(dir.path() / "missing");
  EXPECT_FALSE(store.OnDisk());
  const std::vector<std::string> records = Records();
  std::vector<std::uint64_t> places;
  for (const std::string& record : records) places.push_back(store.Append(record));
  ExpectReadsBack(store, places, records);
}

// A disk that fills up while blocks are written: what is in the file stays readable and the
// rest stays in memory.
TEST(SpillStore, AFileThatStopsTakingBlocksLosesNothing) {
  fixtures::TempDir dir;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = before;
  small.rlim_cur = SpillStore::kBlockBytes * 3 / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  SpillStore store(dir.path());
  const std::vector<std::string> records = Records();
  std::vector<std::uint64_t> places;
  for (const std::string& record : records) places.push_back(store.Append(record));
  const bool stillWriting = store.OnDisk();
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(stillWriting);
  ExpectReadsBack(store, places, records);
}

}  // namespace
}  // namespace kestrio
