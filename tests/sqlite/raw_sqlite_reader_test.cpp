#include "sqlite/raw_sqlite_reader.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/findings.h"
#include "sqlite/page_source.h"
#include "sqlite/record.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

using testing::ExecSql;
using testing::GetBe16;
using testing::GetBe32;
using testing::PutBe16;
using testing::PutBe32;
using testing::ReadBytes;
using testing::WriteBytes;

// What a decoder saw of one record of the 5-column "handle" table.
struct Seen {
  bool carved = false;
  bool deleted = false;
  std::uint64_t rowId = 0;
  std::string address;  // column 1
  CarveOrigin origin = CarveOrigin::kFreeblock;
  std::uint32_t page = 0;  // zero-based
};

// The shape of the handle table below: 5 columns, nothing learned.
constexpr TableShape kHandleShape{5, 5, 0};

// Scans `table` and keeps every record whose column 1 is text.
std::vector<Seen> Scan(RawSqliteReader& reader, std::string_view table, Result* result = nullptr) {
  std::vector<Seen> seen;
  const Result r = reader.ScanTable(table, kHandleShape, [&](const RecordView& view) {
    DecodedRecord record;
    if (DecodeTableRecord(reader, view, kHandleShape, record) != kResultOk) return kResultInvalid;
    const RecordColumn* column = record.Column(1);
    if (column == nullptr || !column->IsText()) return kResultInvalid;
    seen.push_back({view.carved, view.deleted, view.carved ? 0 : record.rowId,
                    std::string(column->Text()), view.origin, view.page});
    return kResultOk;
  });
  if (result) *result = r;
  return seen;
}

// The findings of `list` whose `what` is `what`.
std::vector<Finding> FindingsOf(const FindingsList& list, std::string_view what) {
  std::vector<Finding> out;
  for (const Finding& f : list.Snapshot()) {
    if (f.what == what) out.push_back(f);
  }
  return out;
}

std::string Address(int i) { return "+1555" + std::to_string(1000000 + i) + "-handle"; }
std::string LongAddress(int i) { return Address(i) + std::string(140, 'x'); }

// A handle table of `count` rows (rowid i has Address(i)).
void WriteHandles(const std::filesystem::path& path, int pageSize, int count,
                  const std::string& after = "") {
  std::string sql = "PRAGMA page_size=" + std::to_string(pageSize) +
                    "; CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT "
                    "NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT); BEGIN;";
  for (int i = 1; i <= count; ++i) {
    sql += "INSERT INTO handle VALUES (" + std::to_string(i) + ", '" + Address(i) +
           "', 'us', 'SMS', NULL);";
  }
  sql += "COMMIT;" + after;
  ExecSql(path, sql);
}

std::map<std::uint64_t, std::string> LiveRows(const std::vector<Seen>& seen) {
  std::map<std::uint64_t, std::string> live;
  for (const Seen& s : seen) {
    if (!s.deleted) live[s.rowId] = s.address;
  }
  return live;
}

std::set<std::string> DeletedTexts(const std::vector<Seen>& seen) {
  std::set<std::string> texts;
  for (const Seen& s : seen) {
    if (s.deleted) texts.insert(s.address);
  }
  return texts;
}

// ---------------------------------------------------------------------------------------------
// Primitives

TEST(Varint, BigEndianBase128WithTheCallersLimit) {
  const std::uint8_t oneByte[] = {0x7F};
  int limit = 9;
  EXPECT_EQ(ReadVarint(oneByte, limit), 0x7Fu);
  EXPECT_EQ(limit, 1);

  const std::uint8_t twoBytes[] = {0x81, 0x00, 0xFF};
  limit = 9;
  EXPECT_EQ(ReadVarint(twoBytes, limit), 0x80u);
  EXPECT_EQ(limit, 2);

  // No terminating byte within the limit: the value so far, the limit left as it was.
  const std::uint8_t open[] = {0x81, 0x81, 0x81};
  limit = 2;
  EXPECT_EQ(ReadVarint(open, limit), (1u << 7) | 1u);
  EXPECT_EQ(limit, 2);

  // Never past the buffer, whatever the limit says.
  limit = 100;
  EXPECT_EQ(ReadVarint(Bytes(open, 1), limit), 1u);
  EXPECT_EQ(limit, 100);

  limit = 0;
  EXPECT_EQ(ReadVarint(oneByte, limit), 0u);
  limit = -5;
  EXPECT_EQ(ReadVarint(oneByte, limit), 0u);

  // A ninth byte has no special rule: it contributes 7 bits like the others.
  const std::uint8_t nine[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F};
  limit = 9;
  EXPECT_EQ(ReadVarint(nine, limit), 0x7Fu);
  EXPECT_EQ(limit, 9);
}

TEST(Varint, RunLengthIsZeroWhenTheRunLeavesTheBuffer) {
  const std::uint8_t run[] = {0x01, 0x81, 0x02, 0x0F};
  EXPECT_EQ(VarintRunLength(run, 3), 4u);
  EXPECT_EQ(VarintRunLength(run, 0), 0u);
  EXPECT_EQ(VarintRunLength(Bytes(run, 2), 2), 0u);  // second varint cut by the end
  EXPECT_EQ(VarintRunLength(run, 1000000), 0u);
  const std::uint8_t endless[10] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
  EXPECT_EQ(VarintRunLength(endless, 1), 0u);
}

