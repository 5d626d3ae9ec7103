// A table's columns as its CREATE TABLE statement in the schema table declares them, and the
// values of a record looked up by column.
//
// THE SCHEMA TABLE (sqlite_master, the table b-tree rooted at page 1) holds one row per
// object: (type, name, tbl_name, rootpage, sql). `sql` is the statement as the user wrote it,
// with every later ALTER TABLE ... ADD COLUMN spliced in before the closing parenthesis.
//
// THE COLUMN LIST of "CREATE [TEMP] TABLE [IF NOT EXISTS] name (body) [options]": the body is
// split at commas outside parentheses, quotes ('', "", ``, []) and comments (-- and /* */);
// an element starting with CONSTRAINT, PRIMARY, UNIQUE, CHECK or FOREIGN is a table
// constraint, any other is a column whose first token is its name (a column may have no
// type). A column's place among the columns is its place in every record.
//
// ROWID ALIAS: a column declared INTEGER PRIMARY KEY holds NULL in the record; its value is
// the cell's rowid.
//
// SHORT RECORDS: ALTER TABLE ... ADD COLUMN does not rewrite the rows already stored, so a
// record may end before the table's last column; the missing columns read as their DEFAULT
// (NULL without one).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "sqlite/record.h"

namespace kestrio {

// The value of a DEFAULT clause, as far as a record reader needs it.
struct DefaultValue {
  enum class Kind { kNull, kInteger, kReal, kText };
  Kind kind = Kind::kNull;
  std::int64_t integer = 0;
  double real = 0;
  std::string text;
};

// SQLite's type affinity of a column, from its declared type: INTEGER when the type holds
// "INT"; TEXT for "CHAR", "CLOB" or "TEXT"; BLOB for "BLOB" or no type; REAL for "REAL",
// "FLOA" or "DOUB"; NUMERIC otherwise (rules applied in that order).
enum class Affinity : std::uint8_t { kInteger, kText, kBlob, kReal, kNumeric };
Affinity AffinityOf(std::string_view declaredType);

struct SchemaColumn {
  std::string name;          // unquoted
  std::string declaredType;  // as written, may be empty
  bool rowIdAlias = false;   // INTEGER PRIMARY KEY
  DefaultValue defaultValue;
  Affinity affinity = Affinity::kBlob;
  // What a carved value of the column is checked against, from the column's name: a date
  // ("date" in the name, e.g. ZCREATIONDATE, date_read) holds seconds or nanoseconds since
  // 1970 or 2001; a guid (named "guid") is printable ASCII without spaces.
  bool dateLike = false;
  bool guidLike = false;
};

// One column's value in one record.
struct FieldValue {
  enum class Kind { kAbsent, kNull, kInteger, kReal, kText, kBlob };
  Kind kind = Kind::kAbsent;  // kAbsent: the record lost the column (a carved run's start)
  std::int64_t integer = 0;
  double real = 0;
  Bytes bytes;  // text or blob bytes; they live as long as the record or the schema

  bool IsNumber() const { return kind == Kind::kInteger || kind == Kind::kReal; }
  std::string_view Text() const { return kind == Kind::kText ? AsText(bytes) : std::string_view{}; }
  // Integers as they are, reals truncated toward zero when they fit; nothing otherwise.
  std::optional<std::int64_t> Integer() const;
  // Integers and reals as a double; nothing otherwise.
  std::optional<double> Number() const;
};

struct TableSchema {
  static constexpr std::uint32_t kMissing = 0xFFFFFFFF;

  std::string name;
  std::vector<SchemaColumn> columns;
  bool withoutRowId = false;

  std::uint32_t ColumnCount() const { return static_cast<std::uint32_t>(columns.size()); }
  // The index of the column named `column` (compared without regard to ASCII case), or
  // kMissing.
  std::uint32_t Find(std::string_view column) const;
  // The value of column `index` of `record`: the rowid for a rowid alias of an intact cell,
  // the default for a column after the end of an intact record, kAbsent for a column a
  // carved record lost or for kMissing.
  FieldValue Field(const DecodedRecord& record, std::uint32_t index, bool carved) const;
};

// The columns of a CREATE TABLE statement; nothing when `sql` is not one or its column list
// cannot be split (an unclosed parenthesis, quote or comment, or no column at all).
std::optional<TableSchema> ParseCreateTable(std::string_view sql);

// Which checks a carved record must pass (CarvedRecordFits). All are on by default; the
// switches let a measurement tell what each check costs and buys.
struct CarvedRecordChecks {
  // No number or blob in a TEXT column, no text or blob in an INTEGER or REAL one.
  bool affinity = true;
  // Texts valid in the database's encoding, without NUL characters.
  bool text = true;
  // Date columns: seconds since 1970 or 2001 within 4.2e9 either way (up to the year 2100),
  // or nanoseconds since either up to 2100; nothing in between.
  bool dates = true;
  // Guid columns: printable ASCII without spaces, 8 to 128 bytes.
  bool guid = true;
};

// A text of a carved record: valid in the database's encoding and free of NUL characters,
// which no text an application stores holds but the zeroed bytes of free space do. True for
// a column that is no text.
bool CarvedTextFits(const RecordColumn& column, int encoding);

// Splits a serial-type run of `count` entries at the start of `bytes` whose first entry is
// column `first`; the values start `lead` bytes after the run (the value of a column whose
// serial type was lost). False when the run or a value does not end inside `bytes`.
bool SplitSerialTypeRun(Bytes bytes, std::uint32_t first, std::uint32_t count, std::size_t lead,
                        DecodedRecord& out);

// The checks a carved record of any table must pass (reserved serial types 10 and 11, a
// rowid alias stored as NULL, a column index inside the schema, at least one value that is
// not NULL), then those of `checks`. `encoding` is the database's text encoding.
bool CarvedRecordFits(const TableSchema& schema, const DecodedRecord& record, int encoding,
                      const CarvedRecordChecks& checks = {});

// Splits a carved record of the table `schema` describes. `view.bytes` starts at a serial-
// type run the carving searches found (see carving.h); the run starts at column 0 when the
// byte before it is the record's header size or its first serial type is 0, else at column 1
// (the freeblock header took column 0's serial type). Where column 0 lost its serial type but
// not its value, the value is rebuilt from the freeblock size in the 4 bytes before the run
// and the column's affinity (a text, or an integer of a serial type's width); without one the
// column reads as lost. The readings are tried in that order and the first that passes
// CarvedRecordFits is kept. False when none does.
bool DecodeCarvedRecord(const TableSchema& schema, const RecordView& view, int encoding,
                        DecodedRecord& out, const CarvedRecordChecks& checks = {});

// One row of the schema table.
struct SchemaObject {
  std::string type;  // "table", "index", "view", "trigger"
  std::string name;
  std::string tableName;
  std::uint32_t rootPage = 0;  // page number as stored (0 for views and triggers)
  std::string sql;
};

// Every live row of the schema table of the database open in `reader`, in b-tree order.
// Rows that cannot be read are left out; kResultOk when every page of the schema's tree was
// read, else the first failed read's result (the rows read so far are kept).
Result ReadSchema(const RawSqliteReader& reader, std::vector<SchemaObject>& out);

}  // namespace kestrio
