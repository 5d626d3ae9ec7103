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

#include "base/text.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/table_shapes.h"
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
  std::vector<MessageRecord> parsed;
  for (const auto& [handle, list] : conversations)
    parsed.insert(parsed.end(), list.begin(), list.end());
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