// The run length against one varint at a time, over buffers where one-byte types come in
// streaks of every length (the eight-at-a-time path) broken by longer varints, some of
// them never ending within 9 bytes.
TEST(Varint, RunLengthAgreesWithOneVarintAtATime) {
  const auto reference = [](Bytes bytes, std::uint64_t count) -> std::size_t {
    std::size_t used = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto field = ReadTerminatedVarint(bytes, used);
      if (!field) return 0;
      used += field->length;
    }
    return used;
  };
  std::uint32_t state = 12345;
  const auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 16;
  };
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<std::uint8_t> bytes;
    const std::size_t size = next() % 48;
    while (bytes.size() < size) {
      const unsigned kind = next() % 8;
      if (kind < 5) {
        // A streak of one-byte varints.
        for (unsigned n = next() % 12; n > 0 && bytes.size() < size; --n)
          bytes.push_back(static_cast<std::uint8_t>(next() % 0x80));
      } else {
        // A longer varint: 1 to 10 continuation bytes, mostly ended.
        for (unsigned n = 1 + next() % 10; n > 0 && bytes.size() < size; --n)
          bytes.push_back(static_cast<std::uint8_t>(0x80 | next()));
        if (kind < 7 && bytes.size() < size)
          bytes.push_back(static_cast<std::uint8_t>(next() % 0x80));
      }
    }
    for (std::uint64_t count = 0; count <= bytes.size() + 1; ++count) {
      ASSERT_EQ(VarintRunLength(bytes, count), reference(bytes, count))
          << "trial " << trial << ", count " << count;
    }
  }
  // Nine one-byte types, then a varint that does not end: the streak must not skip past it.
  const std::uint8_t streak[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x81, 0x82};
  EXPECT_EQ(VarintRunLength(streak, 9), 9u);
  EXPECT_EQ(VarintRunLength(streak, 10), 0u);
}

TEST(SerialTypes, SizesOfEveryKind) {
  const std::map<std::uint64_t, std::uint64_t> expected = {
      {0, 0},  {1, 1},  {2, 2},  {3, 3},   {4, 4},
      {5, 6},  {6, 8},  {7, 8},  {8, 0},   {9, 0},
      {10, 0}, {11, 0}, {12, 0}, {13, 0},  {14, 1},
      {15, 1}, {16, 2}, {17, 2}, {99, 43}, {UINT64_MAX, (UINT64_MAX - 13) / 2}};
  for (const auto& [type, size] : expected) EXPECT_EQ(SerialTypeSize(type), size) << type;
}

TEST(RecordLength, CountsTheRunAndTheBodyAndStopsPastTheLimit) {
  // Three columns: NULL, text of 2 bytes (type 17), integer of 1 byte.
  const std::uint8_t intact[] = {0x00, 17, 0x01};
  EXPECT_EQ(RecordLength(intact, 3, 0, 100), 3u + 0 + 2 + 1);
  // First byte not 0: column 0 counts as lost, cc - 1 serial types are read.
  const std::uint8_t lost[] = {17, 0x01, 0x55};
  EXPECT_EQ(RecordLength(lost, 3, 0, 100), 2u + 2 + 1);
  // cc == 0: the caller's run length is used.
  EXPECT_EQ(RecordLength(intact, 0, 2, 100), 2u + 2);
  // A huge text stops the walk and reports more than the limit.
  const std::uint8_t huge[] = {0x00, 0xFF, 0xFF, 0x7F, 0x01};
  EXPECT_GT(RecordLength(huge, 3, 0, 4096), 4096u);
}

TEST(RecordLength, LocalPayloadFollowsTheFileFormat) {
  // Usable size 4096: X = 4061, M = 489.
  EXPECT_EQ(LocalPayloadSize(4061, 4096), 4061u);
  EXPECT_EQ(LocalPayloadSize(4062, 4096), 489u);  // K = 4062 > X, so M
  EXPECT_EQ(LocalPayloadSize(100000, 4096), 489u + (100000 - 489) % 4092);
  // Usable 512: X = 477, M = 39.
  EXPECT_EQ(LocalPayloadSize(477, 512), 477u);
  EXPECT_EQ(LocalPayloadSize(3000, 512), 39u + (3000 - 39) % 508);
}

// ---------------------------------------------------------------------------------------------
// Opening

TEST(OpenDatabase, RejectsWhatIsNotADatabase) {
  fixtures::TempDir dir;
  RawSqliteReader reader;
  EXPECT_EQ(reader.OpenDatabase(dir / "missing.db"), kResultSystemBase + ENOENT);
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(reader.OpenDatabase(dir.path()), kResultInvalid);  // a folder

  WriteBytes(dir / "short", {'S', 'Q', 'L', 'i', 't', 'e'});
  EXPECT_EQ(reader.OpenDatabase(dir / "short"), kResultInvalid);
  std::vector<std::uint8_t> text(4096, 'x');
  WriteBytes(dir / "text", text);
  EXPECT_EQ(reader.OpenDatabase(dir / "text"), kResultInvalid);
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(reader.ScanTable("handle", kHandleShape, [](const RecordView&) { return kResultOk; }),
            kResultInvalid);
}

TEST(OpenDatabase, MagicIgnoresLetterCaseAndPageSizeMustBeAPowerOfTwo) {
  fixtures::TempDir dir;
  WriteHandles(dir / "h.db", 1024, 10);
  std::vector<std::uint8_t> bytes = ReadBytes(dir / "h.db");
  RawSqliteReader reader;

  auto upper = bytes;
  for (int i = 0; i < 15; ++i) upper[i] = static_cast<std::uint8_t>(std::toupper(upper[i]));
  WriteBytes(dir / "upper.db", upper);
  ASSERT_EQ(reader.OpenDatabase(dir / "upper.db"), kResultOk);
  EXPECT_EQ(LiveRows(Scan(reader, "handle")).size(), 10u);

  for (std::uint16_t size : {0, 100, 1000, 3072, 256}) {
    auto bad = bytes;
    PutBe16(bad, 16, size);
    WriteBytes(dir / "bad.db", bad);
    EXPECT_EQ(reader.OpenDatabase(dir / "bad.db"), kResultInvalid) << size;
  }
  // Reserved bytes that leave fewer than 480 usable bytes per page.
  auto reserved = bytes;
  reserved[20] = 200;
  PutBe16(reserved, 16, 512);
  WriteBytes(dir / "reserved.db", reserved);
  EXPECT_EQ(reader.OpenDatabase(dir / "reserved.db"), kResultInvalid);
}

TEST(OpenDatabase, PagesOf64KiBAreRead) {
  fixtures::TempDir dir;
  WriteHandles(dir / "big.db", 65536, 3000);
  ASSERT_EQ(GetBe16(ReadBytes(dir / "big.db"), 16), 1);  // the format writes 65,536 as 1
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "big.db"), kResultOk);
  EXPECT_EQ(reader.PageSize(), 65536u);
  const auto live = LiveRows(Scan(reader, "handle"));
  ASSERT_EQ(live.size(), 3000u);
  EXPECT_EQ(live.at(2999), Address(2999));
}

