// Splitting one record (live cell or carved candidate) into its columns.
//
// Live rows (carved == false): the cell's payload-length and rowid varints, then the record:
// its header-size varint H (h bytes), serial types filling the H - h bytes after it, and the
// body from offset H.
// Carved candidates (carved == true): the rowid is unknown (0) and the record header was
// lost; the bytes start at the serial-type run. A run whose first byte is 0 starts with
// column 0 (the rowid alias, stored as NULL); otherwise column 0's serial type is taken as
// overwritten and decoding starts at column 1. The body follows the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "sqlite/raw_sqlite_reader.h"

namespace kestrio {

struct RecordColumn {
  std::uint64_t serialType = 0;
  Bytes value;  // the column's body bytes (empty for NULL and the constants)

  bool IsText() const { return serialType >= 13 && serialType % 2 == 1; }
  bool IsBlob() const { return serialType >= 12 && serialType % 2 == 0; }
  std::string_view Text() const { return AsText(value); }
  // Integers of serial types 1 to 6 (big-endian two's complement) and the constants 0 and 1
  // (types 8 and 9); nothing for any other type.
  std::optional<std::int64_t> Integer() const;
  // The 64-bit float of serial type 7.
  std::optional<double> Real() const;
};

struct DecodedRecord {
  std::uint64_t rowId = 0;
  std::uint64_t headerSize = 0;       // live rows: H
  std::size_t headerSizeLength = 0;   // live rows: h
  std::uint32_t firstColumn = 0;      // 1 when a carved run lost column 0
  std::vector<RecordColumn> columns;  // columns[i] is column firstColumn + i
  CellPayload cell;                   // owns a reassembled payload

  // The column with this schema index, or nullptr when the record does not have it.
  const RecordColumn* Column(std::uint32_t index) const {
    if (index < firstColumn || index - firstColumn >= columns.size()) return nullptr;
    return &columns[index - firstColumn];
  }
  std::uint32_t EndColumn() const {
    return firstColumn + static_cast<std::uint32_t>(columns.size());
  }
};

// How a carved serial-type run is measured.
struct CarvedRun {
  // Serial types in the run when it starts with column 0; one fewer otherwise.
  std::uint32_t columnCount = 0;
  // When set, the run is this many bytes long when it starts with column 0 and one byte
  // shorter otherwise, whatever the column count says.
  std::optional<std::size_t> runBytes;
};

// Splits the record into columns. The overflow chain of a live row that cannot be followed
// is a finding of the reader. kResultInvalid when the cell header is unreadable, the
// serial types do not end inside the record, or a value runs past the record's bytes.
Result DecodeRecord(const RawSqliteReader& reader, const RecordView& view, const CarvedRun& run,
                    DecodedRecord& out);

// A text value as UTF-8: `encoding` is the database's (1 UTF-8, kept as it is; 2 UTF-16le;
// 3 UTF-16be). Unpaired surrogates and a last odd byte become U+FFFD.
std::string DatabaseTextToUtf8(Bytes text, int encoding);

// DecodeRecord with a carved run of the shape's column count.
Result DecodeTableRecord(const RawSqliteReader& reader, const RecordView& view,
                         const TableShape& shape, DecodedRecord& out);

}  // namespace kestrio
