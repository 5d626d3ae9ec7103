#include "sqlite/raw_sqlite_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "base/text.h"
#include "sqlite/btree_page.h"
#include "sqlite/carving.h"

namespace kestrio {
namespace {

constexpr std::array<std::uint8_t, 16> kMagic = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                                 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
constexpr std::size_t kHeaderBytes = 100;
constexpr std::size_t kScratchBytes = 8 * 1024 * 1024;
// SQLite's own limit on b-tree depth is 20; a deeper walk is a loop in a corrupt file.
constexpr int kMaxTreeDepth = 24;

// A set of page indexes as one bit per page of the file: the walks keep their visited pages
// and the leaves they found in it, so their memory is a bit per page whatever the tree.
class PageSet {
 public:
  explicit PageSet(std::uint32_t pages)
      : pages_(pages), words_((std::size_t{pages} + 63) / 64, 0) {}
  // Adds `index`; false when it was there already or lies outside the file.
  bool Insert(std::uint32_t index) {
    if (index / 64 >= words_.size() || index >= pages_) return false;
    std::uint64_t& word = words_[index / 64];
    const std::uint64_t bit = std::uint64_t{1} << (index % 64);
    if (word & bit) return false;
    word |= bit;
    return true;
  }
  bool Empty() const {
    return std::all_of(words_.begin(), words_.end(), [](std::uint64_t w) { return w == 0; });
  }
  // Calls f(index) for every member in ascending order.
  template <typename F>
  void ForEach(F f) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        f(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
      }
    }
  }
  // Adds every member of `other` (a set over the same pages).
  void Add(const PageSet& other) {
    for (std::size_t w = 0; w < words_.size() && w < other.words_.size(); ++w)
      words_[w] |= other.words_[w];
  }
  // Removes every member of `other`.
  void Remove(const PageSet& other) {
    for (std::size_t w = 0; w < words_.size() && w < other.words_.size(); ++w)
      words_[w] &= ~other.words_[w];
  }
  // The lowest member (0 when empty).
  std::uint32_t First() const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      if (words_[w] != 0) {
        return static_cast<std::uint32_t>(w * 64 +
                                          static_cast<std::size_t>(std::countr_zero(words_[w])));
      }
    }
    return 0;
  }

 private:
  std::uint32_t pages_;
  std::vector<std::uint64_t> words_;
};

Result ReadFully(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemResult();
    }
    if (n == 0) return kResultInvalid;  // the file ends inside the page
    done += static_cast<std::size_t>(n);
  }
  return kResultOk;
}

}  // namespace

RawSqliteReader::RawSqliteReader() = default;

std::vector<std::uint8_t>& RawSqliteReader::Scratch() {
  if (scratch_.size() < kScratchBytes) scratch_.resize(kScratchBytes);
  return scratch_;
}

RawSqliteReader::~RawSqliteReader() { Close(); }

void RawSqliteReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pageSize_ = usableSize_ = pageCount_ = 0;
  freePages_.clear();
}

