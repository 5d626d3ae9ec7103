#include <algorithm>
#include <bit>
#include <cstring>

#include "sqlite/btree_page.h"
#include "sqlite/raw_sqlite_reader.h"

namespace kestrio {

std::uint64_t ReadVarint(Bytes bytes, int& limit) {
  if (limit <= 0) return 0;
  const std::size_t max = std::min<std::size_t>(static_cast<std::size_t>(limit), bytes.size());
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < max; ++i) {
    value = (value << 7) | (bytes[i] & 0x7F);
    if ((bytes[i] & 0x80) == 0) {
      limit = static_cast<int>(i + 1);
      return value;
    }
  }
  return value;
}

std::size_t VarintRunLength(Bytes bytes, std::uint64_t count) {
  // A run can never be longer than its buffer; a count from a file is capped by that.
  if (count > bytes.size()) return 0;
  const std::uint8_t* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t used = 0;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::uint64_t left = count;
  while (left != 0) {
    // Eight bytes at a time: a byte with its high bit clear ends a varint. The run is at a
    // varint boundary here, so every varint that ends inside the word started inside it and
    // is at most 8 bytes long; the bytes after the word's last end are left for later.
    if (std::endian::native == std::endian::little && size - used >= 8) {
      std::uint64_t word;
      std::memcpy(&word, data + used, 8);
      std::uint64_t ends = ~word & kHighBits;  // bit 7 of byte i: byte i ends a varint
      if (ends != 0) {
        // The number of ends: one bit per byte summed into the top byte (std::popcount is
        // a library call on the baseline x86-64 target).
        const std::uint64_t found = ((ends >> 7) * 0x0101010101010101ULL) >> 56;
        if (found < left) {
          used += static_cast<std::size_t>((63 - std::countl_zero(ends)) / 8 + 1);
          left -= found;
          continue;
        }
        // The run ends inside this word, at its left-th end.
        for (std::uint64_t skip = left - 1; skip != 0; --skip) ends &= ends - 1;
        return used + static_cast<std::size_t>(std::countr_zero(ends) / 8 + 1);
      }
    }
    // One varint: it ends within 9 bytes and inside the buffer, or the run does not end.
    const std::size_t max = std::min<std::size_t>(9, size - used);
    std::size_t n = 0;
    while (n < max && (data[used + n] & 0x80) != 0) ++n;
    if (n == max) return 0;
    used += n + 1;
    --left;
  }
  return used;
}

std::uint64_t RecordLength(Bytes serialTypes, std::uint32_t columnCount, std::uint64_t start,
                           std::uint64_t limit) {
  if (columnCount != 0) {
    if (serialTypes.empty()) return 0;
    const std::uint32_t entries = serialTypes[0] == 0 ? columnCount : columnCount - 1;
    start = VarintRunLength(serialTypes, entries);
  }
  std::uint64_t total = start;
  std::size_t used = 0;
  while (used < start && used < serialTypes.size()) {
    int n = 9;
    const std::uint64_t type = ReadVarint(Tail(serialTypes, used), n);
    used += static_cast<std::size_t>(n);
    const std::uint64_t size = SerialTypeSize(type);
    // Saturate: a garbage serial type may announce nearly 2^63 bytes.
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
    if (total > limit) break;
  }
  return total;
}

std::uint64_t LocalPayloadSize(std::uint64_t payloadLength, std::uint32_t usable) {
  // Leaf table b-tree cells (fileformat2.html, "Cell Payload Overflow Pages"):
  //   X = U - 35; everything is local when P <= X;
  //   M = ((U - 12) * 32 / 255) - 23; K = M + ((P - M) % (U - 4));
  //   local = K when K <= X, else M.
  if (usable < 480) return std::min<std::uint64_t>(payloadLength, usable);
  const std::uint64_t x = usable - 35;
  if (payloadLength <= x) return payloadLength;
  const std::uint64_t m = ((static_cast<std::uint64_t>(usable) - 12) * 32 / 255) - 23;
  const std::uint64_t k = m + ((payloadLength - m) % (usable - 4));
  return k <= x ? k : m;
}

std::vector<std::uint32_t> CellOffsets(const BtreePage& page) {
  std::vector<std::uint32_t> offsets;
  const std::uint16_t count = page.CellCount();
  if (count == 0) return offsets;
  const std::size_t size = page.bytes.size();
  if (count == 1) {
    const std::uint32_t start = page.ContentStart();
    if (start != 0 && start < size) offsets.push_back(start);
    return offsets;
  }
  const std::size_t array = page.PointerArrayStart();
  offsets.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto entry = ReadBe16(page.bytes, array + 2 * i);
    if (!entry) break;  // the array runs past the page end
    if (*entry < size) offsets.push_back(*entry);
  }
  return offsets;
}

}  // namespace kestrio
