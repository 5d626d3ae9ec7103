#include "base/external_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/record_file.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

struct Row {
  std::int32_t key = 0;
  std::uint32_t added = 0;  // the order of adding, to see that equal keys keep it
  bool operator==(const Row&) const = default;
};

struct ByKey {
  bool operator()(const Row& a, const Row& b) const { return a.key < b.key; }
};

// Keys with many repeats, so the merge meets equal heads in different runs.
std::vector<Row> Rows(std::size_t count) {
  std::mt19937 random(7);
  std::vector<Row> rows;
  for (std::uint32_t i = 0; i < count; ++i)
    rows.push_back({static_cast<std::int32_t>(random() % 50) - 25, i});
  return rows;
}

std::vector<Row> SortedOut(ExternalSorter<Row, ByKey>& sorter) {
  sorter.Finish();
  std::vector<Row> out;
  Row row;
  while (sorter.Next(row)) out.push_back(row);
  return out;
}

TEST(ExternalSorter, MergedRunsComeOutAsAStableSortWouldGiveThem) {
  fixtures::TempDir dir;
  const std::vector<Row> rows = Rows(20'000);
  std::vector<Row> expected = rows;
  std::stable_sort(expected.begin(), expected.end(), ByKey());
  // Runs of 100 rows in a file, the same in memory, one run in memory only, and a count
  // that fills the last run exactly.
  for (const auto& [folder, memory, count] :
       {std::tuple{dir.path(), 100 * sizeof(Row), rows.size()},
        std::tuple{std::filesystem::path(), 100 * sizeof(Row), rows.size()},
        std::tuple{dir.path(), rows.size() * sizeof(Row), rows.size()},
        std::tuple{dir.path(), 100 * sizeof(Row), std::size_t{1000}}}) {
    SCOPED_TRACE(testing::Message() << folder << " " << memory << " " << count);
    ExternalSorter<Row, ByKey> sorter(folder, memory);
    for (std::size_t i = 0; i < count; ++i) sorter.Add(rows[i]);
    std::vector<Row> want(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(count));
    std::stable_sort(want.begin(), want.end(), ByKey());
    EXPECT_EQ(SortedOut(sorter), want);
    EXPECT_EQ(sorter.size(), count);
    EXPECT_EQ(sorter.runs(), memory == rows.size() * sizeof(Row) ? 0u : (count + 99) / 100);
    EXPECT_FALSE(sorter.failed());
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ExternalSorter, NothingAddedGivesNothing) {
  ExternalSorter<Row, ByKey> sorter({}, 0);
  Row row;
  sorter.Finish();
  EXPECT_FALSE(sorter.Next(row));
}

TEST(RecordFile, RecordsReadBackByIndexRangeAndCursor) {
  fixtures::TempDir dir;
  RecordFile<Row> file(dir.path());
  const std::vector<Row> rows = Rows(SpillStore::kBlockBytes / sizeof(Row) * 2 + 5);
  for (const Row& row : rows) file.Append(row);
  Row one;
  ASSERT_TRUE(file.Get(rows.size() - 1, one));
  EXPECT_EQ(one, rows.back());
  EXPECT_FALSE(file.Get(rows.size(), one));
  std::vector<Row> range;
  EXPECT_FALSE(file.ReadRange(rows.size() - 1, 2, range));
  ASSERT_TRUE(file.ReadRange(3, 2, range));
  EXPECT_EQ(range, std::vector<Row>(rows.begin() + 3, rows.begin() + 5));
  // A cursor over a middle stretch that crosses the blocks of the store and its own batches.
  const std::uint64_t first = 17, end = rows.size() - 3;
  RecordFile<Row>::Cursor cursor(file, first, end);
  std::vector<Row> read;
  while (cursor.Next(one)) {
    if (read.size() == 5) {
      EXPECT_EQ(cursor.Position(), first + 6);
    }
    read.push_back(one);
  }
  EXPECT_FALSE(cursor.failed());
  EXPECT_EQ(read, std::vector<Row>(rows.begin() + first, rows.begin() + end));
}

}  // namespace
}  // namespace kestrio
