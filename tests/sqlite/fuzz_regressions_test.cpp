// Inputs kept from fuzzing the reader (fuzz/sqlite_reader_fuzz.cpp), read the way the fuzz
// target reads them: one reader scans message, handle, attachment, message_attachment_join
// and the contact table with the parsers' decoders, then ParseMessages and both row dumps run
// on the same file.
//
// The files in tests/data/fuzz/ are plain database files. The fuzz target's inputs carry one
// more byte in front (the reader's starting values); each case below sets the values that
// byte selected.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/findings.h"
#include "base/text.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/table_shapes.h"
#include "sqlite/btree_page.h"
#include "sqlite/page_source.h"
#include "sqlite/raw_sqlite_reader.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

std::filesystem::path FuzzInput(std::string_view name) {
  return std::filesystem::path(KESTRIO_SOURCE_DIR) / "tests" / "data" / "fuzz" / name;
}

// The reader's starting values (what the fuzz input's first byte chose).
struct StartValues {
  std::uint32_t messageColumnCount = 38;
  bool newLayout = false;
};

struct ScanOutcome {
  Result open = kResultOk;
  std::vector<Result> scans;  // message, handle, attachment, join, contacts
  std::vector<MessageRecord> messages;
  std::vector<HandleRecord> handles;
  std::vector<AttachmentRecord> attachments;
  std::vector<AttachmentLink> links;
  std::vector<ContactRecord> contacts;
};

ScanOutcome ScanEveryTable(const std::filesystem::path& path, const StartValues& start) {
  ScanOutcome out;
  TableReader reader;
  reader.Learned().messageColumnCount = start.messageColumnCount;
  reader.Learned().newLayout = start.newLayout;
  out.open = reader.OpenDatabase(path);
  if (out.open != kResultOk) return out;
  out.scans.push_back(reader.ScanTable("message", [&](const RecordView& view) {
    return DecodeMessage(reader, view, out.messages);
  }));
  out.scans.push_back(reader.ScanTable(
      "handle", [&](const RecordView& view) { return DecodeHandle(reader, view, out.handles); }));
  out.scans.push_back(reader.ScanTable("attachment", [&](const RecordView& view) {
    return DecodeAttachment(reader, view, out.attachments);
  }));
  out.scans.push_back(reader.ScanTable("message_attachment_join", [&](const RecordView& view) {
    return DecodeAttachmentLink(reader, view, out.links);
  }));
  out.scans.push_back(ReadContactRows(reader, out.contacts));
  return out;
}

using LiveRow = std::pair<std::uint32_t, std::string>;  // rowid, text

struct SqliteView {
  std::string integrity;      // the answer to PRAGMA integrity_check
  std::vector<LiveRow> rows;  // messages the decoder keeps (non-empty clean text), sorted
  std::uint64_t highestRowId = 0;
};

SqliteView ReadWithSqlite(const std::filesystem::path& path) {
  SqliteView view;
  sqlite3* db = nullptr;
  const std::string uri = "file:" + path.string() + "?immutable=1";
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      view.integrity = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    if (sqlite3_prepare_v2(db, "SELECT ROWID, text FROM message", -1, &statement, nullptr) ==
        SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW) {
        view.highestRowId = std::max(
            view.highestRowId, static_cast<std::uint64_t>(sqlite3_column_int64(statement, 0)));
        if (sqlite3_column_type(statement, 1) != SQLITE_TEXT) continue;
        const std::string text(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                               static_cast<std::size_t>(sqlite3_column_bytes(statement, 1)));
        if (text.empty() || !IsCleanUtf8(text)) continue;
        view.rows.emplace_back(static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0)),
                               text);
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  std::sort(view.rows.begin(), view.rows.end());
  return view;
}