// ---------------------------------------------------------------------------------------------
// Live rows and the schema

TEST(ScanTable, LiveRowsOfAMultiLevelTreeAreExact) {
  fixtures::TempDir dir;
  WriteHandles(dir / "h.db", 512, 5000);
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "h.db"), kResultOk);
  Result result = -1;
  const std::vector<Seen> seen = Scan(reader, "handle", &result);
  EXPECT_EQ(result, kResultOk);
  const auto live = LiveRows(seen);
  ASSERT_EQ(live.size(), 5000u);
  for (const auto& [rowId, address] : live) EXPECT_EQ(address, Address(static_cast<int>(rowId)));
  EXPECT_TRUE(DeletedTexts(seen).empty());
}

TEST(ScanTable, SchemaSpreadOverInteriorPagesStillGivesTheRoot) {
  fixtures::TempDir dir;
  std::string sql = "PRAGMA page_size=512;";
  for (int i = 0; i < 150; ++i) {
    sql += "CREATE TABLE filler_table_with_a_long_name_" + std::to_string(i) + " (a, b, c);";
  }
  ExecSql(dir / "s.db", sql);
  WriteHandles(dir / "s.db", 512, 50);
  const auto bytes = ReadBytes(dir / "s.db");
  ASSERT_EQ(bytes[100], 5) << "the schema should need an interior page";
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "s.db"), kResultOk);
  EXPECT_EQ(LiveRows(Scan(reader, "handle")).size(), 50u);
  // Names are matched exactly, letter case included.
  EXPECT_TRUE(Scan(reader, "HANDLE").empty());
}

TEST(ScanTable, OverflowingPayloadIsReassembled) {
  fixtures::TempDir dir;
  const std::string longText(5000, 'L');
  ExecSql(dir / "o.db",
          "PRAGMA page_size=512; CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT, "
          "country TEXT, service TEXT, uncanonicalized_id TEXT);"
          "INSERT INTO handle VALUES (1, 'short', 'us', 'SMS', NULL);"
          "INSERT INTO handle VALUES (2, '" +
              longText + "', 'us', 'SMS', 'x');");
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "o.db"), kResultOk);
  const auto live = LiveRows(Scan(reader, "handle"));
  ASSERT_EQ(live.size(), 2u);
  EXPECT_EQ(live.at(2), longText);
}

// A scan decodes every row into one record: each must come out as it would into a fresh
// one, whatever the row before (an overflowing payload, more columns, a carved run) left.
TEST(DecodeRecord, ARecordReusedRowAfterRowDecodesLikeAFreshOne) {
  fixtures::TempDir dir;
  std::string sql =
      "PRAGMA page_size=512; CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT, "
      "country TEXT, service TEXT, uncanonicalized_id TEXT); BEGIN;";
  for (int i = 1; i <= 60; ++i) {
    const std::string id = i % 9 == 4 ? std::string(1500 + i, 'L') : Address(i);
    sql += "INSERT INTO handle VALUES (" + std::to_string(i) + ", '" + id + "', 'us', " +
           (i % 5 == 0 ? "NULL" : "'SMS'") + ", NULL);";
  }
  sql +=
      "COMMIT; ALTER TABLE handle ADD COLUMN extra BLOB;"
      "INSERT INTO handle VALUES (61, 'after', 'us', 'SMS', NULL, x'0102');"
      "DELETE FROM handle WHERE ROWID % 7 = 2;";
  ExecSql(dir / "r.db", sql);
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "r.db"), kResultOk);
  DecodedRecord reused;
  int live = 0;
  int overflowing = 0;
  int carved = 0;
  ASSERT_EQ(reader.ScanTable(
                "handle", kHandleShape,
                [&](const RecordView& view) {
                  DecodedRecord fresh;
                  const Result want = DecodeTableRecord(reader, view, kHandleShape, fresh);
                  const Result got = DecodeTableRecord(reader, view, kHandleShape, reused);
                  EXPECT_EQ(got, want);
                  if (got != kResultOk || want != kResultOk) return kResultInvalid;
                  EXPECT_EQ(reused.rowId, fresh.rowId);
                  EXPECT_EQ(reused.headerSize, fresh.headerSize);
                  EXPECT_EQ(reused.firstColumn, fresh.firstColumn);
                  EXPECT_EQ(reused.columns.size(), fresh.columns.size());
                  for (std::size_t i = 0; i < reused.columns.size() && i < fresh.columns.size();
                       ++i) {
                    EXPECT_EQ(reused.columns[i].serialType, fresh.columns[i].serialType);
                    EXPECT_TRUE(std::ranges::equal(reused.columns[i].value, fresh.columns[i].value))
                        << "row " << fresh.rowId << ", column " << i;
                  }
                  if (view.carved) {
                    ++carved;
                  } else if (!view.deleted) {
                    ++live;
                    const RecordColumn* id = fresh.Column(1);
                    if (id != nullptr && id->value.size() > 1000) ++overflowing;
                  }
                  return kResultOk;
                }),
            kResultOk);
  EXPECT_EQ(live, 61 - 9);
  EXPECT_EQ(overflowing, 6);  // the long rows but the deleted 58th
  EXPECT_GT(carved, 0);
}

// ---------------------------------------------------------------------------------------------
// Deleted rows