Result RawSqliteReader::OpenDatabase(const std::filesystem::path& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastSystemResult();
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const Result error = LastSystemResult();
    ::close(fd);
    return error;
  }
  if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kHeaderBytes)) {
    ::close(fd);
    return kResultInvalid;
  }
  std::array<std::uint8_t, kHeaderBytes> header{};
  if (ReadFully(fd, header.data(), header.size(), 0) != kResultOk) {
    ::close(fd);
    return kResultInvalid;
  }
  for (std::size_t i = 0; i < kMagic.size(); ++i) {
    if (std::tolower(header[i]) != std::tolower(kMagic[i])) {
      ::close(fd);
      return kResultInvalid;
    }
  }
  const Bytes head(header);
  std::uint32_t pageSize = ReadBe16(head, 16).value_or(0);
  if (pageSize == 1) pageSize = 65536;
  // Page sizes are powers of two from 512 to 65,536; the usable part must hold at least 480
  // bytes (the minimum the format allows).
  const std::uint32_t reserved = header[20];
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0 ||
      pageSize - reserved < 480) {
    ::close(fd);
    return kResultInvalid;
  }
  // Page 1 holds the schema: a file without one whole page holds no database.
  if (static_cast<std::uint64_t>(st.st_size) < pageSize) {
    ::close(fd);
    return kResultInvalid;
  }
  fd_ = fd;
  pageSize_ = pageSize;
  usableSize_ = pageSize - reserved;
  pageCount_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size) / pageSize, UINT32_MAX));

  // The freelist: a chain of trunk pages, each listing leaf pages.
  std::vector<std::uint8_t> page(pageSize_);
  std::uint32_t trunk = ReadBe32(head, 32).value_or(0);
  std::uint32_t guard = pageCount_;
  const std::uint32_t maxLeaves = usableSize_ / 4 - 2;
  while (trunk != 0 && trunk <= pageCount_ && guard-- > 0) {
    if (ReadPage(trunk - 1, page) != kResultOk) break;
    const Bytes bytes(page);
    const std::uint32_t next = ReadBe32(bytes, 0).value_or(0);
    const std::uint32_t count = std::min(ReadBe32(bytes, 4).value_or(0), maxLeaves);
    for (std::uint32_t i = 0; i < count && freePages_.size() < pageCount_; ++i) {
      const std::uint32_t leaf = ReadBe32(bytes, 8 + 4 * std::size_t{i}).value_or(0);
      if (leaf != 0 && leaf <= pageCount_) freePages_.push_back(leaf - 1);
    }
    trunk = next;
  }
  return kResultOk;
}

Result RawSqliteReader::ReadPage(std::uint32_t index, std::span<std::uint8_t> buffer) const {
  if (fd_ < 0 || index >= pageCount_ || buffer.size() < pageSize_) return kResultInvalid;
  return ReadFully(fd_, buffer.data(), pageSize_, std::uint64_t{index} * pageSize_);
}

bool RawSqliteReader::ReadCell(Bytes cell, CellPayload& out) const {
  out = CellPayload{};
  const auto payloadLength = ReadTerminatedVarint(cell, 0);
  if (!payloadLength) return false;
  const auto rowId = ReadTerminatedVarint(cell, payloadLength->length);
  if (!rowId) return false;
  out.payloadLength = payloadLength->value;
  out.rowId = rowId->value;
  const std::size_t head = payloadLength->length + rowId->length;
  const Bytes rest = Tail(cell, head);
  const std::uint64_t local = LocalPayloadSize(out.payloadLength, usableSize_);
  if (local >= out.payloadLength) {
    out.payload = rest.first(static_cast<std::size_t>(std::min<std::uint64_t>(local, rest.size())));
    return true;
  }
  // The payload continues on overflow pages: local bytes, then a 4-byte page number.
  if (local > rest.size()) {
    out.payload = rest;
    return true;
  }
  const Bytes localBytes = rest.first(static_cast<std::size_t>(local));
  // No payload is larger than the file that holds it.
  const std::uint64_t total =
      std::min<std::uint64_t>(out.payloadLength, std::uint64_t{pageCount_} * usableSize_);
  out.storage.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(total, local)));
  out.storage.assign(localBytes.begin(), localBytes.end());
  std::uint32_t next = ReadBe32(rest, static_cast<std::size_t>(local)).value_or(0);
  std::vector<std::uint8_t> page(pageSize_);
  // A chain that comes back to a page it passed is a loop: the payload ends there.
  std::unordered_set<std::uint32_t> visited;
  while (next != 0 && out.storage.size() < total && visited.insert(next).second) {
    if (ReadPage(next - 1, page) != kResultOk) break;
    const Bytes bytes(page);
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(usableSize_ - 4, total - out.storage.size()));
    out.storage.insert(out.storage.end(), page.begin() + 4, page.begin() + 4 + take);
    next = ReadBe32(bytes, 0).value_or(0);
  }
  out.payload = Bytes(out.storage);
  return true;
}

