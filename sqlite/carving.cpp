#include "sqlite/carving.h"

#include <algorithm>
#include <cstdint>

#include "sqlite/raw_sqlite_reader.h"

namespace kestrio {
namespace {

// A freed record whose header size lies up to this much above the column count is still
// taken for one (multi-byte serial types of long texts and blobs).
constexpr std::uint64_t kHeaderSlack = 5;
// Stale pointers and candidates closer than this are taken to be the same record.
constexpr std::uint64_t kNearDuplicate = 6;
// Payload-length and rowid varints take at most 9 bytes each; of the ones a freeblock header
// does not cover, real cells leave up to 4 (3-byte payload length, 3-byte rowid, 2 covered).
constexpr std::size_t kLeftoverCellBytes = 4;
// SQLite merges free gaps of up to 3 bytes ("fragments") into a neighbouring freeblock.
constexpr std::uint64_t kMaxFragment = 3;

struct Varint {
  std::uint64_t value = 0;
  std::size_t length = 0;  // bytes used; the whole limit when no terminating byte was found
};

Varint VarintAt(Bytes page, std::size_t off, std::size_t limit) {
  int n = static_cast<int>(std::min<std::size_t>(limit, 0x7fffffff));
  const std::uint64_t value = ReadVarint(Tail(page, off), n);
  return {value, n > 0 ? static_cast<std::size_t>(n) : 0};
}

// The length of a whole leaf cell of `cc` columns at `pos` that ends by `end`, else 0;
// `runAt` receives where its serial-type run starts. Cells that overflow are not taken.
std::size_t WholeCellAt(Bytes bytes, std::size_t pos, std::size_t end, std::uint32_t cc,
                        std::uint32_t usable, std::size_t* runAt) {
  if (cc == 0 || end > bytes.size() || pos >= end) return 0;
  const Bytes area = bytes.first(end);
  const auto payload = ReadTerminatedVarint(area, pos);
  if (!payload || payload->length > 3 || payload->value < std::uint64_t{cc} + 1 || usable < 35 ||
      payload->value > usable - 35)
    return 0;
  const auto rowId = ReadTerminatedVarint(area, pos + payload->length);
  if (!rowId || rowId->value > static_cast<std::uint64_t>(INT64_MAX)) return 0;
  const std::size_t headerAt = pos + payload->length + rowId->length;
  const auto header = ReadTerminatedVarint(area, headerAt);
  if (!header || header->length > 2 || header->value < std::uint64_t{cc} + header->length ||
      header->value > 9 * std::uint64_t{cc} + header->length)
    return 0;
  const std::size_t typesAt = headerAt + header->length;
  const auto types = SubSpan(area, typesAt, header->value - header->length);
  if (!types) return 0;
  // Exactly cc serial types filling the header, whose values add up to the payload. This
  // runs at every byte of free space, so it ends at the first type that cannot fit: in
  // text, the first few "types" already overrun the payload.
  std::uint64_t total = header->value;
  std::uint32_t count = 0;
  for (std::size_t p = 0; p < types->size();) {
    const auto type = ReadTerminatedVarint(*types, p);
    if (!type || type->value == 10 || type->value == 11 || ++count > cc) return 0;
    p += type->length;
    total += SerialTypeSize(type->value);
    if (total > payload->value) return 0;
  }
  if (count != cc || total != payload->value) return 0;
  const std::size_t length = headerAt - pos + static_cast<std::size_t>(total);
  if (length > end - pos) return 0;
  *runAt = typesAt;
  return length;
}

// Calls add(run, cell) for every whole cell in [begin, end), the sweep going on after each.
template <typename Add>
void SweepWholeCells(Bytes bytes, std::size_t begin, std::size_t end, std::uint32_t cc,
                     std::uint32_t usable, Add add) {
  end = std::min(end, bytes.size());
  for (std::size_t pos = begin; pos + 3 < end;) {
    // Most free bytes (zeros, text) fail at once: a one-byte payload length shorter than a
    // record of cc columns can be.
    if (const std::uint8_t first = bytes[pos]; first < 0x80 && first <= cc) {
      ++pos;
      continue;
    }
    std::size_t run = 0;
    const std::size_t used = WholeCellAt(bytes, pos, end, cc, usable, &run);
    if (used == 0) {
      ++pos;
      continue;
    }
    add(run, pos);
    pos += used;
  }
}

class PageCarver {
 public:
  PageCarver(const BtreePage& page, const CarveShape& shape, std::vector<CarveOrigin>* origins)
      : origins_(origins),
        page_(page),
        bytes_(page.bytes),
        size_(page.bytes.size()),
        shape_(shape),
        cc_(shape.columnCount),
        cells_(CellOffsets(page)) {}