TEST(ScanTable, DeletedRowsAreCarvedWithRowIdZeroAndMarkedDeleted) {
  fixtures::TempDir dir;
  // Scattered deletes leave freeblocks; deleting the newest rows of the last page leaves
  // their bytes in the unallocated gap behind stale pointers.
  WriteHandles(dir / "d.db", 4096, 300,
               "DELETE FROM handle WHERE ROWID % 7 = 3; DELETE FROM handle WHERE ROWID > 290;");
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "d.db"), kResultOk);
  const std::vector<Seen> seen = Scan(reader, "handle");

  std::set<std::string> scattered;  // single rows inside pages: freeblocks
  std::map<std::uint64_t, std::string> liveTruth;
  for (int i = 1; i <= 300; ++i) {
    if (i > 290) continue;
    if (i % 7 == 3) {
      scattered.insert(Address(i));
    } else {
      liveTruth[i] = Address(i);
    }
  }
  EXPECT_EQ(LiveRows(seen), liveTruth);
  for (const Seen& s : seen) {
    if (s.carved) {
      EXPECT_TRUE(s.deleted);
      EXPECT_EQ(s.rowId, 0u);
    }
  }
  const std::set<std::string> found = DeletedTexts(seen);
  int recovered = 0;
  for (const std::string& text : scattered) recovered += found.count(text) ? 1 : 0;
  // A freeblock header overwrites a cell's first 4 bytes, never its text.
  EXPECT_GE(recovered * 10, static_cast<int>(scattered.size()) * 9)
      << recovered << " of " << scattered.size();
  // The newest rows of the last page were freed one after the other and merged into the
  // unallocated gap; the last one freed kept its whole header and is found there.
  EXPECT_TRUE(found.count(Address(300)));
  // Whatever was carved and looks like an address is one that was written.
  for (const std::string& text : found) {
    if (text.find("-handle") == std::string::npos) continue;
    const int i = std::stoi(text.substr(5, 7)) - 1000000;
    EXPECT_TRUE(i >= 1 && i <= 300 && Address(i) == text) << text;
  }
}

// A tree of hundreds of leaves has its candidates sought on a second thread while its live
// rows are decoded. Whatever the thread found is used only when the shape it was sought with
// is the one the live rows leave: here the shape source learns the column count from the
// first live row, so the early candidates are sought again, and the records delivered are the
// same, in the same order, as on one thread.
TEST(ScanTable, CarvingAheadOnASecondThreadDeliversWhatOneThreadDoes) {
  fixtures::TempDir dir;
  WriteHandles(dir / "a.db", 1024, 12000,
               "DELETE FROM handle WHERE ROWID % 5 = 2; DELETE FROM handle WHERE ROWID > 11990;");
  // The shape: kHandleShape throughout, learned at the first live row, or the early one
  // throughout.
  enum Shape { kKnown, kLearned, kEarly };
  constexpr TableShape kEarlyShape{4, 4, 0};
  const auto scan = [&](bool ahead, Shape mode) {
    RawSqliteReader reader;
    EXPECT_EQ(reader.OpenDatabase(dir / "a.db"), kResultOk);
    reader.SetCarveAhead(ahead);
    bool learned = false;
    std::vector<Seen> seen;
    const auto shape = [&] {
      return mode == kEarly || (mode == kLearned && !learned) ? kEarlyShape : kHandleShape;
    };
    reader.ScanTable("handle", shape, [&](const RecordView& view) {
      learned = learned || !view.deleted;
      DecodedRecord record;
      if (DecodeTableRecord(reader, view, kHandleShape, record) != kResultOk ||
          record.Column(1) == nullptr || !record.Column(1)->IsText())
        return kResultInvalid;
      seen.push_back({view.carved, view.deleted, view.carved ? 0 : record.rowId,
                      std::string(record.Column(1)->Text()), view.origin, view.page});
      return kResultOk;
    });
    return seen;
  };
  const auto same = [](const std::vector<Seen>& a, const std::vector<Seen>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Seen& x, const Seen& y) {
      return std::tie(x.carved, x.deleted, x.rowId, x.address, x.origin, x.page) ==
             std::tie(y.carved, y.deleted, y.rowId, y.address, y.origin, y.page);
    });
  };
  const std::vector<Seen> alone = scan(false, kKnown);
  std::set<std::uint32_t> leaves;
  for (const Seen& s : alone) {
    if (!s.deleted) leaves.insert(s.page);
  }
  ASSERT_GE(leaves.size(), 300u);
  ASSERT_GE(DeletedTexts(alone).size(), 1500u);
  EXPECT_TRUE(same(scan(true, kKnown), alone));
  // The early shape finds other candidates: taking them would show.
  ASSERT_FALSE(same(scan(false, kEarly), alone));
  EXPECT_TRUE(same(scan(true, kLearned), alone));
}

// Rowids of 16,384 and more take 3 bytes and payloads of 128 bytes and more 2: the 4-byte
// freeblock header then leaves the last rowid byte behind, and the record's header size
// follows it.
TEST(ScanTable, FreedRowsWithThreeByteRowIdsAreCarvedInPlace) {
  fixtures::TempDir dir;
  std::string sql =
      "PRAGMA page_size=4096; CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id "
      "TEXT NOT NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT); BEGIN;";
  for (int i = 1; i <= 300; ++i) {
    sql += "INSERT INTO handle VALUES (" + std::to_string(100000 + i) + ", '" + LongAddress(i) +
           "', 'us', 'SMS', NULL);";
  }
  sql += "COMMIT; DELETE FROM handle WHERE ROWID % 7 = 3 AND ROWID < 100290;";
  ExecSql(dir / "r.db", sql);
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "r.db"), kResultOk);
  const std::set<std::string> found = DeletedTexts(Scan(reader, "handle"));
  int deleted = 0, recovered = 0;
  for (int i = 1; i < 290; ++i) {
    if ((100000 + i) % 7 != 3) continue;
    ++deleted;
    recovered += found.count(LongAddress(i)) ? 1 : 0;
  }
  EXPECT_GE(recovered * 10, deleted * 9) << recovered << " of " << deleted;
}

TEST(ScanTable, DroppedTableIsFoundOnTheFreelistWithItsRowIds) {
  fixtures::TempDir dir;
  WriteHandles(dir / "f.db", 1024, 400, "DROP TABLE handle;");
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "f.db"), kResultOk);
  ASSERT_FALSE(reader.FreePages().empty());
  const std::vector<Seen> seen = Scan(reader, "handle");
  std::map<std::uint64_t, std::string> fromFreelist;
  for (const Seen& s : seen) {
    EXPECT_TRUE(s.deleted);
    if (!s.carved) fromFreelist[s.rowId] = s.address;
  }
  // The dropped table's leaves keep their cells and come back with their rowids; only the
  // page that became the freelist trunk lost its content (rows per 1 KiB page: about 29).
  EXPECT_GE(fromFreelist.size(), 400u - 30);
  EXPECT_LT(fromFreelist.size(), 400u);
  for (const auto& [rowId, address] : fromFreelist)
    EXPECT_EQ(address, Address(static_cast<int>(rowId)));
}