std::uint32_t RawSqliteReader::TableColumnCount(std::string_view tableName) {
  struct Fixed {
    std::string_view name;
    std::uint32_t columns;
  };
  static constexpr Fixed kTables[] = {
      {"ZNOTEBODY", 7},
      {"ZNOTE", 19},
      {"handle", 5},
      {"attachment", 9},
      {"message_attachment_join", 2},
      {"call", 13},
      {"Friend", 13},
      {"tb_c2cTables", 1},
      {"ZWACHATSESSION", 25},
      {"ZWAGROUPMEMBER", 13},
      {"ZWAMEDIAITEM", 24},
      {"ZCALLRECORD", 17},
      {"ZWACONTACT", 11},
      {"ZWAPHONE", 9},
  };
  std::uint32_t count = 0;
  if (EqualsIgnoreCase(tableName, "message")) {
    count = learned_.messageColumnCount;
  } else if (EqualsIgnoreCase(tableName, "ABPersonFullTextSearch_content")) {
    // The layout has 24 or 25 columns. The column count of a live row says which; the
    // serial-type byte count alone cannot tell 25 one-byte types from 24 with a long text.
    const std::uint32_t seen = learned_.contactColumnCount;
    count = (seen == 24 || seen == 25) ? seen : (learned_.contactIndexVariant > 25 ? 25 : 24);
  } else if (EqualsIgnoreCase(tableName, "ZWAMESSAGE")) {
    count = learned_.whatsAppMessageColumnCount;
  } else if (EqualsIgnoreCase(tableName, "ZCALLRECORD") && learned_.learnedCallColumnCount != 0) {
    // Call stores grew between versions (17 columns in the oldest, 22 and more later): the
    // width the live rows showed wins.
    count = learned_.learnedCallColumnCount;
  } else {
    for (const Fixed& table : kTables) {
      if (EqualsIgnoreCase(tableName, table.name)) {
        count = table.columns;
        break;
      }
    }
    if (count == 0 && tableName.starts_with("Chat_")) count = 9;
    if (count == 0 && tableName.starts_with("tb_c2cMsg")) count = 50;
  }
  currentColumnCount_ = count;
  return count;
}

// One ScanTable call: the walks over the table's b-tree and the freelist.
class RawSqliteReader::TableScan {
 public:
  TableScan(RawSqliteReader& reader, std::string_view table, const RecordDecoder& decoder)
      : reader_(reader),
        table_(table),
        decoder_(decoder),
        page_(reader.pageSize_),
        // Every page is read a few times (collect, live rows, candidates); a hostile file
        // whose trees share pages gets no more than this many reads.
        budget_(std::uint64_t{reader.pageCount_} * 32 + 1024) {}

  Result Run() {
    std::vector<std::uint32_t> roots;
    FindRoots(roots);
    for (std::uint32_t root : roots) ScanTree(root);
    for (std::uint32_t index : reader_.freePages_) {
      if (!ScanFreePage(index)) break;
    }
    return last_;
  }

 private:
  Result Read(std::uint32_t index, std::vector<std::uint8_t>& buffer) {
    if (budget_ == 0) return last_ = kResultInvalid;
    --budget_;
    return last_ = reader_.ReadPage(index, buffer);
  }

  BtreePage View(std::uint32_t index, const std::vector<std::uint8_t>& buffer) const {
    return BtreePage{Bytes(buffer), index == 0 ? kFirstPageHeaderOffset : 0};
  }

  // Child page indexes of an interior table page, ascending, the right-most child included.
  std::vector<std::uint32_t> Children(const BtreePage& page) const {
    std::vector<std::uint32_t> children;
    for (std::uint32_t off : CellOffsets(page)) {
      const std::uint32_t child = ReadBe32(page.bytes, off).value_or(0);
      if (child != 0 && child <= reader_.pageCount_) children.push_back(child - 1);
    }
    const std::uint32_t right = ReadBe32(page.bytes, page.header + 8).value_or(0);
    if (right != 0 && right <= reader_.pageCount_) children.push_back(right - 1);
    std::sort(children.begin(), children.end());
    children.erase(std::unique(children.begin(), children.end()), children.end());
    return children;
  }