  std::vector<std::uint32_t> Run() {
    origin_ = CarveOrigin::kWholeCell;
    WholeCells();
    origin_ = CarveOrigin::kFreeblock;
    FreeblockChain();
    origin_ = CarveOrigin::kTail;
    TailAfterHighestCell();
    origin_ = CarveOrigin::kGap;
    UnallocatedGap();
    origin_ = CarveOrigin::kStalePointer;
    StalePointers();
    return std::move(found_);
  }

 private:
  std::uint64_t Length(std::size_t start, std::uint64_t run, std::uint64_t limit) const {
    return RecordLength(Tail(bytes_, start), cc_, run, limit);
  }
  std::size_t Run(std::size_t start, std::uint64_t count) const {
    return VarintRunLength(Tail(bytes_, start), count);
  }
  void Add(std::size_t off) {
    // Two searches may reach the same record (a whole cell in the gap, say).
    if (off >= size_ || std::find(found_.begin(), found_.end(), off) != found_.end()) return;
    found_.push_back(static_cast<std::uint32_t>(off));
    if (origins_) origins_->push_back(origin_);
  }

  // A freeblock header at `off` with `size` bytes: the record's serial types start right
  // after the 4 header bytes, or one varint later when the header-size varint survived.
  // The 4 header bytes cover exactly the payload-length and rowid varints only while they
  // take 4 bytes together; a rowid of 16,384 or more (3 bytes) or a payload of that size
  // leaves up to 4 of their bytes behind, and the surviving header-size varint then sits
  // that much later. Returns the serial-type start when the record fits in the block, else
  // 0; `bodyAt` receives where the record's body starts (for the non-zero prefix test),
  // `endAt` where its values end (a lost first column's value not counted).
  std::size_t RecordInFreeblock(std::size_t off, std::uint64_t size, std::size_t* bodyAt,
                                std::size_t* endAt = nullptr) const {
    if (!InRange(size_, off, 4)) return 0;
    const std::size_t body = off + 4;
    const Varint v = VarintAt(bytes_, body, size_ - body);
    std::size_t hdr = Run(body + v.length, cc_);
    std::size_t start = v.value == hdr + v.length ? body + v.length : body;
    std::size_t bodyStart = start + hdr;  // after a surviving header-size varint too
    // A header of 128 bytes or more (a table of a hundred columns and more) has a 2-byte size
    // varint; after a 2-byte payload length and a 1-byte rowid the freeblock header took its
    // first byte, and the second (the size's low 7 bits) is left in front of the run.
    const std::uint8_t first = ByteAt(bytes_, body).value_or(0);
    if (start == body && cc_ != 0 && first != 0 && (first & 0x80) == 0) {
      const std::size_t run = Run(body + 1, cc_);
      if (run != 0 && run + 2 >= 0x80 && ((run + 2) & 0x7f) == first) {
        start = body + 1;
        hdr = run;
        bodyStart = start + run;
      }
    }
    if (start == body && cc_ != 0 && first != 0) {
      for (std::size_t k = 1; k <= kLeftoverCellBytes && body + k < size_; ++k) {
        // The leftover bytes are the end of a varint: high bit set on all but the last.
        if (ByteAt(bytes_, body + k - 1).value_or(0) & 0x80) continue;
        if (k > 1 && (ByteAt(bytes_, body + k - 2).value_or(0) & 0x80) == 0) break;
        const Varint w = VarintAt(bytes_, body + k, size_ - body - k);
        const std::size_t run = Run(body + k + w.length, cc_);
        if (run == 0 || w.value != run + w.length) continue;
        // A header-size byte can also be a text's serial type by chance (a 6-character text
        // is type 25, the header size of 24 columns); a freed cell fills its block up to
        // the few fragment bytes SQLite merges in, which a chance match does not.
        const std::size_t at = body + k + w.length;
        const std::uint64_t len = Length(at, run, size_ - at);
        const std::uint64_t end = off + size;
        if (at + len <= end && (end - (at + len) <= kMaxFragment || StaleHeaderAt(at + len, end))) {
          hdr = run;
          start = body + k + w.length;
          bodyStart = start + run;
          break;
        }
      }
    }
    if (start >= size_) return 0;
    std::uint64_t length = Length(start, hdr, size_ - body);
    // A run starting with 0 is read as holding column 0's serial type (a rowid alias stored as
    // NULL); when the header took the payload length, rowid, header size and column 0's type
    // (one byte each) the 0 is column 1's, the run one entry shorter. The record that fits the
    // block is the one.
    if (length > size && start == body && first == 0 && cc_ > 1) {
      const std::size_t shorter = Run(body, cc_ - 1);
      if (shorter != 0) {
        length = RecordLength(Tail(bytes_, body), 0, shorter, size_ - body);
        bodyStart = body + shorter;
      }
    }
    if (length > size) return 0;
    if (bodyAt) *bodyAt = bodyStart;
    if (endAt) *endAt = start + static_cast<std::size_t>(length);
    return start;
  }