// The first leaf freed by the drop became the freelist trunk: its page-number array took the
// space of its page header and pointer array, its cells are still whole behind it.
TEST(ScanTable, CellsOfALeafThatBecameAFreelistTrunkAreCarved) {
  fixtures::TempDir dir;
  WriteHandles(dir / "t.db", 1024, 400, "DROP TABLE handle;");
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "t.db"), kResultOk);
  ASSERT_EQ(reader.FreeTrunkPages().size(), 1u);
  const std::uint32_t trunk = reader.FreeTrunkPages()[0];
  std::set<std::string> all, onTrunk;
  for (const Seen& s : Scan(reader, "handle")) {
    EXPECT_TRUE(s.deleted);
    all.insert(s.address);
    if (s.origin == CarveOrigin::kTrunkPage) {
      EXPECT_TRUE(s.carved);
      EXPECT_EQ(s.page, trunk);
      onTrunk.insert(s.address);
    }
  }
  // Every row is back: most from the freed leaves, a page's worth from the trunk.
  for (int i = 1; i <= 400; ++i) EXPECT_TRUE(all.count(Address(i))) << i;
  EXPECT_GE(onTrunk.size(), 20u);
  for (const std::string& text : onTrunk) {
    const int i = std::stoi(text.substr(5, 7)) - 1000000;
    EXPECT_EQ(Address(i), text);
  }
}

// A root leaf that splits becomes an interior page in place; the cells it held stay in its
// unused space. Deleted with secure_delete, a row survives only there.
TEST(ScanTable, CellsOfARootLeafThatBecameInteriorAreCarved) {
  fixtures::TempDir dir;
  WriteHandles(dir / "i.db", 1024, 60,
               "PRAGMA secure_delete=ON; DELETE FROM handle WHERE ROWID <= 12;");
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "i.db"), kResultOk);
  std::set<std::string> fromInterior;
  std::map<std::uint64_t, std::string> live;
  for (const Seen& s : Scan(reader, "handle")) {
    if (!s.deleted) live[s.rowId] = s.address;
    if (!s.deleted || s.origin != CarveOrigin::kInteriorPage) continue;
    EXPECT_TRUE(s.carved);
    fromInterior.insert(s.address);
  }
  EXPECT_EQ(live.size(), 48u);
  // The root's interior cell took the end of the page, where the first row's cell was; the
  // cells of the later rows are whole.
  EXPECT_FALSE(fromInterior.count(Address(1)));
  for (int i = 2; i <= 12; ++i) EXPECT_TRUE(fromInterior.count(Address(i))) << i;
  for (const std::string& text : fromInterior) {
    const int i = std::stoi(text.substr(5, 7)) - 1000000;
    EXPECT_EQ(Address(i), text);
  }

  // The old cells are taken only for a table of their width.
  const TableShape wider{6, 6, 0};
  int wrongWidth = 0;
  reader.ScanTable("handle", wider, [&](const RecordView& view) {
    wrongWidth += view.origin == CarveOrigin::kInteriorPage ? 1 : 0;
    return kResultOk;
  });
  EXPECT_EQ(wrongWidth, 0);
}

TEST(ScanTable, FreelistPagesOfAnotherShapeAreSkipped) {
  fixtures::TempDir dir;
  std::string sql = "PRAGMA page_size=1024; CREATE TABLE other (a TEXT, b TEXT); BEGIN;";
  for (int i = 0; i < 200; ++i) {
    sql += "INSERT INTO other VALUES ('" + Address(i) + "', 'second column');";
  }
  sql += "COMMIT; DROP TABLE other;";
  ExecSql(dir / "x.db", sql);
  WriteHandles(dir / "x.db", 1024, 3);
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "x.db"), kResultOk);
  ASSERT_FALSE(reader.FreePages().empty());
  const std::vector<Seen> seen = Scan(reader, "handle");
  for (const Seen& s : seen) EXPECT_FALSE(s.deleted) << s.address;
  EXPECT_EQ(LiveRows(seen).size(), 3u);
}

TEST(ScanTable, ASecondFileReplacesTheFreelistOfTheFirst) {
  fixtures::TempDir dir;
  WriteHandles(dir / "a.db", 1024, 400, "DROP TABLE handle;");
  WriteHandles(dir / "b.db", 1024, 5);
  RawSqliteReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "a.db"), kResultOk);
  EXPECT_FALSE(reader.FreePages().empty());
  ASSERT_EQ(reader.OpenDatabase(dir / "b.db"), kResultOk);
  EXPECT_TRUE(reader.FreePages().empty());
  const std::vector<Seen> seen = Scan(reader, "handle");
  EXPECT_EQ(seen.size(), 5u);
}

// ---------------------------------------------------------------------------------------------
// Page sources and findings

// A source over bytes in memory whose page reads fail from the (N+1)th on, as a disk that
// stops answering; reads shorter than a page (the header) always succeed.
class FailingAfter final : public PageSource {
 public:
  FailingAfter(std::vector<std::uint8_t> bytes, std::size_t pageSize, int pageReads)
      : memory_(std::move(bytes)), pageSize_(pageSize), left_(pageReads) {}
  std::uint64_t Size() const override { return memory_.Size(); }
  Result Read(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (out.size() >= pageSize_ && left_-- <= 0) return kResultSystemBase + EIO;
    return memory_.Read(offset, out);
  }

 private:
  MemoryPageSource memory_;
  std::size_t pageSize_;
  mutable int left_;
};