  // --- the schema on page 1: root pages of every object whose name is the table's ---

  void FindRoots(std::vector<std::uint32_t>& roots) {
    PageSet visited(reader_.pageCount_);
    SchemaPage(0, 0, visited, roots);
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
  }

  void SchemaPage(std::uint32_t index, int depth, PageSet& visited,
                  std::vector<std::uint32_t>& roots) {
    if (depth > kMaxTreeDepth || !visited.Insert(index)) return;
    std::vector<std::uint8_t> buffer(reader_.pageSize_);
    if (Read(index, buffer) != kResultOk) return;
    const BtreePage page = View(index, buffer);
    if (page.Type() == kLeafTablePage) {
      for (std::uint32_t off : CellOffsets(page)) SchemaCell(Tail(page.bytes, off), roots);
    } else if (page.Type() == kInteriorTablePage) {
      for (std::uint32_t child : Children(page)) SchemaPage(child, depth + 1, visited, roots);
    }
  }

  // A schema row is (type, name, tbl_name, rootpage, sql). A row whose name or tbl_name is
  // the table's gives its root page; index rows match too, and their pages are skipped later
  // because they are not table pages.
  void SchemaCell(Bytes cell, std::vector<std::uint32_t>& roots) {
    CellPayload payload;
    if (!reader_.ReadCell(cell, payload)) return;
    const Bytes record = payload.payload;
    const auto headerSize = ReadTerminatedVarint(record, 0);
    if (!headerSize || headerSize->value > record.size()) return;
    std::size_t typePos = headerSize->length;
    std::uint64_t body = headerSize->value;
    bool matching = false;
    for (int column = 1; column <= 4 && typePos < headerSize->value; ++column) {
      const auto type = ReadTerminatedVarint(record, typePos);
      if (!type) return;
      typePos += type->length;
      const std::uint64_t size = SerialTypeSize(type->value);
      if (column == 4) {
        if (matching && type->value >= 1 && type->value <= 4) {
          const auto root = ReadBigEndian(record, static_cast<std::size_t>(body),
                                          static_cast<std::size_t>(type->value));
          if (root && *root != 0 && *root <= reader_.pageCount_)
            roots.push_back(static_cast<std::uint32_t>(*root - 1));
        }
        return;
      }
      if (type->value > 13 && type->value % 2 == 1 && size == table_.size()) {
        const auto text = SubSpan(record, static_cast<std::size_t>(body), size);
        if (text && AsText(*text) == table_) matching = true;
      }
      if (size > record.size() - std::min<std::uint64_t>(body, record.size())) return;
      body += size;
    }
  }

  // --- the table's b-tree: leaves, live rows, carved candidates ---

  // Collects the leaf pages under `index`. A page that cannot be read is left out and the
  // walk goes on with its siblings, so a file cut short still gives the leaves it holds;
  // the answer is false when any read failed.
  bool CollectLeaves(std::uint32_t index, int depth, PageSet& visited, PageSet& leaves) {
    if (depth > kMaxTreeDepth || !visited.Insert(index)) return true;
    std::vector<std::uint8_t> buffer(reader_.pageSize_);
    if (Read(index, buffer) != kResultOk) return false;
    const BtreePage page = View(index, buffer);
    bool ok = true;
    if (page.Type() == kLeafTablePage) {
      leaves.Insert(index);
    } else if (page.Type() == kInteriorTablePage) {
      for (std::uint32_t child : Children(page)) {
        ok = CollectLeaves(child, depth + 1, visited, leaves) && ok;
      }
    }
    return ok;
  }

  bool Collect(std::uint32_t index, PageSet& leaves) {
    PageSet visited(reader_.pageCount_);
    return CollectLeaves(index, 0, visited, leaves);
  }