std::vector<LiveRow> LiveRows(const std::vector<MessageRecord>& messages) {
  std::vector<LiveRow> rows;
  for (const MessageRecord& message : messages) {
    if (!message.deleted) rows.emplace_back(message.rowId, message.text);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

// ---------------------------------------------------------------------------------------------
// Messages databases that SQLite finds intact, with mutated bytes in their free space: the
// carving reads garbage there, and none of it may reach the live rows.
//   free-space-garbage-38.db  page size 512; a mutant in the manner of
//                             fuzz/free_space_mutants.py: freeblock bodies, unallocated gaps
//                             and freelist pages overwritten with random bytes, varint-like
//                             byte runs and copies of live cells; the carving meets one more
//                             candidate than in the clean file and the decoder rejects it
//   free-space-garbage-51.db  page size 1024, 51-column message table; a libFuzzer mutation
//                             of a generated database that SQLite still reads as intact

struct IntactCase {
  const char* file;
  StartValues start;
};

class FreeSpaceGarbage : public ::testing::TestWithParam<IntactCase> {};

TEST_P(FreeSpaceGarbage, LiveMessagesAreExactlySqlitesAndCarvedOnesAreText) {
  const std::filesystem::path path = FuzzInput(GetParam().file);
  const SqliteView sqlite = ReadWithSqlite(path);
  ASSERT_EQ(sqlite.integrity, "ok") << "the input must stay a file SQLite reads as intact";
  ASSERT_FALSE(sqlite.rows.empty());

  const ScanOutcome outcome = ScanEveryTable(path, GetParam().start);
  ASSERT_EQ(outcome.open, kResultOk);
  for (const Result scan : outcome.scans) EXPECT_EQ(scan, kResultOk);
  EXPECT_EQ(LiveRows(outcome.messages), sqlite.rows);

  std::size_t deleted = 0;
  for (const MessageRecord& message : outcome.messages) {
    if (!message.deleted) continue;
    ++deleted;
    EXPECT_FALSE(message.text.empty());
    EXPECT_TRUE(IsCleanUtf8(message.text)) << message.text;
  }
  EXPECT_GT(deleted, 0u) << "the deleted rows of the file are no longer found";
  for (const HandleRecord& handle : outcome.handles) EXPECT_TRUE(IsValidUtf8(handle.address));

  // The whole parse over the same file (doubling as the address book) keeps every live row.
  ConversationMap conversations;
  std::uint64_t highestRowId = 0;
  ASSERT_EQ(ParseMessages(ParseContext{}, path, conversations, path, highestRowId), kResultOk);
  // A message of attachments only is listed as well, without text.
  std::vector<MessageRecord> parsed;
  for (const auto& [key, list] : conversations) {
    for (const MessageRecord& m : list) {
      if (!m.text.empty() || m.attachments.empty()) parsed.push_back(m);
    }
  }
  EXPECT_EQ(LiveRows(parsed), sqlite.rows);
  EXPECT_EQ(highestRowId, sqlite.highestRowId);

  fixtures::TempDir dir;
  EXPECT_EQ(DumpMessageRows(path, dir / "message.txt", 0, 0), kResultOk);
  EXPECT_EQ(DumpContactRows(path, dir / "contacts.txt", 0), kResultOk);
}

INSTANTIATE_TEST_SUITE_P(FuzzInputs, FreeSpaceGarbage,
                         ::testing::Values(IntactCase{"free-space-garbage-38.db", {38, false}},
                                           IntactCase{"free-space-garbage-51.db", {51, false}}),
                         [](const ::testing::TestParamInfo<IntactCase>& info) {
                           return std::to_string(info.param.start.messageColumnCount) + "Columns";
                         });

}  // namespace
}  // namespace kestrio

namespace kestrio {
namespace {

// no-whole-page.db: a valid header declaring 512-byte pages in a file of 315 bytes, so the
// file holds no whole page. The schema walk once marked page 0 as visited in a page set sized
// for zero pages and wrote outside it; such a file is now refused when it is opened.
TEST(FuzzCrashers, FileWithoutAWholePageIsNotADatabase) {
  const auto path = FuzzInput("no-whole-page.db");
  EXPECT_EQ(ScanEveryTable(path, {}).open, kResultInvalid);
  ConversationMap conversations;
  std::uint64_t highest = 0;
  EXPECT_EQ(ParseMessages({}, path, conversations, path, highest), kResultInvalid);
  EXPECT_TRUE(conversations.empty());
}

}  // namespace
}  // namespace kestrio

// Inputs of fuzz/sqlite_page_fuzz.cpp (one page in memory), rebuilt here byte by byte.
namespace kestrio {
namespace {

// A memory source that counts the page reads made through it.
class CountingSource final : public PageSource {
 public:
  explicit CountingSource(std::vector<std::uint8_t> bytes, std::uint64_t* reads)
      : memory_(std::move(bytes)), reads_(reads) {}
  std::uint64_t Size() const override { return memory_.Size(); }
  Result Read(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    ++*reads_;
    return memory_.Read(offset, out);
  }

