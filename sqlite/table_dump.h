// Every table of any SQLite file, read with RawSqliteReader: the live rows and the rows of
// deleted records carved from free space, each value under its column's name, each row with
// where it was found. The reader for a database nothing else here understands.
//
// WHAT IS READ
//   * every table of the schema with a root page (virtual tables have none; their shadow
//     tables are ordinary tables and are read). WITHOUT ROWID tables are index b-trees and
//     give no rows.
//   * with "NAME-wal" beside the file, the database as of the log's last commit (see wal.h):
//     rows on pages whose current content is a log frame are marked `wal`; the rows of
//     earlier versions of a page (older committed frames, and the file's own copy of a page
//     the log replaced) that are not rows of the current state are deleted rows marked
//     `walOld`, with their rowid.
//   * leaf table pages on the freelist that no table takes (a dropped table's pages) form
//     tables named "(dropped page N)", N the first such page of a width, one per column
//     count, with columns c1, c2, ...; the whole cells of those widths on freelist trunk
//     pages no table takes (the drop's first freed leaf) join them
//
// HOW DELETED ROWS ARE FOUND, besides the reader's carving entry points:
//   * a carved run starts at column 0 when the byte before it is the record's header size or
//     its first serial type is 0; otherwise the freeblock header took column 0's serial type,
//     and column 0's value (still in front of column 1's) is sized from the freeblock: read as
//     a text or an integer when the column's affinity says which, else reported as lost;
//   * freed cells that kept their whole cell header (every cell after the first one of a
//     freeblock that merged neighbouring freed cells, cells in the unallocated space) are
//     swept byte by byte: a cell counts when its payload length is exactly its record's
//     header and values, and it brings its rowid;
//   * the same whole cells are sought (by the reader, without their rowids) where a leaf's
//     cells outlive the page's use as a leaf: the unused space of interior pages (a root
//     leaf that split, a freed leaf reused) and freelist trunk pages.
//
// WHAT A CARVED ROW MUST BE to be reported (its bytes may be anything):
//   * no reserved serial type (10, 11);
//   * a rowid alias column (INTEGER PRIMARY KEY) stored as NULL, as SQLite stores it;
//   * no number and no blob in a column of TEXT affinity (SQLite stores numbers there as
//     text), no text and no blob in one of INTEGER or REAL affinity;
//   * texts that are valid in the database's encoding (UTF-8, or an even number of bytes)
//     and hold no NUL character;
//   * in a column whose name holds "date": 0, whole seconds up to the year 2100, or
//     nanoseconds; in a column named "guid": printable ASCII without spaces;
//   * at least one value that is not NULL;
//   * not a copy of a live row of its table (same values in every column after the first,
//     which a freeblock header may have overwritten).
// A freelist page that two tables of the same width both take goes to the one that finds
// more rows on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/findings.h"
#include "base/result.h"
#include "base/spill_store.h"
#include "sqlite/table_schema.h"

namespace kestrio {

// Where a row was found.
enum class RowSource : std::uint8_t {
  kBtree,      // a live row of the table's b-tree
  kFreeblock,  // a freed cell on a freeblock chain, or behind a stale cell pointer
  kGap,        // the unallocated space of a page (between pointers and cells, after the
               // cells), on a leaf or on an interior page that was a leaf before
  kFreelist,   // a page on the freelist (a leaf, or a trunk behind its page-number array)
  kWal,        // a live row of a page whose current content is a log frame
  kWalOld,     // an earlier version of a page in the log, no longer in the current state
};

// "btree", "freeblock", "gap", "freelist", "wal", "walOld".
std::string_view RowSourceName(RowSource source);

struct DumpValue {
  FieldValue::Kind kind = FieldValue::Kind::kNull;  // kAbsent: a carved record lost it
  std::int64_t integer = 0;
  double real = 0;
  std::string bytes;  // texts as UTF-8, blobs as stored
};

// A row; its values wait in the dump's store (DatabaseDump::Values reads them).
struct DumpRow {
  bool deleted = false;
  RowSource source = RowSource::kBtree;
  std::uint32_t page = 0;             // page number (1-based) the record lies on
  std::optional<std::int64_t> rowId;  // unknown for a carved record
  std::uint64_t valuesAt = 0;         // where its values are in the store
  std::uint32_t valuesLength = 0;
};

struct DumpTable {
  std::string name;
  std::vector<std::string> columns;
  std::vector<DumpRow> rows;  // live rows first, then deleted ones
  bool dropped = false;       // made of freelist pages no table takes
  // The first column is a rowid alias stored as NULL (a dropped table whose first column is
  // NULL in every row): its values are the rows' rowids.
  bool firstColumnIsRowId = false;

  std::size_t LiveCount() const;
  std::size_t DeletedCount() const { return rows.size() - LiveCount(); }
};

struct DatabaseDump {
  std::uint32_t pageSize = 0;
  int encoding = 1;  // 1 UTF-8, 2 UTF-16le, 3 UTF-16be
  bool walUsed = false;
  std::vector<DumpTable> tables;
  // The rows' values, kept apart from the rows: a large database has millions of values,
  // which wait on disk (see DumpOptions::spillFolder) until they are written out.
  std::unique_ptr<SpillStore> store;

  // Replaces `out` by the values of `row` of `table`, one per column; false (and `out`
  // empty) when they cannot be read back from the store.
  // Rows read in the order of the table are read fastest. One thread at a time.
  bool Values(const DumpTable& table, const DumpRow& row, std::vector<DumpValue>& out) const;

 private:
  mutable std::unique_ptr<SpillStore::SequentialReader> reader_;
  mutable std::string bytes_;
};

struct DumpOptions {
  // Only the tables of these names (compared without regard to ASCII case); empty: all.
  std::vector<std::string> tables;
  // Reads "PATH-wal" when it is there.
  bool useWal = true;
  // Where the rows' values wait, in an unnamed file; empty: in memory.
  std::filesystem::path spillFolder;
};

// Reads the database at `path`. kResultOk when it opened (damage is told to `findings` and
// the rows that survive are given); the system error when it cannot be read; kResultInvalid
// when it is not an SQLite database.
Result DumpDatabase(const std::filesystem::path& path, const DumpOptions& options,
                    DatabaseDump& out, FindingsSink* findings);

}  // namespace kestrio