  // Whether a freed cell's stale freeblock header lies at `pos` (next offset 0 or after it,
  // a size of at least one cell that ends by `end`): a record that ends there is followed by
  // another freed cell of its merged block.
  bool StaleHeaderAt(std::size_t pos, std::size_t end) const {
    const auto next = ReadBe16(bytes_, pos);
    const auto size = ReadBe16(bytes_, pos + 2);
    return next && size && *size >= 5 && *size <= end - pos &&
           (*next == 0 || (*next > pos && *next < size_));
  }

  // Cells freed one by one that lie side by side merge into one freeblock. A cell freed
  // before the one in front of it kept the 4-byte header its own freeing wrote (the next
  // freeblock's offset then, its size then: its own, or more when it had merged with freed
  // cells behind it), and the freeblock of the cell in front grew over it. The cells after the
  // first of a block are found by those headers, each right after the record before it (a
  // few bytes later when the record before lost its first value), else where the header
  // before said its block ended.
  void RestOfBlock(std::size_t from, std::size_t blockEnd) {
    std::size_t p = from;
    for (std::size_t guard = size_ / 4 + 1; guard-- > 0 && p + 4 < blockEnd;) {
      std::size_t end = 0, staleEnd = 0;
      std::size_t start = CellHeaderNear(p, blockEnd, &end, &staleEnd);
      if (start == 0 && staleEnd > p) start = CellHeaderNear(staleEnd, blockEnd, &end, &staleEnd);
      if (start == 0) break;
      Add(start);
      p = end;
    }
  }

  // A stale freeblock header at or a few bytes after `p` whose record fits in the size it
  // gives, inside [p, blockEnd): the record's serial-type start, else 0. `end` receives where
  // the record ends, `staleEnd` where the header's size ends (kept from the last header read).
  std::size_t CellHeaderNear(std::size_t p, std::size_t blockEnd, std::size_t* end,
                             std::size_t* staleEnd) const {
    constexpr std::size_t kLostValueWindow = 8;
    for (std::size_t q = p; q <= p + kLostValueWindow && q + 4 < blockEnd; ++q) {
      const auto next = ReadBe16(bytes_, q);
      const auto size = ReadBe16(bytes_, q + 2);
      if (!next || !size || *size < 5 || *size > blockEnd - q) continue;
      if (*next != 0 && (*next <= q || *next >= size_)) continue;
      std::size_t bodyStart = 0;
      const std::size_t start = RecordInFreeblock(q, *size, &bodyStart, end);
      if (start == 0 || (shape_.nonZeroBodyPrefix != 0 && !NonZeroPrefix(bodyStart))) continue;
      if (*end <= q + 4) continue;
      *staleEnd = q + *size;
      return start;
    }
    return 0;
  }

