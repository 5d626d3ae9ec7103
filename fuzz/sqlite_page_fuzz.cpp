// libFuzzer target for the page-level pieces of the SQLite reader, all in memory: the cell
// offsets of a b-tree page, the four carving searches, the cell reader with its overflow
// chains and the record splitter, under shapes no real table has.
//
// Input layout:
//   byte 0   page size: 512 << (byte % 8), so 512 to 65,536
//   byte 1   column count (0 to 63)
//   byte 2   even: the header-size tests use the column count; odd: (byte >> 1) % 64
//   byte 3   bit 0: the b-tree header sits at 100 (page 1); bit 1: freed records need a
//            36-byte non-zero body prefix; bit 2: carved runs are measured by byte count
//   byte 4   reserved bytes per page (ignored when fewer than 480 usable bytes would remain)
//   rest     the page (zero-filled to its size), then up to four more pages that overflow
//            chains may lead to
//
// The database the reader opens over a MemoryPageSource is page 1 (a valid header, then the
// fuzzed page when its header is at 100, else an empty leaf), the fuzzed page and the extra
// pages. Besides the sanitizers, the target checks that every offset a search gives lies
// inside the page and every column value lies inside the bytes it was split from.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sqlite/btree_page.h"
#include "sqlite/carving.h"
#include "sqlite/page_source.h"
#include "sqlite/raw_sqlite_reader.h"
#include "sqlite/record.h"

namespace {

constexpr std::size_t kParameterBytes = 5;
constexpr std::size_t kMaxExtraPages = 4;
constexpr std::size_t kDatabaseHeader = 100;

struct Parameters {
  std::uint32_t pageSize = 512;
  std::uint32_t reserved = 0;
  std::size_t header = 0;
  bool measureByBytes = false;
  kestrio::TableShape shape;
};

Parameters ReadParameters(const std::uint8_t* data) {
  Parameters p;
  p.pageSize = 512u << (data[0] % 8);
  p.shape.columnCount = data[1] % 64;
  p.shape.learnedColumnCount = data[2] % 2 == 0 ? p.shape.columnCount : (data[2] >> 1) % 64;
  p.header = (data[3] & 1) ? kDatabaseHeader : 0;
  p.shape.nonZeroBodyPrefix = (data[3] & 2) ? 36 : 0;
  p.measureByBytes = (data[3] & 4) != 0;
  p.reserved = p.pageSize - data[4] >= 480 ? data[4] : 0;
  return p;
}

void WriteDatabaseHeader(std::vector<std::uint8_t>& file, const Parameters& p,
                         std::uint32_t pageCount) {
  static constexpr char kMagic[] = "SQLite format 3";
  std::copy(kMagic, kMagic + sizeof kMagic, file.begin());  // with its terminating zero
  const std::uint32_t stored = p.pageSize == 65536 ? 1 : p.pageSize;
  file[16] = static_cast<std::uint8_t>(stored >> 8);
  file[17] = static_cast<std::uint8_t>(stored);
  file[20] = static_cast<std::uint8_t>(p.reserved);
  for (int i = 0; i < 4; ++i) file[28 + i] = static_cast<std::uint8_t>(pageCount >> (24 - 8 * i));
}

// Both the offset and the value must lie inside `bytes`, or inside the cell's own copy.
void CheckInside(kestrio::Bytes value, kestrio::Bytes bytes, const kestrio::CellPayload& cell) {
  const auto inside = [&](kestrio::Bytes outer) {
    return value.empty() || (value.data() >= outer.data() &&
                             value.data() + value.size() <= outer.data() + outer.size());
  };
  if (!inside(bytes) && !inside(kestrio::Bytes(cell.storage))) std::abort();
}

void DecodeAt(const kestrio::RawSqliteReader& reader, kestrio::Bytes page, std::uint32_t off,
              bool carved, const Parameters& p) {
  if (off >= page.size()) std::abort();
  const kestrio::RecordView view{page.subspan(off), carved, carved, false};
  kestrio::CarvedRun run{p.shape.columnCount, std::nullopt};
  if (p.measureByBytes) run.runBytes = p.shape.learnedColumnCount;
  kestrio::DecodedRecord record;
  if (kestrio::DecodeRecord(reader, view, run, record) != kestrio::kResultOk) return;
  for (const kestrio::RecordColumn& column : record.columns) {
    CheckInside(column.value, view.bytes, record.cell);
    (void)column.Integer();
    (void)column.Real();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kParameterBytes) return 0;
  const Parameters p = ReadParameters(data);
  data += kParameterBytes;
  size -= kParameterBytes;

  // Page 1, the fuzzed page (page 2, or page 1 itself when its header is at 100), the extras.
  const std::size_t pageBytes = std::min<std::size_t>(size, p.pageSize);
  const std::size_t extraPages =
      std::min(kMaxExtraPages, (size - pageBytes + p.pageSize - 1) / p.pageSize);
  const std::size_t fuzzedIndex = p.header != 0 ? 0 : 1;
  const std::size_t pageCount = fuzzedIndex + 1 + extraPages;
  std::vector<std::uint8_t> file(pageCount * p.pageSize, 0);
  std::copy(data, data + pageBytes, file.begin() + fuzzedIndex * p.pageSize);
  const std::size_t extraBytes = std::min(size - pageBytes, extraPages * p.pageSize);
  std::copy(data + pageBytes, data + pageBytes + extraBytes,
            file.begin() + (fuzzedIndex + 1) * p.pageSize);
  if (fuzzedIndex == 1) file[kDatabaseHeader] = kestrio::kLeafTablePage;  // an empty schema
  WriteDatabaseHeader(file, p, static_cast<std::uint32_t>(pageCount));

  kestrio::RawSqliteReader reader;
  const kestrio::Bytes whole(file);
  if (reader.Open(std::make_unique<kestrio::MemoryPageSource>(whole), "page") !=
      kestrio::kResultOk) {
    std::abort();  // the header above is always valid
  }

  const kestrio::Bytes page = whole.subspan(fuzzedIndex * p.pageSize, p.pageSize);
  const kestrio::BtreePage btree{page, p.header};
  // DecodeRecord reads each live cell with ReadCell, overflow chain and all.
  for (std::uint32_t off : kestrio::CellOffsets(btree)) DecodeAt(reader, page, off, false, p);
  kestrio::CarveShape shape;
  static_cast<kestrio::TableShape&>(shape) = p.shape;
  shape.usableSize = reader.UsableSize();
  for (std::uint32_t off : kestrio::FindCarveCandidates(btree, shape)) {
    DecodeAt(reader, page, off, true, p);
  }
  // The whole walk over the same bytes: the schema, any table named "t", the freelist.
  reader.ScanTable("t", p.shape, [&](const kestrio::RecordView& view) {
    kestrio::DecodedRecord record;
    if (kestrio::DecodeTableRecord(reader, view, p.shape, record) == kestrio::kResultOk) {
      for (const kestrio::RecordColumn& column : record.columns)
        CheckInside(column.value, view.bytes, record.cell);
    }
    return kestrio::kResultOk;
  });
  return 0;
}
