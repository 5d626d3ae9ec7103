// RawSqliteReader: a page-level reader of SQLite 3 database files that also carves the
// records of deleted rows out of the free space of a table's pages.
//
// The SQLite library hides deleted rows; this reader walks a table's b-tree itself, hands
// every live row to the caller's decoder, then searches the free space of the same pages
// (freeblocks, the bytes after the last cell, the unallocated gap, stale cell pointers), the
// unused space of the tree's interior pages and the file's freelist pages (leaves, and the
// trunks after their page-number arrays) for records of the shape the caller gives, and
// hands those to the decoder too. The reader knows the file format and nothing of the
// tables in it.
//
// FILE FORMAT (https://www.sqlite.org/fileformat2.html; all integers big-endian)
//
//   file offset 0    16 bytes  "SQLite format 3\0"
//   file offset 16    2 bytes  page size; the value 1 means 65,536
//   file offset 20    1 byte   bytes reserved at the end of every page (usable = size - this)
//   file offset 32    4 bytes  page number of the first freelist trunk page (0: none)
//
//   b-tree page header (offset 100 on page 1, 0 on every other page)
//     +0  1 byte   page type: 13 leaf table, 5 interior table (2 and 10 are index pages)
//     +1  2 bytes  offset of the first freeblock (0: none)
//     +3  2 bytes  number of cells
//     +5  2 bytes  start of the cell content area
//     +7  1 byte   fragmented free bytes
//     +8  4 bytes  right-most child page number (interior pages only)
//     then the cell pointer array, 2 bytes per cell (header + 8 on leaves, + 12 on interior
//     pages), offsets counted from the page start
//
//   freeblock       +0 2 bytes next freeblock offset (0: last), +2 2 bytes size incl. header
//   freelist trunk  +0 4 bytes next trunk page, +4 4 bytes leaf count, +8 4 bytes per leaf
//   interior cell   4-byte left child page number, varint key
//   leaf table cell varint payload length P, varint rowid, payload; when P does not fit the
//                   page the first "local" bytes are followed by a 4-byte overflow page
//                   number; each overflow page holds a 4-byte next-page number and then
//                   usable - 4 payload bytes
//   record          varint header size (counting itself), one serial type per column,
//                   then the column values in order
//
// Page numbers are kept as zero-based page indexes everywhere inside the reader
// (index = page number - 1); page `index` lies at file offset index * page size.
//
// SAFETY: the file is hostile. Pages are read one at a time into buffers of one page from a
// PageSource (the file, or bytes in memory); every read inside a page is checked against the
// page end; every chain (freelist trunks, overflow pages, freeblocks, b-tree children) is
// bounded by the number of pages in the file or the page size. A corrupt file gives fewer
// records, never a crash, a hang or a read outside a buffer, and what was skipped is told to
// the findings sink when one is set.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/findings.h"
#include "base/result.h"
#include "sqlite/carving.h"
#include "sqlite/page_source.h"