TEST(PageSource, AMemoryBufferReadsLikeTheFileAndAnIntactFileHasNoFindings) {
  fixtures::TempDir dir;
  // Freeblocks, an unallocated gap and freelist pages, none of them damage.
  WriteHandles(dir / "m.db", 1024, 600,
               "DELETE FROM handle WHERE ROWID % 7 = 3; DELETE FROM handle WHERE ROWID > 590;");
  std::string sql = "CREATE TABLE other (a TEXT, b TEXT); BEGIN;";
  for (int i = 0; i < 200; ++i) sql += "INSERT INTO other VALUES ('" + Address(i) + "', 'b');";
  ExecSql(dir / "m.db", sql + "COMMIT; DROP TABLE other;");
  FindingsList findings;
  RawSqliteReader fromFile;
  fromFile.ReportTo(&findings);
  ASSERT_EQ(fromFile.OpenDatabase(dir / "m.db"), kResultOk);
  ASSERT_FALSE(fromFile.FreePages().empty());
  const std::vector<Seen> fileSeen = Scan(fromFile, "handle");

  RawSqliteReader fromMemory;
  fromMemory.ReportTo(&findings);
  ASSERT_EQ(fromMemory.Open(std::make_unique<MemoryPageSource>(ReadBytes(dir / "m.db")), "m"),
            kResultOk);
  const std::vector<Seen> memorySeen = Scan(fromMemory, "handle");
  ASSERT_EQ(memorySeen.size(), fileSeen.size());
  for (std::size_t i = 0; i < fileSeen.size(); ++i) {
    EXPECT_EQ(memorySeen[i].address, fileSeen[i].address);
    EXPECT_EQ(memorySeen[i].carved, fileSeen[i].carved);
  }
  EXPECT_EQ(LiveRows(fileSeen).size(), 506u);
  EXPECT_TRUE(findings.Snapshot().empty());
}

// Reads served from the read-ahead window and reads that go to the file give the file's
// bytes alike: in order, straddling the window's end, backwards, scattered, large, at the
// end; past the end they fail. A file cut short after opening fails the reads past its new
// end and still serves those before it.
TEST(PageSource, FileReadsGiveTheFileBytesInAnyOrder) {
  fixtures::TempDir dir;
  const std::size_t size = 3 * FilePageSource::kWindowBytes + 1234;
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 9));
  WriteBytes(dir / "f.bin", bytes);
  std::unique_ptr<FilePageSource> file;
  ASSERT_EQ(FilePageSource::Open(dir / "f.bin", file), kResultOk);
  ASSERT_EQ(file->Size(), size);
  const auto check = [&](std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> out(length, 0xEE);
    ASSERT_EQ(file->Read(offset, out), kResultOk) << offset << "+" << length;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + static_cast<long>(offset)))
        << offset << "+" << length;
  };
  // In order, 1000 bytes at a time: reads straddle every window end.
  for (std::uint64_t offset = 0; offset + 1000 <= size; offset += 1000) check(offset, 1000);
  check(size - 234, 234);  // the last bytes
  check(5, 4096);          // backwards, inside no window
  check(2 * FilePageSource::kWindowBytes - 10, 20);
  check(2 * FilePageSource::kWindowBytes + 30, 100);  // forwards from there
  check(100, FilePageSource::kWindowBytes + 1);       // larger than a window
  check(0, size);
  // Two streams in order at once, as a scan and its carving thread read.
  for (std::uint64_t a = 0, b = size / 2; b + 700 <= size; a += 700, b += 700) {
    check(a, 700);
    check(b, 700);
  }
  std::vector<std::uint8_t> out(10);
  EXPECT_EQ(file->Read(size - 9, out), kResultInvalid);
  EXPECT_EQ(file->Read(size + 1, std::span<std::uint8_t>(out).first(0)), kResultInvalid);

  // Cut short: reads past the new end fail; a read in order near it, whose window cannot be
  // filled, reads just its own bytes.
  std::unique_ptr<FilePageSource> cut;
  ASSERT_EQ(FilePageSource::Open(dir / "f.bin", cut), kResultOk);
  const std::size_t window = FilePageSource::kWindowBytes;
  std::filesystem::resize_file(dir / "f.bin", window + 500);
  std::vector<std::uint8_t> page(400);
  EXPECT_EQ(cut->Read(window * 2, page), kResultInvalid);
  ASSERT_EQ(cut->Read(window - 100, page), kResultOk);
  EXPECT_TRUE(
      std::equal(page.begin(), page.end(), bytes.begin() + static_cast<long>(window - 100)));
  std::vector<std::uint8_t> tail(200);
  ASSERT_EQ(cut->Read(window + 300, tail), kResultOk);
  EXPECT_TRUE(
      std::equal(tail.begin(), tail.end(), bytes.begin() + static_cast<long>(window + 300)));
  EXPECT_EQ(cut->Read(window + 400, tail), kResultInvalid);
}

TEST(PageSource, ReadsFailingAfterNPagesEndTheScanWithWhatWasReadAndAFinding) {
  fixtures::TempDir dir;
  WriteHandles(dir / "h.db", 512, 3000);
  const std::vector<std::uint8_t> bytes = ReadBytes(dir / "h.db");
  // The scan reads the schema, every page of the tree, then the leaves again for their rows:
  // from about `pages` reads on, rows come.
  const int pages = static_cast<int>(bytes.size() / 512);
  std::size_t previous = 0;
  for (int reads : {0, 1, pages / 2, pages + pages / 4, pages + pages / 2}) {
    FindingsList findings;
    RawSqliteReader reader;
    reader.ReportTo(&findings);
    // The count of reads is the test's clock: the scan's own thread makes them all.
    reader.SetCarveAhead(false);
    ASSERT_EQ(reader.Open(std::make_unique<FailingAfter>(bytes, 512, reads), "h"), kResultOk);
    Result result = kResultOk;
    const std::vector<Seen> seen = Scan(reader, "handle", &result);
    EXPECT_EQ(result, kResultSystemBase + EIO) << reads;
    // Every row delivered is a whole, right row; more reads never give fewer rows.
    const auto live = LiveRows(seen);
    for (const auto& [rowId, address] : live) EXPECT_EQ(address, Address(static_cast<int>(rowId)));
    EXPECT_LT(live.size(), 3000u);
    EXPECT_GE(live.size(), previous) << reads;
    previous = live.size();
    const std::vector<Finding> pages = FindingsOf(findings, "page");
    ASSERT_FALSE(pages.empty()) << reads;
    EXPECT_EQ(pages[0].file, "h");
    EXPECT_EQ(pages[0].why, "unreadable");
    EXPECT_EQ(pages[0].where.rfind("page ", 0), 0u);
  }
  EXPECT_GT(previous, 0u);
}

