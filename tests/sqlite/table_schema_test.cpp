#include "sqlite/table_schema.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
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