namespace kestrio {

class WalPageSource;

// One record handed to a decoder.
//   carved == false: `bytes` starts at an intact leaf cell (its payload-length varint) and
//                    runs to the end of the page buffer; use RawSqliteReader::ReadCell. Besides
//                    live rows: the cells of freelist pages (`deleted`).
//   carved == true:  `bytes` starts at the first byte of the record's serial-type run (the
//                    cell header and the record's header-size varint were lost or skipped)
//                    and runs to the end of the page buffer; the rowid is unknown (0).
// `deleted` is false only for the live rows of the table's own b-tree.
struct RecordView {
  Bytes bytes;
  bool carved = false;
  bool deleted = false;
  bool freePage = false;   // found on a freelist page rather than the table's own pages
  std::uint32_t page = 0;  // zero-based index of the page the bytes lie on
  CarveOrigin origin = CarveOrigin::kFreeblock;  // carved records: the search that found it
  std::uint32_t offset = 0;  // offset of `bytes` in its page (its start is page start + this)
};

// A decoder answers kResultOk when it kept the record and kResultInvalid when it rejected it;
// the scan goes on either way.
using RecordDecoder = std::function<Result(const RecordView&)>;

// Gives the shape of the table being scanned. The scan asks for it after the live rows of the
// table's pages were decoded and again before it reads each freelist page, so a caller whose
// decoder learns the row width from live rows can answer with what it learned.
using TableShapeSource = std::function<TableShape()>;

// An intact cell's payload, reassembled from its overflow pages when it did not fit.
struct CellPayload {
  std::uint64_t payloadLength = 0;  // as declared by the cell
  std::uint64_t rowId = 0;
  Bytes payload;                      // the record; shorter than payloadLength when cut off
  std::vector<std::uint8_t> storage;  // owns the bytes of a reassembled payload
};

// Number of body bytes of a serial type (0 for NULL, the constants 0 and 1, reserved types).
constexpr std::uint64_t SerialTypeSize(std::uint64_t serialType) {
  // Types 1 to 7: integers of 1, 2, 3, 4, 6 and 8 bytes, then the 8-byte float.
  constexpr std::uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  if (serialType < 12) return kFixed[serialType];
  // Even: blob of (N - 12) / 2 bytes; odd: text of (N - 13) / 2 bytes.
  return (serialType - 12) / 2;
}

// SQLite's varint, read as this reader always has: big-endian base-128, every byte
// contributing 7 bits, at most `limit` bytes and never past the end of `bytes`. On a
// terminating byte `limit` becomes the number of bytes used; when the bytes run out first the
// value built so far is returned and `limit` is left as it was. A limit <= 0 reads nothing.
std::uint64_t ReadVarint(Bytes bytes, int& limit);

struct VarintField {
  std::uint64_t value = 0;
  std::size_t length = 0;
};

// A varint at `off` that must end inside `bytes` within 9 bytes; nothing when it does not.
// Inline: every cell, record header and serial type goes through it, and most are one byte.
inline std::optional<VarintField> ReadTerminatedVarint(Bytes bytes, std::size_t off) {
  if (off >= bytes.size()) return std::nullopt;
  const std::uint8_t* at = bytes.data() + off;
  if (at[0] < 0x80) return VarintField{at[0], 1};
  const std::size_t max = std::min<std::size_t>(9, bytes.size() - off);
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < max; ++i) {
    value = (value << 7) | (at[i] & 0x7F);
    if ((at[i] & 0x80) == 0) return VarintField{value, i + 1};
  }
  return std::nullopt;
}

// Number of bytes that `count` consecutive varints at the start of `bytes` occupy (each at
// most 9 bytes), or 0 when they do not all end inside `bytes`.
std::size_t VarintRunLength(Bytes bytes, std::uint64_t count);

// Length of a record counted from its serial-type run to the end of its body. With a column
// count cc != 0 the run holds cc entries when its first byte is 0, else cc - 1 (the first
// column's serial type taken as lost), and `start` is recomputed from it; with cc == 0 the
// caller's `start` (the run length) is used. The walk stops once the total exceeds `limit`.
std::uint64_t RecordLength(Bytes serialTypes, std::uint32_t columnCount, std::uint64_t start,
                           std::uint64_t limit);

// Number of bytes of a leaf-table payload of `payloadLength` bytes that are stored on the
// page itself; the rest goes to overflow pages. `usable` is the page size less the reserved
// bytes.
std::uint64_t LocalPayloadSize(std::uint64_t payloadLength, std::uint32_t usable);

class RawSqliteReader {
 public:
  RawSqliteReader();
  ~RawSqliteReader();
  RawSqliteReader(const RawSqliteReader&) = delete;
  RawSqliteReader& operator=(const RawSqliteReader&) = delete;

  // Closes any open source, opens the file at `path` and reads its header and freelist.
  // `label` names the file in findings (the file name when empty). With "PATH-wal" beside
  // the file holding committed frames (salts and checksums checked, see wal.h), the database
  // is read as of the log's last commit, and ScanTable also delivers the rows of the pages'
  // earlier versions as carved records (see IsWalUsed). kResultOk; the system
  // error (kResultSystemBase + errno) when it cannot be opened; kResultInvalid when it is
  // shorter than the header, lacks the magic or declares an impossible page size.
  Result OpenDatabase(const std::filesystem::path& path, std::string_view label = {});
  // The same over any source, e.g. a MemoryPageSource; the reader owns it from now on.
  Result Open(std::unique_ptr<PageSource> source, std::string_view label);
  void Close();
  bool IsOpen() const { return source_ != nullptr; }
  // Whether OpenDatabase laid a log over the file.
  bool IsWalUsed() const { return wal_ != nullptr; }