 private:
  MemoryPageSource memory_;
  std::uint64_t* reads_;
};

constexpr std::size_t kPage = 512;

// A database of 512-byte pages: page 1 an empty schema, page 2 a leaf whose `pointers` cell
// pointers all name one cell at 400 declaring a 100,057-byte payload whose overflow chain
// starts at page `first` (0: none), then `chain` overflow pages linked in order.
std::vector<std::uint8_t> SharedCellDatabase(std::size_t pointers, std::uint32_t first,
                                             std::size_t chain) {
  std::vector<std::uint8_t> file((2 + chain) * kPage, 0);
  const char magic[] = "SQLite format 3";
  std::copy(magic, magic + sizeof magic, file.begin());
  file[16] = 2;  // 512
  file[100] = kLeafTablePage;
  std::uint8_t* leaf = file.data() + kPage;
  leaf[0] = kLeafTablePage;
  leaf[3] = static_cast<std::uint8_t>(pointers >> 8);
  leaf[4] = static_cast<std::uint8_t>(pointers);
  leaf[5] = 400 >> 8;
  leaf[6] = 400 & 0xFF;
  for (std::size_t i = 0; i < pointers; ++i) {
    leaf[8 + 2 * i] = 400 >> 8;
    leaf[9 + 2 * i] = 400 & 0xFF;
  }
  // Payload length 100,057 as a 3-byte varint, rowid 1, 39 local bytes (the minimum local
  // part on 512-byte pages, taken as (P - 39) % 508 = 450 leaves more than 477), then the
  // first overflow page number.
  const std::uint8_t head[] = {0x86, 0x8D, 0x59, 0x01};
  std::copy(std::begin(head), std::end(head), leaf + 400);
  std::fill(leaf + 404, leaf + 404 + 39, 'x');
  for (int i = 0; i < 4; ++i) leaf[443 + i] = static_cast<std::uint8_t>(first >> (24 - 8 * i));
  for (std::size_t p = 0; p < chain; ++p) {
    const std::uint32_t next = p + 1 < chain ? static_cast<std::uint32_t>(p + 4) : 0;
    std::uint8_t* page = file.data() + (2 + p) * kPage;
    for (int i = 0; i < 4; ++i) page[i] = static_cast<std::uint8_t>(next >> (24 - 8 * i));
  }
  return file;
}

// A page whose cells all named one cell declaring a payload of 100,057 bytes (capped at the
// file's size) made ReadCell reserve that much and copy the local part again for every
// cell; the fuzz target timed out on a 64 KiB page. A payload without an overflow page is
// now the local part, read in place.
TEST(PageFuzzCrashers, ALongPayloadWithoutAChainIsReadInPlace) {
  const std::vector<std::uint8_t> file = SharedCellDatabase(190, 0, 0);
  RawSqliteReader reader;
  FindingsList findings;
  reader.ReportTo(&findings);
  std::uint64_t reads = 0;
  ASSERT_EQ(reader.Open(std::make_unique<CountingSource>(file, &reads), "shared"), kResultOk);
  const Bytes leaf = Bytes(file).subspan(kPage, kPage);
  const std::vector<std::uint32_t> cells = CellOffsets(BtreePage{leaf, 0});
  ASSERT_EQ(cells.size(), 190u);
  CellPayload cell;
  ASSERT_TRUE(reader.ReadCell(leaf.subspan(cells[0]), cell, true));
  EXPECT_EQ(cell.payloadLength, 100057u);
  EXPECT_EQ(cell.payload.size(), 39u);
  EXPECT_TRUE(cell.storage.empty());
  EXPECT_EQ(cell.payload.data(), leaf.data() + 404);
  // The cut payload is a finding of a live row's cell.
  ASSERT_EQ(findings.Snapshot().size(), 1u);
  EXPECT_EQ(findings.Snapshot()[0].what, "overflow chain");
}

// Every cell of a page may lead into the same long overflow chain: the reads of a scan (or
// of the cell reads between two scans) are bounded by 32 per page of the file, not by cells
// times chain length, and the payloads cut by the bound are one finding.
TEST(PageFuzzCrashers, CellsSharingALongChainStayWithinTheOverflowBudget) {
  constexpr std::size_t kChain = 100;
  const std::vector<std::uint8_t> file = SharedCellDatabase(190, 3, kChain);
  RawSqliteReader reader;
  FindingsList findings;
  reader.ReportTo(&findings);
  std::uint64_t reads = 0;
  ASSERT_EQ(reader.Open(std::make_unique<CountingSource>(file, &reads), "shared"), kResultOk);
  const std::uint64_t budget = std::uint64_t{reader.PageCount()} * 32 + 1024;
  const Bytes leaf = Bytes(file).subspan(kPage, kPage);
  reads = 0;
  CellPayload cell;
  std::size_t whole = 0;
  for (std::uint32_t off : CellOffsets(BtreePage{leaf, 0})) {
    ASSERT_TRUE(reader.ReadCell(leaf.subspan(off), cell, true));
    if (cell.payload.size() == 39 + kChain * (kPage - 4)) ++whole;
  }
  // Without the bound: 190 cells times 100 pages.
  EXPECT_LE(reads, budget);
  EXPECT_EQ(whole, budget / kChain);
  std::size_t budgetFindings = 0;
  for (const Finding& f : findings.Snapshot())
    budgetFindings += f.why.find("read budget") != std::string::npos ? 1 : 0;
  EXPECT_EQ(budgetFindings, 1u);
}

}  // namespace
}  // namespace kestrio