  // 0. Freed cells that kept their cell header, in the freeblocks (after each block's 4-byte
  // header) and in the unallocated gap, swept byte by byte. A cell counts when its payload
  // length is exactly its record's header and values for the shape's column count, and it
  // ends inside its block; the sweep goes on after it.
  void WholeCells() {
    if (cc_ == 0) return;
    std::size_t off = page_.FirstFreeblock();
    for (std::size_t guard = size_ / 4 + 1; off != 0 && guard-- > 0;) {
      const auto next = ReadBe16(bytes_, off);
      const auto size = ReadBe16(bytes_, off + 2);
      if (!next || !size || *size < 4 || *size > size_ - off) break;
      Sweep(off + 4, off + *size);
      if (*next != 0 && *next <= off) break;  // an intact chain runs forward
      off = *next;
    }
    const std::size_t gapStart = page_.PointerArrayStart() + 2 * std::size_t{page_.CellCount()};
    const std::size_t gapEnd = std::min<std::size_t>(page_.ContentStart(), size_);
    if (gapStart < gapEnd) Sweep(gapStart, gapEnd);
  }

  void Sweep(std::size_t begin, std::size_t end) {
    SweepWholeCells(bytes_, begin, end, cc_, shape_.usableSize,
                    [this](std::size_t run, std::size_t) { Add(run); });
  }

  // 1. The freeblock chain from the page header.
  void FreeblockChain() {
    std::size_t off = page_.FirstFreeblock();
    // Freeblocks are at least 4 bytes apart, so a chain longer than this loops.
    std::size_t guard = size_ / 4 + 1;
    while (off != 0 && guard-- > 0) {
      const auto next = ReadBe16(bytes_, off);
      const auto sizeField = ReadBe16(bytes_, off + 2);
      if (!next || !sizeField || *sizeField == 0) break;
      std::uint64_t size = *sizeField;
      if (size > size_ - off) size = 0;  // runs past the page: this block yields nothing
      std::size_t bodyStart = 0;
      std::size_t end = 0;
      const std::size_t start = size ? RecordInFreeblock(off, size, &bodyStart, &end) : 0;
      if (start != 0 && (shape_.nonZeroBodyPrefix == 0 || NonZeroPrefix(bodyStart))) Add(start);
      if (start != 0 && cc_ != 0) RestOfBlock(end, off + static_cast<std::size_t>(size));
      off = *next;
    }
  }

  bool NonZeroPrefix(std::size_t off) const {
    auto prefix = SubSpan(bytes_, off, shape_.nonZeroBodyPrefix);
    return prefix &&
           std::none_of(prefix->begin(), prefix->end(), [](std::uint8_t b) { return b == 0; });
  }

  // 2. The bytes after the end of the cell with the highest offset.
  void TailAfterHighestCell() {
    std::size_t pos = 0;
    if (!cells_.empty()) pos = *std::max_element(cells_.begin(), cells_.end());
    if (pos >= size_) return;
    const Varint payload = VarintAt(bytes_, pos, 9);
    const Varint rowid = VarintAt(bytes_, pos + payload.length, 9);
    const std::uint64_t local = LocalPayloadSize(payload.value, shape_.usableSize);
    // An overflowing cell ends with the 4-byte number of its first overflow page.
    const std::uint64_t stored = local < payload.value ? local + 4 : payload.value;
    const std::uint64_t head = pos + payload.length + rowid.length;
    if (head >= size_ || stored >= size_ - head) return;
    const std::size_t tail = static_cast<std::size_t>(head + stored);

    // Records whose header-size varint survived.
    for (std::size_t off = tail; off < size_;) {
      const std::size_t rem = size_ - off;
      const Varint v = VarintAt(bytes_, off, rem);
      off += std::max<std::size_t>(v.length, 1);
      if (v.value == 0 || v.value > cc_ + kHeaderSlack || v.value >= rem || cc_ >= rem - v.length)
        continue;
      const std::uint64_t k =
          shape_.learnedColumnCount ? Run(off, shape_.learnedColumnCount) + 1 : 0;
      if (k != v.value) continue;
      const std::uint64_t len = Length(off, v.value - 1, size_ - off);
      if (len < size_ - off) {
        Add(off);
        off += static_cast<std::size_t>(len);
      }
    }

    // A run of freed cells whose first 4 bytes were overwritten by freeblock headers.
    for (std::size_t x = tail; x + cc_ + 9 < size_;) {
      x += 4;
      const std::size_t hdr = Run(x, cc_);
      const std::uint64_t len = Length(x, hdr, size_ - x);
      if (len > size_ - x) break;
      if (len == 0) continue;
      Add(x);
      x += static_cast<std::size_t>(len);
    }
  }

