// The searches for records of deleted rows inside one leaf table page.
//
// When SQLite deletes a row (with secure_delete off) the cell's bytes stay on the page:
//   * most freed cells join the page's freeblock chain; the first 4 bytes of the cell become
//     the freeblock header (next offset, size), which overwrites the payload-length and rowid
//     varints and often the record's header-size varint;
//   * a freed cell at the start of the content area is not chained: the content start moves
//     up and the bytes remain in the unallocated gap between the pointer array and the cells;
//   * the pointer array is shifted down, so entries of deleted cells linger behind the live
//     part of the array ("stale pointers");
//   * cells after the highest live cell may be freed records that the chain no longer lists;
//   * neighbouring freed cells merge into one freeblock: a cell freed after the one in front
//     of it joins that block whole (its cell header kept); a cell freed before it keeps the
//     4-byte freeblock header its own freeing wrote, stale now. Both kinds follow the
//     block's first record, and the gap holds the same kinds once the content start moved.
// Each search yields candidate offsets of the first byte of a serial-type run; whether a
// candidate is a record is decided by the table's decoder. The only tests here are the ones
// that keep the candidate inside the page: header size within a window of the table's column
// count, the serial-type run length, and the record length against the space available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sqlite/btree_page.h"

namespace kestrio {

// What the caller knows of a table's records. The reader and the carver know no table: the
// code that reads a database's tables says what their records look like.
struct TableShape {
  // Columns of the table (RecordLength and most tests).
  std::uint32_t columnCount = 0;
  // The count the header-size tests compare with. Usually columnCount; a caller that learns
  // the width of the rows actually stored may give that here (0: those tests find nothing).
  std::uint32_t learnedColumnCount = 0;
  // When non-zero, a freed record found through the freeblock chain counts only when the
  // first this many bytes of its body are all non-zero (a table whose first stored value is
  // a fixed-length identifier text, which a freed record still holds).
  std::size_t nonZeroBodyPrefix = 0;

  bool operator==(const TableShape&) const = default;
};

struct CarveShape : TableShape {
  // Page size less the reserved bytes; decides where an overflowing cell ends.
  std::uint32_t usableSize = 0;

  bool operator==(const CarveShape&) const = default;
};

// Which search found a candidate. kWholeCell: a freed cell that kept its cell header whole,
// in a freeblock after the first cell of the block (a cell freed after the one in front of it
// joins that one's freeblock without a header of its own) or in the unallocated gap; its
// candidate is its serial-type run like any other (the byte before it is the record's header
// size).
// kTrunkPage and kInteriorPage: whole freed cells on pages that are no table leaf any more (see
// FindWholeCells).
enum class CarveOrigin : std::uint8_t {
  kFreeblock,
  kTail,
  kGap,
  kStalePointer,
  kWholeCell,
  kTrunkPage,     // a freelist trunk page, after its array of leaf page numbers
  kInteriorPage,  // the unused space of an interior table page
};

// Candidate offsets found on one leaf page, in the order the searches found them: whole
// freed cells, freeblock chain, tail after the highest cell, unallocated gap, stale cell
// pointers. With `origins`
// the search that found each candidate is appended there, one entry per candidate.
std::vector<std::uint32_t> FindCarveCandidates(const BtreePage& page, const CarveShape& shape,
                                               std::vector<CarveOrigin>* origins = nullptr);

// Whole cells of the shape's column count in bytes [begin, end) of `page`, swept byte by byte
// as the leaf search sweeps its freeblocks: the serial-type run of each. For the pages whose
// old leaf cells stay behind when SQLite gives the page another use without clearing it:
//   * a leaf page freed and then made a freelist trunk page keeps its cells after the array
//     of leaf page numbers (the trunk's header overwrote the leaf's page header);
//   * a root leaf that splits becomes an interior page in place (its cells move to a new
//     child), and a freed leaf may come back from the freelist as an interior page; interior
//     cells fill the page from its end, so the old cells stay in the space between the
//     pointer array and the content start until those reach them.
// Only cells whose payload length is exactly their record's header and values are taken;
// `end` is cut to the page. With `cellStarts` the offset of each cell (its payload-length
// varint) is appended there, one entry per run.
std::vector<std::uint32_t> FindWholeCells(Bytes page, std::size_t begin, std::size_t end,
                                          const CarveShape& shape,
                                          std::vector<std::uint32_t>* cellStarts = nullptr);

// The unused space of an interior table page: from the end of its pointer array to the start
// of its cell content (a start of 0 read as 65,536), empty when the array runs past it.
struct ByteRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};
ByteRange InteriorUnusedSpace(const BtreePage& page);

}  // namespace kestrio