  // Live rows of every leaf, then the carved candidates of every leaf. A leaf that cannot
  // be read is skipped.
  void DeliverLeaves(const PageSet& leaves, bool deleted) {  // deleted: freelist leaves
    leaves.ForEach([&](std::uint32_t leaf) {
      if (Read(leaf, page_) != kResultOk) return;
      const BtreePage page = View(leaf, page_);
      for (std::uint32_t off : CellOffsets(page)) {
        decoder_(RecordView{Tail(page.bytes, off), false, deleted, deleted});
      }
    });
    // The carving tests use what the live rows taught the reader (column counts).
    const CarveShape shape = Shape();
    leaves.ForEach([&](std::uint32_t leaf) {
      if (Read(leaf, page_) != kResultOk) return;
      const BtreePage page = View(leaf, page_);
      for (std::uint32_t off : FindCarveCandidates(page, shape)) {
        decoder_(RecordView{Tail(page.bytes, off), true, true, deleted});
      }
    });
  }

  CarveShape Shape() {
    CarveShape shape;
    shape.columnCount = reader_.TableColumnCount(table_);
    shape.learnedColumnCount = EqualsIgnoreCase(table_, "call")
                                   ? reader_.learned_.learnedCallColumnCount
                                   : shape.columnCount;
    shape.requireGuid = EqualsIgnoreCase(table_, "message");
    shape.usableSize = reader_.usableSize_;
    return shape;
  }

  void ScanTree(std::uint32_t root) {
    PageSet leaves(reader_.pageCount_);
    Collect(root, leaves);
    DeliverLeaves(leaves, false);
  }

  // A freelist page that is (or leads to) table leaves whose first cell has the table's
  // column count is read like the table's own pages, every row counting as deleted. False
  // ends the scan.
  bool ScanFreePage(std::uint32_t index) {
    if (Read(index, page_) != kResultOk) return true;  // unreadable: skipped
    const std::uint8_t type = View(index, page_).Type();
    if (type != kLeafTablePage && type != kInteriorTablePage) return true;
    PageSet leaves(reader_.pageCount_);
    if (!Collect(index, leaves)) return false;
    // A freed interior page and its freed leaves are all on the freelist: each leaf is
    // delivered once.
    leaves.Remove(freeLeavesDone_);
    if (leaves.Empty()) return true;
    const std::uint32_t first = leaves.First();
    if (Read(first, page_) != kResultOk) return false;
    if (FirstCellColumnCount(View(first, page_)) != reader_.TableColumnCount(table_)) return true;
    freeLeavesDone_.Add(leaves);
    DeliverLeaves(leaves, true);
    return true;
  }

  std::uint32_t FirstCellColumnCount(const BtreePage& page) const {
    const std::vector<std::uint32_t> cells = CellOffsets(page);
    if (cells.empty()) return 0;
    CellPayload cell;
    if (!reader_.ReadCell(Tail(page.bytes, cells.front()), cell)) return 0;
    const auto headerSize = ReadTerminatedVarint(cell.payload, 0);
    if (!headerSize) return 0;
    const std::size_t end =
        static_cast<std::size_t>(std::min<std::uint64_t>(headerSize->value, cell.payload.size()));
    std::uint32_t count = 0;
    for (std::size_t pos = headerSize->length; pos < end; ++count) {
      const auto type = ReadTerminatedVarint(cell.payload.first(end), pos);
      if (!type) break;
      pos += type->length;
    }
    return count;
  }

  RawSqliteReader& reader_;
  std::string_view table_;
  const RecordDecoder& decoder_;
  std::vector<std::uint8_t> page_;
  std::uint64_t budget_;
  PageSet freeLeavesDone_{reader_.pageCount_};
  Result last_ = kResultOk;
};

Result RawSqliteReader::ScanTable(std::string_view tableName, const RecordDecoder& decoder) {
  if (fd_ < 0) return kResultInvalid;
  currentTable_ = std::string(tableName);
  return TableScan(*this, currentTable_, decoder).Run();
}

}  // namespace kestrio