  // 3. The unallocated gap between the cell pointer array and the cell content.
  void UnallocatedGap() {
    std::size_t cs = size_;
    if (!cells_.empty())
      cs = std::min<std::size_t>(cs, *std::min_element(cells_.begin(), cells_.end()));
    // The first zero word after the pointer array (live and stale entries are non-zero).
    const std::size_t first = page_.header + 8;
    std::size_t zero = 0;
    for (std::size_t w = first; w + 1 < cs; w += 2) {
      if (ReadBe16(bytes_, w).value_or(1) == 0) {
        zero = w;
        break;
      }
    }
    if (zero == 0) return;
    std::size_t b = 0;
    for (std::size_t p = zero + 2; p < cs; ++p) {
      if (ByteAt(bytes_, p).value_or(0) != 0) {
        b = p;
        break;
      }
    }
    if (b == 0) return;

    // Backward: records that kept their header-size varint, the latest one first.
    std::size_t bound = cs;
    for (std::size_t x = cs; x-- > b;) {
      const std::size_t rem = bound - x;
      const Varint v = VarintAt(bytes_, x, rem);
      const std::size_t y = x + v.length;
      if (v.value == 0 || v.value < cc_ || v.value > cc_ + kHeaderSlack || v.value >= rem ||
          v.value >= rem - v.length)
        continue;
      if (Run(y, shape_.learnedColumnCount) + 1 != v.value) continue;
      if (Length(y, v.value, bound - y) <= bound - y) {
        Add(y);
        bound = x;
      }
    }

    // Forward: the first non-zero word is taken for a freeblock header. SQLite writes a
    // freeblock header (next 0, size) over a freed cell even when the cell lay at the start
    // of the content area and the content start then moved past it; such a header begins
    // with zero bytes, so the first non-zero byte is inside it. A header up to 3 bytes
    // before b whose size reaches exactly to the content start is that header.
    const auto word = ReadBe16(bytes_, b);
    if (!word) return;
    std::size_t header = b;
    for (std::size_t x = b > zero + 2 + 3 ? b - 3 : zero + 2; x < b; ++x) {
      if (ReadBe16(bytes_, x).value_or(1) == 0 && ReadBe16(bytes_, x + 2).value_or(0) == cs - x) {
        header = x;
        break;
      }
    }
    const std::size_t y = header + 4;
    if (y > cs) return;
    const std::uint64_t hdr = cc_ ? Run(y, cc_) : *word;
    const std::uint64_t length = Length(y, hdr, size_ - y);
    if (length > cs - y) return;
    Add(y);
    // Freed cells that lay behind it, each with its own stale freeblock header.
    if (cc_ != 0) RestOfBlock(y + static_cast<std::size_t>(length), cs);
  }

  // 4. Entries of the cell pointer array behind its live part.
  void StalePointers() {
    const std::size_t count = page_.CellCount();
    const std::size_t array = page_.header + 8;
    std::size_t last = 0;
    bool dropping = false;
    for (std::size_t k = 0; k < size_ / 2; ++k) {
      const auto entry = ReadBe16(bytes_, array + 2 * k);
      if (!entry || *entry == 0 || *entry >= size_) break;
      const std::size_t e = *entry;
      if (k < count) {
        last = e;
        continue;
      }
      if (e >= last && e <= last + kNearDuplicate) continue;
      std::size_t y = StaleFreeblock(e);
      if (y == 0) y = StaleCell(e);
      if (y == 0 || dropping) continue;
      const bool near = std::any_of(found_.begin(), found_.end(), [y](std::uint32_t q) {
        return (q > y ? q - y : y - q) <= kNearDuplicate;
      });
      if (near) {
        dropping = true;
        continue;
      }
      Add(y);
    }
  }

