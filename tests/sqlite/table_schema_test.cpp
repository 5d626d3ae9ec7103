#include "sqlite/table_schema.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

using fixtures::TempDir;
using testing::ExecSql;

struct LibraryColumn {
  std::string name;
  std::string type;
  std::string defaultText;
  int pk = 0;
};

// What SQLite itself makes of a table: PRAGMA table_info over the statement run in memory.
std::vector<LibraryColumn> LibraryColumns(const std::string& createSql, const std::string& table) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  std::vector<LibraryColumn> columns;
  if (sqlite3_exec(db, createSql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    const std::string pragma = "PRAGMA table_info(\"" + table + "\")";
    sqlite3_prepare_v2(db, pragma.c_str(), -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto text = [&](int i) {
        const auto* p = sqlite3_column_text(stmt, i);
        return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
      };
      columns.push_back({text(1), text(2), text(4), sqlite3_column_int(stmt, 5)});
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return columns;
}

TEST(TableSchema, EveryRealLayoutSplitsAsSqliteItselfSplitsIt) {
  const std::filesystem::path dir =
      std::filesystem::path(KESTRIO_SOURCE_DIR) / "tests/data/ios-schemas";
  int tables = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".sql") continue;
    const std::string layout = entry.path().stem().string();
    std::istringstream lines(fixtures::RealSchemaSql(layout));
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("CREATE TABLE")) continue;  // a few files list indexes too
      SCOPED_TRACE(layout + ": " + line.substr(0, 60));
      const auto schema = ParseCreateTable(line);
      ASSERT_TRUE(schema.has_value());
      const auto library = LibraryColumns(line, schema->name);
      ASSERT_EQ(schema->columns.size(), library.size());
      const int primaryKeys = static_cast<int>(std::count_if(
          library.begin(), library.end(), [](const LibraryColumn& c) { return c.pk != 0; }));
      for (std::size_t i = 0; i < library.size(); ++i) {
        EXPECT_EQ(schema->columns[i].name, library[i].name);
        EXPECT_TRUE(EqualsIgnoreCase(schema->columns[i].declaredType, library[i].type))
            << schema->columns[i].declaredType << " vs " << library[i].type;
        const bool alias =
            primaryKeys == 1 && library[i].pk == 1 && EqualsIgnoreCase(library[i].type, "INTEGER");
        EXPECT_EQ(schema->columns[i].rowIdAlias, alias) << library[i].name;
        const DefaultValue& d = schema->columns[i].defaultValue;
        if (library[i].defaultText == "0") {
          EXPECT_EQ(d.kind, DefaultValue::Kind::kInteger);
          EXPECT_EQ(d.integer, 0);
        } else if (library[i].defaultText.empty()) {
          EXPECT_EQ(d.kind, DefaultValue::Kind::kNull);
        }
      }
      ++tables;
    }
  }
  EXPECT_GT(tables, 200);  // every file of the directory was read
}

TEST(TableSchema, QuotesCommentsConstraintsAndDefaults) {
  const auto schema = ParseCreateTable(
      "create temp table if not exists main.\"odd \"\"name\"\" \" (\n"
      "  -- a comment, with a comma\n"
      "  [first col] TEXT DEFAULT 'it''s, (really)',\n"
      "  `b` VARCHAR(10, 2) NOT NULL DEFAULT -42 /* , */,\n"
      "  'c',\n"
      "  d REAL DEFAULT (1.5e3),\n"
      "  e INTEGER DEFAULT CURRENT_TIMESTAMP,\n"
      "  id INTEGER,\n"
      "  CONSTRAINT pk PRIMARY KEY (id DESC),\n"
      "  CHECK (b > 0), UNIQUE(b, 'c')) WITHOUT ROWID");
  ASSERT_TRUE(schema.has_value());
  EXPECT_EQ(schema->name, "odd \"name\" ");
  EXPECT_TRUE(schema->withoutRowId);
  ASSERT_EQ(schema->ColumnCount(), 6u);
  EXPECT_EQ(schema->columns[0].name, "first col");
  EXPECT_EQ(schema->columns[0].defaultValue.text, "it's, (really)");
  EXPECT_EQ(schema->columns[1].declaredType, "VARCHAR(10, 2)");
  EXPECT_EQ(schema->columns[1].defaultValue.integer, -42);
  EXPECT_EQ(schema->columns[2].name, "c");
  EXPECT_EQ(schema->columns[2].declaredType, "");
  EXPECT_EQ(schema->columns[3].defaultValue.kind, DefaultValue::Kind::kReal);
  EXPECT_DOUBLE_EQ(schema->columns[3].defaultValue.real, 1500.0);
  EXPECT_EQ(schema->columns[4].defaultValue.kind, DefaultValue::Kind::kNull);
  EXPECT_TRUE(schema->columns[5].rowIdAlias);  // PRIMARY KEY (id) as a table constraint
  EXPECT_EQ(schema->Find("FIRST COL"), 0u);
  EXPECT_EQ(schema->Find("nope"), TableSchema::kMissing);

  const auto descending = ParseCreateTable("CREATE TABLE t (id INTEGER PRIMARY KEY DESC, x)");
  ASSERT_TRUE(descending.has_value());
  EXPECT_FALSE(descending->columns[0].rowIdAlias);
}

