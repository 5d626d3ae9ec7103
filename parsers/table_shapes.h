// The tables the parsers read and the shape of their records, as the page-level reader
// needs it for carving: column counts, some of them learned from the live rows of the same
// database, and the tables whose freed records keep a fixed-length identifier.
//
// TableReader bundles a RawSqliteReader with what the decoders learn while reading one
// database (and the address book read after it by the same parse); the learned values steer
// the carving tests of the scans that follow, and of the rest of the same scan.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/findings.h"
#include "base/result.h"
#include "sqlite/raw_sqlite_reader.h"
#include "sqlite/record.h"
#include "sqlite/table_schema.h"

namespace kestrio {

// Values the decoders learn while reading one database; they survive between the scans of
// one TableReader, across OpenDatabase calls.
struct LearnedLayout {
  std::uint64_t highestMessageRowId = 0;
  std::uint64_t highestContactRowId = 0;
  bool newLayout = false;                 // the backup's index is Manifest.db
  std::uint32_t contactIndexVariant = 0;  // serial-type bytes of the last live contact row
  std::uint32_t contactColumnCount = 0;   // serial types of the last live contact row
  std::uint32_t messageColumnCount = 38;
};

// Columns expected in a record of `table` (0 for tables no parser reads).
std::uint32_t TableColumnCount(std::string_view table, const LearnedLayout& learned);

// The shape `table` is carved with, from its column count and what was learned so far.
TableShape ShapeOf(std::string_view table, const LearnedLayout& learned);

class TableReader {
 public:
  // `findings` receives what the reader skips (may be null).
  explicit TableReader(FindingsSink* findings = nullptr) : findings_(findings) {
    sqlite_.ReportTo(findings);
  }

  // Opens the database at `path`; `label` names it in findings ("sms.db"), as the stored
  // file's own name is often a hash.
  Result OpenDatabase(const std::filesystem::path& path, std::string_view label = {});
  // The same over any page source.
  Result Open(std::unique_ptr<PageSource> source, std::string_view label);

  // The columns of `table` as the open database's schema declares them; null when the
  // schema has no such table or its CREATE statement does not parse (a finding). The schema
  // is read once per open database. A table asked for here is read by column name, and its
  // scans carve with the schema's column count rather than the fixed one of ShapeOf.
  const TableSchema* Schema(std::string_view table);
  // Schema(table) when the database has it, else `fallback`: the CREATE TABLE statement of
  // the layout assumed when the file's own cannot be read (a table dropped and only carved).
  // The fallback must parse; its parse is kept for the life of the reader.
  const TableSchema& SchemaOr(std::string_view table, std::string_view fallback);
  // Whether the open database's schema lists a table of this name.
  bool HasTable(std::string_view table);

  // Scans `table` with the shape ShapeOf gives, the column count taken from the database's
  // own schema when the table is read by column name (see Schema); the shape is asked for after the
  // live rows, so the rows decoded so far count.
  // A carved record of a table read by column name is split by DecodeCarvedRecord (the
  // schema's affinities and the checks of `CarvedChecks()`), and deleted records pass a
  // copy filter before the decoder sees them: a deleted record whose values after column 0
  // equal those of a live row the decoder kept, or of a deleted record it kept before, is
  // not handed over (a freed page or freeblock keeps copies of rows SQLite moved; the
  // searches can find one freed record twice). A deleted record of a freelist page is also
  // dropped when it equals a live row kept by an earlier scan of the same database: a freed
  // page belongs to no table, and holds copies of the rows of whichever table moved them.
  // Tables of fewer than 3 columns are not filtered: their rows are too alike.
  Result ScanTable(std::string_view table, const RecordDecoder& decoder);

  // The checks carved records of tables read by column name must pass.
  CarvedRecordChecks& CarvedChecks() { return checks_; }
  const CarvedRecordChecks& CarvedChecks() const { return checks_; }
  // The schema of the table being scanned when it is read by column name, else null.
  const TableSchema* CurrentSchema() const { return currentSchema_; }

  RawSqliteReader& Sqlite() { return sqlite_; }
  const RawSqliteReader& Sqlite() const { return sqlite_; }
  LearnedLayout& Learned() { return learned_; }
  const LearnedLayout& Learned() const { return learned_; }
  // The table of the last ScanTable call.
  const std::string& CurrentTable() const { return currentTable_; }
  std::uint32_t TableColumnCount(std::string_view table) const {
    return kestrio::TableColumnCount(table, learned_);
  }
  TableShape CurrentShape() const;

 private:
  void LoadSchema();

  RawSqliteReader sqlite_;
  LearnedLayout learned_;
  std::string currentTable_;
  std::string label_;
  FindingsSink* findings_ = nullptr;
  bool schemaLoaded_ = false;
  // Keyed by the lower-case table name; a null entry: the table is listed, its statement
  // does not parse.
  std::unordered_map<std::string, std::unique_ptr<TableSchema>> schemas_;
  std::unordered_map<std::string, std::unique_ptr<TableSchema>> fallbacks_;
  std::unordered_set<std::string> byName_;  // tables asked for by Schema()
  const TableSchema* currentSchema_ = nullptr;
  // The signatures of the live rows kept by the earlier scans of the open database, sorted,
  // one list for each scan.
  std::vector<std::vector<std::uint64_t>> earlierLive_;
  CarvedRecordChecks checks_;
  // A carved record the copy filter decoded, handed to DecodeTableRecord of the same view
  // instead of a second decode (the decoder's record takes it by a swap).
  mutable DecodedRecord predecoded_;
  mutable const RecordView* predecodedView_ = nullptr;

  friend Result DecodeTableRecord(const TableReader&, const RecordView&, DecodedRecord&);
};

// A carved record of the table being scanned: DecodeCarvedRecord with its schema when it is
// read by column name, else DecodeRecord with a carved run of its column count; the same
// as DecodeRecord for every other record. Within ScanTable, a carved record the copy filter
// already decoded is handed over as it was decoded.
Result DecodeTableRecord(const TableReader& reader, const RecordView& view, DecodedRecord& out);

// Scans `table`, each record decoded by DecodeTableRecord into one reused record;
// `visit(view, record)` answers whether it accepts the row.
template <typename Visit>
Result ScanDecoded(TableReader& reader, std::string_view table, Visit visit) {
  DecodedRecord record;
  return reader.ScanTable(table, [&](const RecordView& view) {
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    return visit(view, record) ? kResultOk : kResultInvalid;
  });
}

}  // namespace kestrio