  std::size_t StaleFreeblock(std::size_t e) const {
    if (cc_ >= size_ - e) return 0;
    const auto sizeField = ReadBe16(bytes_, e + 2);
    if (!sizeField || *sizeField == 0) return 0;
    std::uint64_t size = *sizeField;
    if (size > size_ - e) {
      if (e + 3 >= size_) return 0;
      size = VarintAt(bytes_, e + 3, size_ - e - 3).value;
      if (size > size_ - e - 3) return 0;
    }
    return RecordInFreeblock(e, size, nullptr);
  }

  std::size_t StaleCell(std::size_t e) const {
    const auto word = ReadBe16(bytes_, e);
    if (!word) return 0;
    const bool freed = *word == 0;
    std::size_t headerPos = 0;
    std::int64_t expected = 0;
    if (!freed) {
      const Varint payload = VarintAt(bytes_, e, size_ - e);
      if (payload.value == 0 || payload.value - 1 > size_ - e) return 0;
      const Varint rowid = VarintAt(bytes_, e + payload.length, size_ - e - payload.length);
      headerPos = e + payload.length + rowid.length;
      if (headerPos >= size_) return 0;
      expected = static_cast<std::int64_t>(payload.value - 1);
    } else {
      const auto freedSize = ReadBe16(bytes_, e + 2);
      if (!freedSize) return 0;
      expected = static_cast<std::int64_t>(*freedSize) - 5;
      headerPos = e + 4;
      if (headerPos >= size_) return 0;
    }
    const Varint v = VarintAt(bytes_, headerPos, size_ - headerPos);
    const std::size_t y = headerPos + v.length;
    if (y >= size_ || cc_ >= size_ - y) return 0;
    if (Run(y, cc_) + 1 != v.value) return 0;
    if (v.value >= size_ - y) return 0;
    if (v.value == 0 || static_cast<std::int64_t>(v.value) >= expected) return 0;
    if (!freed && Length(y, v.value, size_ - y) != static_cast<std::uint64_t>(expected)) return 0;
    return y;
  }

  std::vector<CarveOrigin>* origins_;
  CarveOrigin origin_ = CarveOrigin::kFreeblock;
  const BtreePage& page_;
  Bytes bytes_;
  std::size_t size_;
  const CarveShape& shape_;
  std::uint32_t cc_;
  std::vector<std::uint32_t> cells_;
  std::vector<std::uint32_t> found_;
};

}  // namespace

std::vector<std::uint32_t> FindCarveCandidates(const BtreePage& page, const CarveShape& shape,
                                               std::vector<CarveOrigin>* origins) {
  if (page.bytes.size() < page.header + 8) return {};
  return PageCarver(page, shape, origins).Run();
}

std::vector<std::uint32_t> FindWholeCells(Bytes page, std::size_t begin, std::size_t end,
                                          const CarveShape& shape,
                                          std::vector<std::uint32_t>* cellStarts) {
  std::vector<std::uint32_t> found;
  SweepWholeCells(page, begin, end, shape.columnCount, shape.usableSize,
                  [&](std::size_t run, std::size_t cell) {
                    found.push_back(static_cast<std::uint32_t>(run));
                    if (cellStarts) cellStarts->push_back(static_cast<std::uint32_t>(cell));
                  });
  return found;
}

ByteRange InteriorUnusedSpace(const BtreePage& page) {
  const std::size_t begin = page.PointerArrayStart() + 2 * std::size_t{page.CellCount()};
  const std::size_t start = page.ContentStart();
  const std::size_t end = std::min<std::size_t>(start == 0 ? 65536 : start, page.bytes.size());
  if (begin >= end) return {};
  return {begin, end};
}

}  // namespace kestrio