  // Where findings go (null: nowhere); kept across OpenDatabase calls.
  void ReportTo(FindingsSink* findings) { findings_ = findings; }

  // Delivers every live row of `tableName`, then every carved candidate of its pages (whole
  // cells of the shape's width in the unused space of its interior pages among them), then
  // the rows and candidates of freelist pages whose first cell has the shape's column count,
  // then whole cells of that width on freed interior pages and on freelist trunk pages.
  // Returns the result of the last page operation.
  Result ScanTable(std::string_view tableName, const TableShapeSource& shape,
                   const RecordDecoder& decoder);
  // With a shape that does not change during the scan.
  Result ScanTable(std::string_view tableName, const TableShape& shape,
                   const RecordDecoder& decoder);
  // The same for the table b-tree rooted at page number `rootPage` (as the schema stores it),
  // whatever its name.
  Result ScanTableAt(std::uint32_t rootPage, const TableShape& shape, const RecordDecoder& decoder);

  // Reads page `index` into `buffer` (at least PageSize() bytes).
  Result ReadPage(std::uint32_t index, std::span<std::uint8_t> buffer) const;

  // Parses an intact leaf cell and reassembles its payload from the overflow chain when it
  // does not fit the page; a scan's overflow reads are bounded (32 per page of the file), a
  // payload cut by that bound ends early. False when the cell header itself is unreadable. With
  // `reportDamage` an overflow chain that loops or cannot be read is a finding (a live row's
  // chain; a freed cell's chain may have been reused).
  bool ReadCell(Bytes cell, CellPayload& out, bool reportDamage = false) const;

  std::uint32_t PageSize() const { return pageSize_; }
  std::uint32_t UsableSize() const { return usableSize_; }
  std::uint32_t PageCount() const { return pageCount_; }
  // The database text encoding of the header (offset 56): 1 UTF-8, 2 UTF-16le, 3 UTF-16be;
  // any other value reads as 1.
  int TextEncoding() const { return textEncoding_; }
  // Zero-based indexes of the freelist's leaf pages and of its trunk pages.
  const std::vector<std::uint32_t>& FreePages() const { return freePages_; }
  const std::vector<std::uint32_t>& FreeTrunkPages() const { return freeTrunks_; }

  // Whether the carve candidates of a large table's leaves are sought on a second thread
  // while its live rows are decoded (the default). The records delivered are the same
  // either way.
  void SetCarveAhead(bool on) { carveAhead_ = on; }

  // An 8 MiB buffer the row dumps use for one value at a time; allocated on first use, so
  // readers that never dump pay nothing for it.
  std::vector<std::uint8_t>& Scratch();

 private:
  class TableScan;

  void ReportFinding(std::string what, std::string where, std::string why) const;
  // Overflow pages ReadCell may read between two ScanTable calls: every overflow page of an
  // intact file belongs to one cell, so a hostile page whose cells all lead into long chains
  // cannot make the reads grow with cells times chain length.
  std::uint64_t OverflowBudget() const;
  void ResetOverflowBudget();

  std::unique_ptr<PageSource> source_;
  WalPageSource* wal_ = nullptr;  // the source_ itself when OpenDatabase laid a log over it
  std::string label_;
  FindingsSink* findings_ = nullptr;
  std::uint32_t pageSize_ = 0;
  std::uint32_t usableSize_ = 0;
  std::uint32_t pageCount_ = 0;
  int textEncoding_ = 1;
  std::vector<std::uint32_t> freePages_;
  std::vector<std::uint32_t> freeTrunks_;
  std::vector<std::uint8_t> scratch_;
  mutable std::uint64_t overflowBudget_ = 0;
  mutable bool overflowBudgetReported_ = false;
  bool carveAhead_ = true;
};

}  // namespace kestrio