TEST(TableSchema, StatementsThatDoNotParseGiveNothing) {
  for (const char* sql :
       {"", "CREATE", "CREATE INDEX i ON t(x)", "CREATE TABLE t", "CREATE TABLE t (a, b",
        "CREATE TABLE t ('a, b)", "CREATE TABLE t (a /* open", "CREATE TABLE t ()",
        "CREATE TABLE t (a,,b)", "CREATE TABLE t (PRIMARY KEY (a))", "CREATE TABLE t AS SELECT 1",
        "CREATE VIRTUAL TABLE f USING fts4(a, b)", "CREATE TABLE t (a) 'open"}) {
    EXPECT_FALSE(ParseCreateTable(sql).has_value()) << sql;
  }
}

// A table that grew by ALTER TABLE keeps its older rows short; those read the new columns'
// defaults, and the rowid alias reads the cell's rowid.
TEST(TableSchema, ShortRecordsReadDefaultsThroughTheTableReader) {
  TempDir dir;
  const auto db = dir / "grown.db";
  ExecSql(db,
          "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT);"
          "INSERT INTO message VALUES (7, 'old');"
          "ALTER TABLE message ADD COLUMN date_edited INTEGER DEFAULT 0;"
          "ALTER TABLE message ADD COLUMN note TEXT DEFAULT 'none';"
          "ALTER TABLE message ADD COLUMN extra BLOB;"
          "INSERT INTO message VALUES (8, 'new', 5, 'x', NULL);");
  TableReader reader;
  ASSERT_EQ(reader.OpenDatabase(db), kResultOk);
  const TableSchema* schema = reader.Schema("MESSAGE");
  ASSERT_NE(schema, nullptr);
  ASSERT_EQ(schema->ColumnCount(), 5u);
  EXPECT_TRUE(reader.HasTable("sqlite_sequence"));
  EXPECT_EQ(reader.Schema("absent"), nullptr);

  std::vector<std::string> rows;
  reader.ScanTable("message", [&](const RecordView& view) {
    if (view.carved) return kResultInvalid;
    DecodedRecord record;
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    const auto field = [&](std::string_view name) {
      return schema->Field(record, schema->Find(name), false);
    };
    std::string row =
        std::to_string(*field("ROWID").Integer()) + " " + std::string(field("text").Text()) + " " +
        std::to_string(*field("date_edited").Integer()) + " " + std::string(field("note").Text()) +
        " " + (field("extra").kind == FieldValue::Kind::kNull ? "null" : "?");
    rows.push_back(row);
    return kResultOk;
  });
  EXPECT_EQ(rows, (std::vector<std::string>{"7 old 0 none null", "8 new 5 x null"}));
}

TEST(TableSchema, BrokenStatementsAreFindingsAndFallBackToTheAssumedLayout) {
  TempDir dir;
  const auto db = dir / "odd.db";
  ExecSql(db, "CREATE TABLE t (a, b); CREATE VIRTUAL TABLE f USING fts4(x);");
  // Break the stored statement of t: its closing parenthesis becomes a space.
  {
    sqlite3* handle = nullptr;
    sqlite3_open(db.c_str(), &handle);
    sqlite3_exec(handle,
                 "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql='CREATE TABLE t (a, b ' "
                 "WHERE name='t';",
                 nullptr, nullptr, nullptr);
    sqlite3_close(handle);
  }
  FindingsList findings;
  TableReader reader(&findings);
  ASSERT_EQ(reader.OpenDatabase(db, "odd.db"), kResultOk);
  EXPECT_EQ(reader.Schema("t"), nullptr);
  EXPECT_TRUE(reader.HasTable("t"));
  EXPECT_EQ(reader.SchemaOr("t", "CREATE TABLE t (a, b, c)").ColumnCount(), 3u);
  ASSERT_EQ(findings.Snapshot().size(), 1u);  // the virtual table is no finding
  EXPECT_EQ(findings.Snapshot()[0].where, "table t");
}

}  // namespace
}  // namespace kestrio