// ---------------------------------------------------------------------------------------------
// Corrupt and hostile files: each ends cleanly with what could be read.

class CorruptFile : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHandles(dir_ / "good.db", 1024, 600, "DELETE FROM handle WHERE ROWID % 5 = 0;");
    good_ = ReadBytes(dir_ / "good.db");
  }
  std::vector<Seen> ScanBytes(const std::vector<std::uint8_t>& bytes, Result* open = nullptr,
                              Result* scan = nullptr) {
    WriteBytes(dir_ / "bad.db", bytes);
    RawSqliteReader reader;
    const Result opened = reader.OpenDatabase(dir_ / "bad.db");
    if (open) *open = opened;
    if (opened != kResultOk) return {};
    return Scan(reader, "handle", scan);
  }
  std::uint32_t RootPage() const {
    // The handle table's root page number, from its schema row on page 1.
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir_ / "good.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name='handle'", -1, &stmt,
                       nullptr);
    sqlite3_step(stmt);
    const auto root = static_cast<std::uint32_t>(sqlite3_column_int(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return root;
  }
  fixtures::TempDir dir_;
  std::vector<std::uint8_t> good_;
  static constexpr std::size_t kPage = 1024;
};

TEST_F(CorruptFile, TruncationKeepsTheRowsOfWholePages) {
  const std::size_t live = LiveRows(ScanBytes(good_)).size();
  ASSERT_EQ(live, 480u);
  std::size_t previous = 0;
  for (std::size_t pages = 1; pages * kPage <= good_.size(); pages += 3) {
    std::vector<std::uint8_t> cut(good_.begin(), good_.begin() + pages * kPage + 17);
    const std::size_t got = LiveRows(ScanBytes(cut)).size();
    EXPECT_LE(got, live);
    EXPECT_GE(got, previous) << "a longer file should never give fewer live rows";
    previous = got;
  }
  EXPECT_GT(previous, 0u);
  Result open = kResultOk;
  ScanBytes(std::vector<std::uint8_t>(good_.begin(), good_.begin() + 50), &open);
  EXPECT_EQ(open, kResultInvalid);
}

TEST_F(CorruptFile, FreelistTrunkPointingToItselfEnds) {
  auto bytes = good_;
  // Make page 2 a trunk that lists page 3 and names itself as the next trunk.
  PutBe32(bytes, 32, 2);
  PutBe32(bytes, kPage * 1, 2);
  PutBe32(bytes, kPage * 1 + 4, 1);
  PutBe32(bytes, kPage * 1 + 8, 3);
  WriteBytes(dir_ / "loop.db", bytes);
  FindingsList findings;
  RawSqliteReader reader;
  reader.ReportTo(&findings);
  ASSERT_EQ(reader.OpenDatabase(dir_ / "loop.db", "loop"), kResultOk);
  EXPECT_LE(reader.FreePages().size(), reader.PageCount());
  Scan(reader, "handle");
  const std::vector<Finding> cut = FindingsOf(findings, "freelist");
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].file, "loop");
  EXPECT_EQ(cut[0].where, "page 2");
  EXPECT_EQ(cut[0].why,
            "trunk chain cut at its bound of " + std::to_string(reader.PageCount()) + " pages");
}

TEST_F(CorruptFile, TrunkAnnouncingTooManyLeavesStaysInsideItsPage) {
  auto bytes = good_;
  PutBe32(bytes, 32, 2);
  PutBe32(bytes, kPage * 1, 0);
  PutBe32(bytes, kPage * 1 + 4, 0xFFFFFFFF);
  WriteBytes(dir_ / "many.db", bytes);
  FindingsList findings;
  RawSqliteReader reader;
  reader.ReportTo(&findings);
  ASSERT_EQ(reader.OpenDatabase(dir_ / "many.db"), kResultOk);
  EXPECT_LE(reader.FreePages().size(), kPage / 4 - 2);
  EXPECT_EQ(FindingsOf(findings, "freelist").size(), 1u);
}

// A trunk whose leaf count runs past the page (or ends right at it) is read no further than
// the page; the array's real entries are not taken for cells.
TEST_F(CorruptFile, TrunkWithLeafCountPastThePageIsSweptInsideIt) {
  fixtures::TempDir dir;
  WriteHandles(dir / "t.db", 1024, 400, "DROP TABLE handle;");
  const auto dropped = ReadBytes(dir / "t.db");
  const std::uint32_t trunk = GetBe32(dropped, 32);
  ASSERT_NE(trunk, 0u);
  const std::size_t at = (trunk - 1) * kPage;
  for (const std::uint32_t count :
       {0xFFFFFFFFu, std::uint32_t{kPage / 4 - 2}, std::uint32_t{kPage / 4 - 3}, 0x40000000u}) {
    auto bytes = dropped;
    PutBe32(bytes, at + 4, count);
    WriteBytes(dir_ / "trunk.db", bytes);
    RawSqliteReader reader;
    ASSERT_EQ(reader.OpenDatabase(dir_ / "trunk.db"), kResultOk);
    ASSERT_EQ(reader.FreeTrunkPages().size(), 1u);
    int onTrunk = 0;
    for (const Seen& s : Scan(reader, "handle")) {
      if (s.origin != CarveOrigin::kTrunkPage) continue;
      ++onTrunk;
      EXPECT_EQ(s.address.substr(0, 5), "+1555");
    }
    // The whole page taken by the array: no room for a cell.
    EXPECT_EQ(onTrunk, 0) << count;
  }
}

