// One b-tree page held in memory: its header fields and its cell list.
#pragma once

#include <cstdint>
#include <vector>

#include "base/bytes.h"

namespace kestrio {

inline constexpr std::uint8_t kLeafTablePage = 13;
inline constexpr std::uint8_t kInteriorTablePage = 5;
// Offset of the b-tree header on page 1, after the 100-byte database header.
inline constexpr std::size_t kFirstPageHeaderOffset = 100;

struct BtreePage {
  Bytes bytes;             // the whole page
  std::size_t header = 0;  // offset of the b-tree header (100 on page 1, else 0)

  std::uint8_t Type() const { return header < bytes.size() ? bytes[header] : 0; }
  std::uint16_t FirstFreeblock() const { return ReadBe16(bytes, header + 1).value_or(0); }
  std::uint16_t CellCount() const { return ReadBe16(bytes, header + 3).value_or(0); }
  std::uint16_t ContentStart() const { return ReadBe16(bytes, header + 5).value_or(0); }
  std::size_t PointerArrayStart() const { return header + (Type() == kInteriorTablePage ? 12 : 8); }
};

// The page's cell offsets in pointer-array order. A page with exactly one cell lists the
// start of its cell content area instead of its pointer entry; a page with none lists
// nothing. Offsets outside the page are dropped, and the array is cut where the page ends.
std::vector<std::uint32_t> CellOffsets(const BtreePage& page);

}  // namespace kestrio