namespace kestrio {
namespace {

// A table whose first column is no rowid alias: a freed record's serial-type run starts at
// column 1 (the freeblock header took column 0's type), and the value of column 0 still lies
// before column 1's. Every deleted row comes back with each field in its own column, and no
// live row comes back as deleted.
TEST(CarvedRecords, FirstColumnThatIsNoRowidAliasKeepsEveryFieldInPlace) {
  fixtures::TempDir dir;
  const auto db = dir / "people.db";
  std::string sql =
      "PRAGMA page_size=4096; CREATE TABLE person (name TEXT, date INTEGER, guid TEXT, note TEXT);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 120) "
      "INSERT INTO person SELECT 'person number ' || i, 500000000 + i * 1000, "
      "printf('%08X-0000-4000-8000-%012d', i, i), 'a note about ' || i FROM n;"
      // Every third row: freed cells between live ones, each its own freeblock.
      "DELETE FROM person WHERE rowid % 3 = 0;";
  testing::ExecSql(db, sql);
  TableReader reader;
  ASSERT_EQ(reader.OpenDatabase(db), kResultOk);
  const TableSchema* schema = reader.Schema("person");
  ASSERT_NE(schema, nullptr);
  const std::uint32_t name = schema->Find("name"), date = schema->Find("date"),
                      note = schema->Find("note");
  std::set<std::int64_t> deleted;
  int live = 0, wrong = 0;
  ScanDecoded(reader, "person", [&](const RecordView& view, const DecodedRecord& record) {
    const std::string text(schema->Field(record, note, view.carved).Text());
    const std::int64_t i = text.empty() ? 0 : std::atoll(text.c_str() + 13);
    if (!view.deleted) {
      ++live;
      return true;
    }
    EXPECT_EQ(i % 3, 0) << "live row " << i << " reported as deleted";
    const FieldValue first = schema->Field(record, name, view.carved);
    // Column 0 is right or lost, never another column's value.
    if ((first.kind != FieldValue::Kind::kAbsent &&
         first.Text() != "person number " + std::to_string(i)) ||
        schema->Field(record, date, view.carved).Integer() != 500000000 + i * 1000)
      ++wrong;
    deleted.insert(i);
    return true;
  });
  EXPECT_EQ(live, 80);
  EXPECT_EQ(wrong, 0);
  // Rows whose bytes survived on a page of the table (a rebalance rewrites a page without its
  // freed cells; the interior page the first leaf became keeps that leaf's old cells): those
  // whose unique guid is still on a leaf or interior page.
  std::ifstream in(db, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::set<std::int64_t> surviving;
  for (std::int64_t i = 3; i <= 120; i += 3) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "%08llX-0000-4000-8000-%012lld",
                  static_cast<unsigned long long>(i), static_cast<long long>(i));
    for (std::size_t at = bytes.find(guid); at != std::string::npos;
         at = bytes.find(guid, at + 1)) {
      const char type = bytes[at - at % 4096];  // table leaf or interior
      if (type == 13 || type == 5) surviving.insert(i);
    }
  }
  ASSERT_GE(surviving.size(), 8u);
  // Freed cells a defragmentation left in the gap below the content are found in part.
  EXPECT_TRUE(std::includes(surviving.begin(), surviving.end(), deleted.begin(), deleted.end()));
  EXPECT_GE(deleted.size() * 4, surviving.size() * 3);
}

DecodedRecord Record(std::vector<RecordColumn> columns) {
  DecodedRecord record;
  record.columns = std::move(columns);
  return record;
}

Bytes Of(std::string_view text) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A freeblock header over a cell with 1-byte payload length, rowid and header size took
// column 0's type too; when column 1 is NULL the run still starts with a 0. Read as column 0's
// type the record would run past the block, so the 0 is column 1's.
TEST(CarvedRecords, LeadingZeroOfAFreeblockRunIsColumnOnesWhenColumnZeroOverrunsTheBlock) {
  const auto schema = ParseCreateTable("CREATE TABLE t (id INTEGER PRIMARY KEY, a, b TEXT, c)");
  ASSERT_TRUE(schema);
  // Freeblock header (next 0, size 12), types [a NULL, b 3-byte text, c 2-byte text], values,
  // then text that a longer reading would take for values.
  std::string page = std::string("\x00\x00\x00\x0c", 4) + std::string("\x00\x13\x11", 3) + "abcxy" +
                     std::string(80, 'z');
  const Bytes bytes = Of(page);
  RecordView view{bytes.subspan(4), true, true, false, 1, CarveOrigin::kFreeblock, 4};
  DecodedRecord record;
  ASSERT_TRUE(DecodeCarvedRecord(*schema, view, 1, record));
  EXPECT_EQ(schema->Field(record, 1, true).kind, FieldValue::Kind::kNull);
  EXPECT_EQ(schema->Field(record, 2, true).Text(), "abc");
  EXPECT_EQ(schema->Field(record, 3, true).Text(), "xy");

  // A block large enough for the longer reading keeps column 0's.
  page[3] = 0x50;
  view.bytes = Of(page).subspan(4);
  ASSERT_TRUE(DecodeCarvedRecord(*schema, view, 1, record));
  EXPECT_EQ(schema->Field(record, 1, true).Text(), "bcx");
  // Not found behind a freeblock header: the 4 bytes before say nothing.
  page[3] = 0x0c;
  view.bytes = Of(page).subspan(4);
  view.origin = CarveOrigin::kTail;
  ASSERT_TRUE(DecodeCarvedRecord(*schema, view, 1, record));
  EXPECT_EQ(schema->Field(record, 1, true).Text(), "bcx");
}

// Each check rejects what misread bytes look like and lets real values through; switched off,
// it lets everything through.
TEST(CarvedRecords, ChecksRejectWhatNoRowHolds) {
  const auto schema = ParseCreateTable(
      "CREATE TABLE m (ROWID INTEGER PRIMARY KEY, guid TEXT, text TEXT, count INTEGER, "
      "date INTEGER)");
  ASSERT_TRUE(schema);
  const std::uint8_t eight[8] = {0x09, 0xB6, 0x4F, 0x3D, 0x2A, 0x00, 0x00, 0x00};  // 6.9e17
  const std::uint8_t four[4] = {0x29, 0xB6, 0x4F, 0x3D};                           // 7.0e8
  const std::uint8_t six[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};                // 1.1e12
  const RecordColumn guid{13 + 2 * 36, Of("0A1B2C3D-0000-4000-8000-0000000000AB")};
  const RecordColumn text{13 + 2 * 5, Of("hello")};
  const RecordColumn nanoseconds{6, Bytes(eight)};
  const RecordColumn seconds{4, Bytes(four)};
  const auto fits = [&](std::vector<RecordColumn> columns, CarvedRecordChecks checks = {}) {
    return CarvedRecordFits(*schema, Record(std::move(columns)), 1, checks);
  };
  EXPECT_TRUE(fits({{0, {}}, guid, text, {9, {}}, nanoseconds}));
  EXPECT_TRUE(fits({{0, {}}, guid, text, {8, {}}, seconds}));
  EXPECT_TRUE(fits({{0, {}}, {0, {}}, text, {0, {}}, {8, {}}}));        // NULLs and date 0
  EXPECT_FALSE(fits({{0, {}}, {0, {}}, {0, {}}, {0, {}}, {0, {}}}));    // nothing at all
  EXPECT_FALSE(fits({{1, Of("\x05")}, guid, text, {9, {}}, seconds}));  // rowid alias stored

  // Affinity: a number in a TEXT column, a text in an INTEGER one.
  EXPECT_FALSE(fits({{0, {}}, guid, {1, Of("\x05")}, {9, {}}, seconds}));
  EXPECT_FALSE(fits({{0, {}}, guid, text, text, seconds}));
  CarvedRecordChecks noAffinity;
  noAffinity.affinity = false;
  EXPECT_TRUE(fits({{0, {}}, guid, text, text, seconds}, noAffinity));

  // Texts: invalid UTF-8 or a NUL.
  const RecordColumn broken{13 + 2 * 3, Of("a\xC3(")};
  const RecordColumn nul{13 + 2 * 3, Of(std::string_view("a\0b", 3))};
  EXPECT_FALSE(fits({{0, {}}, guid, broken, {9, {}}, seconds}));
  EXPECT_FALSE(fits({{0, {}}, guid, nul, {9, {}}, seconds}));
  CarvedRecordChecks noText;
  noText.text = false;
  EXPECT_TRUE(fits({{0, {}}, guid, nul, {9, {}}, seconds}, noText));

  // Dates: a value between seconds and nanoseconds is neither.
  EXPECT_FALSE(fits({{0, {}}, guid, text, {9, {}}, {5, Bytes(six)}}));
  CarvedRecordChecks noDates;
  noDates.dates = false;
  EXPECT_TRUE(fits({{0, {}}, guid, text, {9, {}}, {5, Bytes(six)}}, noDates));

  // Guids: printable, no spaces, not a stub.
  EXPECT_FALSE(fits({{0, {}}, {13 + 2 * 12, Of("not a guid!!")}, text, {9, {}}, seconds}));
  EXPECT_FALSE(fits({{0, {}}, {13 + 2 * 3, Of("A-B")}, text, {9, {}}, seconds}));
  EXPECT_TRUE(fits({{0, {}}, {13 + 2 * 12, Of("p:0/ABC-DEF1")}, text, {9, {}}, seconds}));
  CarvedRecordChecks noGuid;
  noGuid.guid = false;
  EXPECT_TRUE(fits({{0, {}}, {13 + 2 * 3, Of("A-B")}, text, {9, {}}, seconds}, noGuid));
}

}  // namespace
}  // namespace kestrio