// An interior page whose pointer array overruns its content start, or the page itself.
TEST_F(CorruptFile, InteriorPointerArrayOverrunningThePageIsSkipped) {
  const std::size_t root = (RootPage() - 1) * kPage;
  ASSERT_EQ(good_[root], 5);
  for (const std::uint16_t cells : {std::uint16_t{0xFFFF}, std::uint16_t{kPage / 2 - 6},
                                    std::uint16_t{kPage / 2 - 7}, std::uint16_t{200}}) {
    for (const std::uint16_t contentStart :
         {std::uint16_t{0}, std::uint16_t{13}, std::uint16_t{kPage - 1}, std::uint16_t{0xFFFF}}) {
      auto bytes = good_;
      PutBe16(bytes, root + 3, cells);
      PutBe16(bytes, root + 5, contentStart);
      Result scan = -1;
      const auto seen = ScanBytes(bytes, nullptr, &scan);
      EXPECT_LE(LiveRows(seen).size(), 600u);
      EXPECT_EQ(scan, kResultOk);
      // The sweep may pass over the interior cells themselves: what it takes is carved.
      for (const Seen& s : seen) {
        if (s.origin == CarveOrigin::kInteriorPage) {
          EXPECT_TRUE(s.carved && s.deleted);
        }
      }
    }
  }
}

TEST_F(CorruptFile, OverflowChainThatLoopsEnds) {
  fixtures::TempDir dir;
  ExecSql(dir / "o.db",
          "PRAGMA page_size=1024; CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT, "
          "country TEXT, service TEXT, uncanonicalized_id TEXT);"
          "INSERT INTO handle VALUES (1, '" +
              std::string(20000, 'o') + "', 'us', 'SMS', NULL);");
  auto bytes = ReadBytes(dir / "o.db");
  // Every overflow page points to itself.
  const std::size_t pages = bytes.size() / kPage;
  for (std::size_t p = 2; p < pages; ++p) {
    if (bytes[p * kPage] == 0 && bytes[p * kPage + 4] == 'o') PutBe32(bytes, p * kPage, p + 1);
  }
  WriteBytes(dir / "o.db", bytes);
  FindingsList findings;
  RawSqliteReader reader;
  reader.ReportTo(&findings);
  ASSERT_EQ(reader.OpenDatabase(dir / "o.db"), kResultOk);
  // The text is cut short by the loop, so the row is not delivered with a wrong text.
  for (const Seen& s : Scan(reader, "handle")) EXPECT_NE(s.address.size(), 20000u);
  const std::vector<Finding> loop = FindingsOf(findings, "overflow chain");
  ASSERT_EQ(loop.size(), 1u);
  EXPECT_EQ(loop[0].file, "o.db");
  EXPECT_EQ(loop[0].why, "loops back");
}

TEST_F(CorruptFile, CellOffsetsPastThePageAndBogusCountsAreSkipped) {
  auto bytes = good_;
  const std::size_t root = (RootPage() - 1) * kPage;
  ASSERT_EQ(bytes[root], 5) << "expected an interior root";
  const std::uint32_t leaf = GetBe32(bytes, root + 8);  // the right-most child, a leaf
  ASSERT_NE(leaf, 0u);
  const std::size_t page = (leaf - 1) * kPage;
  PutBe16(bytes, page + 8, 0xFFF0);  // first cell pointer far past the page
  PutBe16(bytes, page + 3, 0xFFFF);  // cell count larger than the page can hold
  PutBe16(bytes, page + 1, 1020);    // first freeblock at the very end
  Result scan = -1;
  const auto seen = ScanBytes(bytes, nullptr, &scan);
  EXPECT_EQ(scan, kResultOk);
  EXPECT_LT(LiveRows(seen).size(), 480u + 1);
  EXPECT_GT(LiveRows(seen).size(), 300u);
}

TEST_F(CorruptFile, BTreeChildrenThatLoopEnd) {
  auto bytes = good_;
  const std::uint32_t root = RootPage();
  const std::size_t at = (root - 1) * kPage;
  ASSERT_EQ(bytes[at], 5);
  PutBe32(bytes, at + 8, root);  // the right-most child is the root itself
  const auto seen = ScanBytes(bytes);
  EXPECT_GT(LiveRows(seen).size(), 0u);
}

TEST_F(CorruptFile, BitFlipsNeverCrash) {
  // Every 97th byte of the file flipped one at a time (ASan and UBSan watch the reads).
  for (std::size_t off = 0; off < good_.size(); off += 97) {
    auto bytes = good_;
    bytes[off] ^= static_cast<std::uint8_t>(1u << (off % 8));
    const auto seen = ScanBytes(bytes);
    EXPECT_LE(LiveRows(seen).size(), 600u);
  }
}

TEST_F(CorruptFile, TextLengthPastTheRecordRejectsOnlyThatRow) {
  auto bytes = good_;
  const std::uint32_t root = RootPage();
  const std::uint32_t leaf = GetBe32(bytes, (root - 1) * kPage + 8);  // the right-most leaf
  const std::size_t page = (leaf - 1) * kPage;
  ASSERT_EQ(bytes[page], 13);
  const std::size_t cell = page + GetBe16(bytes, page + 8);
  // cell: payload length (1 byte), rowid (1-2 bytes), header size, serial types...
  std::size_t pos = cell + 1;
  while (bytes[pos] & 0x80) ++pos;
  ++pos;  // past the rowid
  const std::size_t types = pos + 1;
  ASSERT_EQ(bytes[types], 0);  // column 0, the rowid alias
  // Column 1's serial type becomes a text of 60 bytes, more than the record holds.
  bytes[types + 1] = 13 + 2 * 60;
  const auto seen = ScanBytes(bytes);
  EXPECT_EQ(LiveRows(seen).size(), 479u);
}

TEST_F(CorruptFile, VarintRunAtThePageEnd) {
  auto bytes = good_;
  const std::uint32_t root = RootPage();
  const std::uint32_t leaf = GetBe32(bytes, (root - 1) * kPage + 8);
  const std::size_t page = (leaf - 1) * kPage;
  // The last bytes of the page become unterminated varints, and a freeblock points there.
  for (std::size_t i = kPage - 12; i < kPage; ++i) bytes[page + i] = 0xFF;
  PutBe16(bytes, page + 1, kPage - 8);
  const auto seen = ScanBytes(bytes);
  EXPECT_GT(LiveRows(seen).size(), 400u);
}

}  // namespace
}  // namespace kestrio
