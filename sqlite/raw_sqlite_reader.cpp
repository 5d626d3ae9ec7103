#include "sqlite/raw_sqlite_reader.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <thread>
#include <unordered_set>

#include "sqlite/btree_page.h"
#include "sqlite/carving.h"
#include "sqlite/wal.h"

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
  bool Contains(std::uint32_t index) const {
    return index < pages_ && index / 64 < words_.size() &&
           ((words_[index / 64] >> (index % 64)) & 1u) != 0;
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
  // The members in ascending order.
  std::vector<std::uint32_t> Members() const {
    std::vector<std::uint32_t> members;
    ForEach([&](std::uint32_t index) { members.push_back(index); });
    return members;
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

std::string PageName(std::uint32_t index) { return "page " + std::to_string(index + 1); }

BtreePage PageView(std::uint32_t index, const std::vector<std::uint8_t>& buffer) {
  return BtreePage{Bytes(buffer), index == 0 ? kFirstPageHeaderOffset : 0};
}

// A tree of fewer leaves is carved on the scan's own thread.
constexpr std::size_t kCarveAheadLeaves = 256;
// Candidates a CarveAhead keeps at most (3 bytes each; a 400 MB sms.db has about 330,000);
// the rest of a file with more are sought on the scan's own thread.
constexpr std::size_t kCarveAheadCandidates = std::size_t{1} << 20;

// Seeks the carve candidates of a tree's leaves, in order, on a thread of its own, while the
// scan's thread decodes the live rows of the same leaves. The pages are read through the
// reader (its sources may be read from two threads); a leaf that cannot be read ends the
// search, and the scan's own read of it reports why. Stop() ends the thread; the candidates of
// the first Done() leaves are then Take()n in their order.
class CarveAhead {
 public:
  CarveAhead(const RawSqliteReader& reader, const std::vector<std::uint32_t>& leaves,
             const CarveShape& shape)
      : reader_(reader), leaves_(leaves), shape_(shape), thread_([this] { Work(); }) {}
  CarveAhead(const CarveAhead&) = delete;
  CarveAhead& operator=(const CarveAhead&) = delete;
  ~CarveAhead() { Stop(); }

  void Stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
  }
  // Leaves whose candidates were all found (valid after Stop()).
  std::size_t Done() const { return ends_.size(); }
  void Take(std::size_t leaf, std::vector<std::uint32_t>& found,
            std::vector<CarveOrigin>& origins) const {
    const std::size_t begin = leaf == 0 ? 0 : ends_[leaf - 1];
    found.assign(offsets_.begin() + static_cast<std::ptrdiff_t>(begin),
                 offsets_.begin() + static_cast<std::ptrdiff_t>(ends_[leaf]));
    origins.assign(origins_.begin() + static_cast<std::ptrdiff_t>(begin),
                   origins_.begin() + static_cast<std::ptrdiff_t>(ends_[leaf]));
  }

 private:
  void Work() noexcept {
    try {
      std::vector<std::uint8_t> buffer(reader_.PageSize());
      std::vector<CarveOrigin> origins;
      for (std::uint32_t leaf : leaves_) {
        if (stop_.load(std::memory_order_relaxed)) return;
        if (reader_.ReadPage(leaf, buffer) != kResultOk) return;
        origins.clear();
        const std::vector<std::uint32_t> found =
            FindCarveCandidates(PageView(leaf, buffer), shape_, &origins);
        if (offsets_.size() + found.size() > kCarveAheadCandidates) return;
        // Offsets inside a page fit 16 bits: pages are at most 65,536 bytes.
        for (std::uint32_t offset : found) offsets_.push_back(static_cast<std::uint16_t>(offset));
        origins_.insert(origins_.end(), origins.begin(), origins.end());
        ends_.push_back(static_cast<std::uint32_t>(offsets_.size()));
      }
    } catch (...) {
      // Out of memory: the scan's thread seeks what is left.
    }
  }

  const RawSqliteReader& reader_;
  const std::vector<std::uint32_t>& leaves_;
  const CarveShape shape_;
  std::vector<std::uint16_t> offsets_;
  std::vector<CarveOrigin> origins_;
  std::vector<std::uint32_t> ends_;  // ends_[i]: where leaf i's candidates end in offsets_
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it starts once the members above are made
};

}  // namespace

RawSqliteReader::RawSqliteReader() = default;

std::vector<std::uint8_t>& RawSqliteReader::Scratch() {
  if (scratch_.size() < kScratchBytes) scratch_.resize(kScratchBytes);
  return scratch_;
}

RawSqliteReader::~RawSqliteReader() { Close(); }

void RawSqliteReader::Close() {
  source_.reset();
  wal_ = nullptr;
  pageSize_ = usableSize_ = pageCount_ = 0;
  textEncoding_ = 1;
  freePages_.clear();
  freeTrunks_.clear();
}

std::uint64_t RawSqliteReader::OverflowBudget() const {
  return std::uint64_t{pageCount_} * 32 + 1024;
}

void RawSqliteReader::ResetOverflowBudget() {
  overflowBudget_ = OverflowBudget();
  overflowBudgetReported_ = false;
}

void RawSqliteReader::ReportFinding(std::string what, std::string where, std::string why) const {
  Report(findings_, Finding{label_, std::move(what), std::move(where), std::move(why)});
}

Result RawSqliteReader::OpenDatabase(const std::filesystem::path& path, std::string_view label) {
  Close();
  std::unique_ptr<FilePageSource> file;
  if (const Result opened = FilePageSource::Open(path, file); opened != kResultOk) return opened;
  const std::string name = label.empty() ? path.filename().string() : std::string(label);
  // A log beside the file ("NAME-wal") with committed frames is laid over it.
  std::filesystem::path walPath = path;
  walPath += "-wal";
  std::error_code error;
  std::unique_ptr<FilePageSource> walFile;
  WalIndex index;
  if (!std::filesystem::is_regular_file(walPath, error) ||
      FilePageSource::Open(walPath, walFile) != kResultOk || walFile->Size() == 0 ||
      ReadWalIndex(*walFile, index, findings_, name + "-wal") != kResultOk ||
      index.committedFrames == 0)
    return Open(std::move(file), name);
  const std::uint32_t walPageSize = index.pageSize;
  auto overlay =
      std::make_unique<WalPageSource>(std::move(file), std::move(walFile), std::move(index));
  WalPageSource* wal = overlay.get();
  if (Open(std::move(overlay), name) == kResultOk && pageSize_ == walPageSize) {
    wal_ = wal;
    return kResultOk;
  }
  ReportFinding("write-ahead log", name + "-wal", "does not fit the database: not used");
  if (const Result opened = FilePageSource::Open(path, file); opened != kResultOk) return opened;
  return Open(std::move(file), name);
}

Result RawSqliteReader::Open(std::unique_ptr<PageSource> source, std::string_view label) {
  Close();
  label_ = std::string(label);
  if (!source || source->Size() < kHeaderBytes) return kResultInvalid;
  std::array<std::uint8_t, kHeaderBytes> header{};
  if (source->Read(0, header) != kResultOk) return kResultInvalid;
  for (std::size_t i = 0; i < kMagic.size(); ++i) {
    if (std::tolower(header[i]) != std::tolower(kMagic[i])) return kResultInvalid;
  }
  const Bytes head(header);
  std::uint32_t pageSize = ReadBe16(head, 16).value_or(0);
  if (pageSize == 1) pageSize = 65536;
  // Page sizes are powers of two from 512 to 65,536; the usable part must hold at least 480
  // bytes (the minimum the format allows).
  const std::uint32_t reserved = header[20];
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0 ||
      pageSize - reserved < 480) {
    return kResultInvalid;
  }
  // Page 1 holds the schema: a file without one whole page holds no database.
  const std::uint64_t size = source->Size();
  if (size < pageSize) return kResultInvalid;
  source_ = std::move(source);
  pageSize_ = pageSize;
  usableSize_ = pageSize - reserved;
  pageCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(size / pageSize, UINT32_MAX));
  textEncoding_ = header[59] == 2 || header[59] == 3 ? header[59] : 1;
  ResetOverflowBudget();

  // The freelist: a chain of trunk pages, each listing leaf pages.
  std::vector<std::uint8_t> page(pageSize_);
  std::uint32_t trunk = ReadBe32(head, 32).value_or(0);
  std::uint32_t guard = pageCount_;
  const std::uint32_t maxLeaves = usableSize_ / 4 - 2;
  while (trunk != 0) {
    if (trunk > pageCount_) {
      ReportFinding("freelist", "page " + std::to_string(trunk), "trunk page outside the file");
      break;
    }
    if (guard-- == 0) {
      ReportFinding("freelist", PageName(trunk - 1),
                    "trunk chain cut at its bound of " + std::to_string(pageCount_) + " pages");
      break;
    }
    if (ReadPage(trunk - 1, page) != kResultOk) {
      ReportFinding("freelist", PageName(trunk - 1), "trunk page unreadable");
      break;
    }
    freeTrunks_.push_back(trunk - 1);
    const Bytes bytes(page);
    const std::uint32_t next = ReadBe32(bytes, 0).value_or(0);
    const std::uint32_t declared = ReadBe32(bytes, 4).value_or(0);
    if (declared > maxLeaves) {
      ReportFinding("freelist", PageName(trunk - 1),
                    "lists " + std::to_string(declared) + " leaves, a page holds " +
                        std::to_string(maxLeaves));
    }
    const std::uint32_t count = std::min(declared, maxLeaves);
    for (std::uint32_t i = 0; i < count && freePages_.size() < pageCount_; ++i) {
      const std::uint32_t leaf = ReadBe32(bytes, 8 + 4 * std::size_t{i}).value_or(0);
      if (leaf != 0 && leaf <= pageCount_) freePages_.push_back(leaf - 1);
    }
    trunk = next;
  }
  return kResultOk;
}

Result RawSqliteReader::ReadPage(std::uint32_t index, std::span<std::uint8_t> buffer) const {
  if (!source_ || index >= pageCount_ || buffer.size() < pageSize_) return kResultInvalid;
  return source_->Read(std::uint64_t{index} * pageSize_, buffer.first(pageSize_));
}

bool RawSqliteReader::ReadCell(Bytes cell, CellPayload& out, bool reportDamage) const {
  // The storage keeps its memory: a scan reads every row's cell into one payload.
  out.payloadLength = 0;
  out.rowId = 0;
  out.payload = {};
  out.storage.clear();
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
  std::uint32_t next = ReadBe32(rest, static_cast<std::size_t>(local)).value_or(0);
  const auto endsEarly = [&](std::uint64_t got) {
    if (reportDamage && next == 0 && got < total) {
      ReportFinding("overflow chain", "payload of " + std::to_string(out.payloadLength) + " bytes",
                    "ends after " + std::to_string(got) + " bytes");
    }
  };
  const auto budgetUsedUp = [&] {
    if (overflowBudget_ != 0) return false;
    if (!overflowBudgetReported_) {
      overflowBudgetReported_ = true;
      ReportFinding(
          "overflow chain", PageName(next - 1),
          "read budget of " + std::to_string(OverflowBudget()) + " overflow pages used up");
    }
    return true;
  };
  // Without a page to read the payload is the local part, read in place: a page whose many
  // cells all declare long payloads costs no copies.
  if (next == 0 || budgetUsedUp()) {
    endsEarly(local);
    out.payload = localBytes;
    return true;
  }
  // The storage grows with the pages actually read; a declared length is not reserved on
  // trust.
  out.storage.assign(localBytes.begin(), localBytes.end());
  std::vector<std::uint8_t> page(pageSize_);
  // A chain that comes back to a page it passed is a loop: the payload ends there.
  std::unordered_set<std::uint32_t> visited;
  while (next != 0 && out.storage.size() < total) {
    if (!visited.insert(next).second) {
      if (reportDamage) ReportFinding("overflow chain", PageName(next - 1), "loops back");
      break;
    }
    if (budgetUsedUp()) break;
    --overflowBudget_;
    if (ReadPage(next - 1, page) != kResultOk) {
      if (reportDamage) {
        ReportFinding("overflow chain", "page " + std::to_string(next),
                      next > pageCount_ ? "outside the file" : "unreadable");
      }
      break;
    }
    const Bytes bytes(page);
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(usableSize_ - 4, total - out.storage.size()));
    out.storage.insert(out.storage.end(), page.begin() + 4, page.begin() + 4 + take);
    next = ReadBe32(bytes, 0).value_or(0);
  }
  endsEarly(out.storage.size());
  out.payload = Bytes(out.storage);
  return true;
}

// One ScanTable call: the walks over the table's b-tree and the freelist.
class RawSqliteReader::TableScan {
 public:
  TableScan(RawSqliteReader& reader, std::string_view table, const TableShapeSource& shape,
            const RecordDecoder& decoder, std::uint32_t rootPage = 0)
      : reader_(reader),
        rootPage_(rootPage),
        table_(table),
        shape_(shape),
        decoder_(decoder),
        page_(reader.pageSize_),
        // Every page is read a few times (collect, live rows, candidates); a hostile file
        // whose trees share pages gets no more than this many reads.
        budget_(std::uint64_t{reader.pageCount_} * 32 + 1024) {}

  Result Run() {
    std::vector<std::uint32_t> roots;
    if (rootPage_ != 0) {
      if (rootPage_ <= reader_.pageCount_) roots.push_back(rootPage_ - 1);
    } else {
      FindRoots(roots);
    }
    for (std::uint32_t root : roots) ScanTree(root);
    bool whole = true;
    for (std::uint32_t index : reader_.freePages_) {
      if (!ScanFreePage(index)) {
        whole = false;
        break;
      }
    }
    if (whole) ScanTrunkPages();
    return last_;
  }

 private:
  Result Read(std::uint32_t index, std::vector<std::uint8_t>& buffer) {
    if (budget_ == 0) {
      if (!budgetReported_) {
        budgetReported_ = true;
        reader_.ReportFinding(
            "table", "table " + std::string(table_),
            "read budget of " + std::to_string(budgetGiven_) + " page reads used up");
      }
      return last_ = kResultInvalid;
    }
    --budget_;
    last_ = reader_.ReadPage(index, buffer);
    if (last_ != kResultOk) reader_.ReportFinding("page", PageName(index), "unreadable");
    return last_;
  }

  // A walk that gives up at its depth bound; only reported for the schema and the table's
  // own tree (a freed interior page may point anywhere).
  void DepthBound(std::uint32_t index, bool report) const {
    if (report) {
      reader_.ReportFinding("b-tree", PageName(index),
                            "deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    }
  }

  BtreePage View(std::uint32_t index, const std::vector<std::uint8_t>& buffer) const {
    return PageView(index, buffer);
  }

  // Child page indexes of an interior table page, ascending, the right-most child included.
  // Children outside the file are left out, and reported when `report` is set.
  std::vector<std::uint32_t> Children(std::uint32_t index, const BtreePage& page,
                                      bool report) const {
    std::vector<std::uint32_t> children;
    const auto add = [&](std::uint32_t child) {
      if (child != 0 && child <= reader_.pageCount_) {
        children.push_back(child - 1);
      } else if (report && child != 0) {
        reader_.ReportFinding("b-tree", PageName(index),
                              "child page " + std::to_string(child) + " outside the file");
      }
    };
    for (std::uint32_t off : CellOffsets(page)) add(ReadBe32(page.bytes, off).value_or(0));
    add(ReadBe32(page.bytes, page.header + 8).value_or(0));
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
    if (depth > kMaxTreeDepth) return DepthBound(index, true);
    if (!visited.Insert(index)) return;
    std::vector<std::uint8_t> buffer(reader_.pageSize_);
    if (Read(index, buffer) != kResultOk) return;
    const BtreePage page = View(index, buffer);
    if (page.Type() == kLeafTablePage) {
      for (std::uint32_t off : CellOffsets(page)) SchemaCell(Tail(page.bytes, off), roots);
    } else if (page.Type() == kInteriorTablePage) {
      for (std::uint32_t child : Children(index, page, true))
        SchemaPage(child, depth + 1, visited, roots);
    }
  }

  // A schema row is (type, name, tbl_name, rootpage, sql). A row whose name or tbl_name is
  // the table's gives its root page; index rows match too, and their pages are skipped later
  // because they are not table pages.
  void SchemaCell(Bytes cell, std::vector<std::uint32_t>& roots) {
    CellPayload payload;
    if (!reader_.ReadCell(cell, payload, true)) return;
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
  // the answer is false when any read failed. `ownTree`: the table's own b-tree, whose
  // damage is reported.
  // `interiors`, when given, receives the interior pages passed.
  bool CollectLeaves(std::uint32_t index, int depth, bool ownTree, PageSet& visited,
                     PageSet& leaves, PageSet* interiors) {
    if (depth > kMaxTreeDepth) {
      DepthBound(index, ownTree);
      return true;
    }
    if (!visited.Insert(index)) {
      // An intact tree reaches each page once.
      if (ownTree) reader_.ReportFinding("b-tree", PageName(index), "reached twice: a loop");
      return true;
    }
    // One buffer serves the whole walk: a page's children are listed before the walk
    // descends, and the page is not looked at again.
    std::vector<std::uint8_t>& buffer = walkPage_;
    if (Read(index, buffer) != kResultOk) return false;
    const BtreePage page = View(index, buffer);
    bool ok = true;
    if (page.Type() == kLeafTablePage) {
      leaves.Insert(index);
    } else if (page.Type() == kInteriorTablePage) {
      if (interiors) interiors->Insert(index);
      for (std::uint32_t child : Children(index, page, ownTree)) {
        ok = CollectLeaves(child, depth + 1, ownTree, visited, leaves, interiors) && ok;
      }
    }
    return ok;
  }

  bool Collect(std::uint32_t index, bool ownTree, PageSet& leaves, PageSet* interiors = nullptr) {
    PageSet visited(reader_.pageCount_);
    return CollectLeaves(index, 0, ownTree, visited, leaves, interiors);
  }

  // Whole cells of the table's width in [begin, end) of the page in page_, delivered as
  // carved records from their serial-type runs (their rowids are not passed on: a carved
  // record's decoder takes none).
  void DeliverWholeCells(std::uint32_t index, std::size_t begin, std::size_t end,
                         const CarveShape& shape, CarveOrigin origin, bool freePage) {
    const Bytes bytes(page_);
    for (std::uint32_t run : FindWholeCells(bytes, begin, end, shape)) {
      decoder_(RecordView{Tail(bytes, run), true, true, freePage, index, origin, run});
    }
  }

  // The unused space of interior pages: an interior page that was a leaf before (a root leaf
  // split in place, a freed leaf reused) keeps that leaf's cells there.
  void DeliverInteriors(const PageSet& interiors, bool freePage) {
    if (interiors.Empty()) return;
    const CarveShape shape = Shape();
    if (shape.columnCount == 0) return;
    interiors.ForEach([&](std::uint32_t index) {
      if (Read(index, page_) != kResultOk) return;
      const BtreePage page = View(index, page_);
      if (page.Type() != kInteriorTablePage) return;
      const ByteRange unused = InteriorUnusedSpace(page);
      DeliverWholeCells(index, unused.begin, unused.end, shape, CarveOrigin::kInteriorPage,
                        freePage);
    });
  }

  // Freelist trunk pages: a freed leaf made a trunk keeps its cells after the trunk's array
  // of leaf page numbers (a count beyond what the page holds is cut to it).
  void ScanTrunkPages() {
    if (reader_.freeTrunks_.empty()) return;
    const CarveShape shape = Shape();
    if (shape.columnCount == 0) return;
    const std::uint32_t maxLeaves = reader_.usableSize_ / 4 - 2;
    for (std::uint32_t index : reader_.freeTrunks_) {
      if (Read(index, page_) != kResultOk) {
        if (budget_ == 0) return;
        continue;
      }
      const std::uint32_t count =
          std::min(ReadBe32(Bytes(page_), 4).value_or(maxLeaves), maxLeaves);
      DeliverWholeCells(index, 8 + 4 * std::size_t{count}, reader_.usableSize_, shape,
                        CarveOrigin::kTrunkPage, true);
    }
  }

  // Live rows of every leaf, then the carved candidates of every leaf. A leaf that cannot
  // be read is skipped. The candidates of a large tree are sought on a second thread while
  // the live rows are decoded; they are taken when the shape the live rows leave is the one
  // they were sought with, else sought again.
  void DeliverLeaves(const PageSet& leaves, bool deleted) {  // deleted: freelist leaves
    const std::vector<std::uint32_t> list = leaves.Members();
    const CarveShape early = Shape();
    std::optional<CarveAhead> ahead;
    if (reader_.carveAhead_ && list.size() >= kCarveAheadLeaves)
      ahead.emplace(reader_, list, early);
    for (std::uint32_t leaf : list) {
      if (Read(leaf, page_) != kResultOk) continue;
      DeliverCells(leaf, deleted);
    }
    // The carving tests use the shape as the caller knows it after the live rows.
    const CarveShape shape = Shape();
    std::size_t ready = 0;
    if (ahead) {
      ahead->Stop();
      if (shape == early) ready = ahead->Done();
    }
    std::vector<std::uint32_t> found;
    std::vector<CarveOrigin> origins;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (Read(list[i], page_) != kResultOk) continue;
      if (i < ready) {
        ahead->Take(i, found, origins);
      } else {
        origins.clear();
        found = FindCarveCandidates(View(list[i], page_), shape, &origins);
      }
      DeliverCandidates(list[i], found, origins, deleted);
    }
  }

  // The intact cells of the leaf in page_.
  void DeliverCells(std::uint32_t leaf, bool deleted) {
    const BtreePage page = View(leaf, page_);
    for (std::uint32_t off : CellOffsets(page)) {
      decoder_(RecordView{Tail(page.bytes, off), false, deleted, deleted, leaf,
                          CarveOrigin::kFreeblock, off});
    }
  }

  void DeliverCandidates(std::uint32_t leaf, const std::vector<std::uint32_t>& found,
                         const std::vector<CarveOrigin>& origins, bool deleted) {
    const Bytes bytes(page_);
    for (std::size_t i = 0; i < found.size(); ++i) {
      decoder_(RecordView{Tail(bytes, found[i]), true, true, deleted, leaf, origins[i], found[i]});
    }
  }

  CarveShape Shape() const {
    CarveShape shape;
    static_cast<TableShape&>(shape) = shape_();
    shape.usableSize = reader_.usableSize_;
    return shape;
  }

  void ScanTree(std::uint32_t root) {
    PageSet leaves(reader_.pageCount_);
    PageSet interiors(reader_.pageCount_);
    Collect(root, true, leaves, &interiors);
    DeliverLeaves(leaves, false);
    DeliverInteriors(interiors, false);
    if (reader_.wal_) EarlierVersions(leaves);
  }

  // Where the serial-type run of the cell at `off` starts: after its payload-length, rowid
  // and header-size varints.
  static std::optional<std::uint32_t> SerialTypeRun(Bytes page, std::uint32_t off) {
    std::size_t at = off;
    for (int varint = 0; varint < 3; ++varint) {
      const auto field = ReadTerminatedVarint(page, at);
      if (!field) return std::nullopt;
      at += field->length;
    }
    if (at >= page.size()) return std::nullopt;
    return static_cast<std::uint32_t>(at);
  }

  // With a log laid over the file by OpenDatabase: the earlier versions of the table's leaves
  // that the log replaced (superseded committed frames, and the file's own copy of the page),
  // and of pages the log put on the freelist whose earlier version was a leaf of the table's
  // width. Their cells and their free space are delivered as carved records; the rows still
  // live are the caller's to drop.
  void EarlierVersions(const PageSet& leaves) {
    const WalPageSource& wal = *reader_.wal_;
    const WalIndex& index = wal.Index();
    PageSet free(reader_.pageCount_);
    for (std::uint32_t page : reader_.freePages_) free.Insert(page);
    std::vector<std::uint8_t> buffer(reader_.pageSize_);
    const CarveShape shape = Shape();
    const auto deliver = [&](std::uint32_t pageIndex) {
      const BtreePage page = View(pageIndex, buffer);
      if (page.Type() != kLeafTablePage) return;
      if (!leaves.Contains(pageIndex) && FirstCellColumnCount(page) != shape.columnCount) return;
      // The cells are handed over as carved records from their serial-type runs: a row of
      // an earlier version is a deleted row, which decoders know by its lost cell header.
      for (std::uint32_t off : CellOffsets(page)) {
        const std::optional<std::uint32_t> run = SerialTypeRun(page.bytes, off);
        if (!run) continue;
        decoder_(RecordView{Tail(page.bytes, *run), true, true, false, pageIndex,
                            CarveOrigin::kWholeCell, *run});
      }
      std::vector<CarveOrigin> origins;
      const std::vector<std::uint32_t> found = FindCarveCandidates(page, shape, &origins);
      for (std::size_t i = 0; i < found.size(); ++i) {
        decoder_(RecordView{Tail(page.bytes, found[i]), true, true, false, pageIndex, origins[i],
                            found[i]});
      }
    };
    const auto wanted = [&](std::uint32_t pageIndex) {
      return pageIndex != 0 && (leaves.Contains(pageIndex) || free.Contains(pageIndex));
    };
    for (std::size_t f = 0; f < index.frames.size(); ++f) {
      const WalFrame& frame = index.frames[f];
      const auto latest = index.latest.find(frame.pageIndex);
      if (latest != index.latest.end() && latest->second == f) continue;
      if (!wanted(frame.pageIndex) || wal.ReadFrame(frame, buffer) != kResultOk) continue;
      deliver(frame.pageIndex);
    }
    std::vector<std::uint32_t> replaced;
    for (const auto& [pageIndex, position] : index.latest) {
      if (wanted(pageIndex)) replaced.push_back(pageIndex);
    }
    std::sort(replaced.begin(), replaced.end());
    for (std::uint32_t pageIndex : replaced) {
      if (wal.ReadDatabasePage(pageIndex, buffer) != kResultOk) continue;
      deliver(pageIndex);
    }
  }

  // A freelist page that is (or leads to) table leaves whose first cell has the table's
  // column count is read like the table's own pages, every row counting as deleted. False
  // ends the scan.
  bool ScanFreePage(std::uint32_t index) {
    if (Read(index, page_) != kResultOk) return true;  // unreadable: skipped
    const std::uint8_t type = View(index, page_).Type();
    if (type == kLeafTablePage) {
      // Most freed pages are a leaf alone, read once: its rows, then its candidates.
      if (freeLeavesDone_.Contains(index) ||
          FirstCellColumnCount(View(index, page_)) != shape_().columnCount)
        return true;
      freeLeavesDone_.Insert(index);
      DeliverCells(index, true);
      std::vector<CarveOrigin> origins;
      const std::vector<std::uint32_t> found =
          FindCarveCandidates(View(index, page_), Shape(), &origins);
      DeliverCandidates(index, found, origins, true);
      return true;
    }
    if (type != kInteriorTablePage) return true;
    PageSet leaves(reader_.pageCount_);
    PageSet interiors(reader_.pageCount_);
    if (!Collect(index, false, leaves, &interiors)) return false;
    // A freed interior page and its freed leaves are all on the freelist: each page is
    // delivered once. Old leaf cells in a freed interior page's unused space are sought
    // whatever the width of the leaves under it.
    interiors.Remove(freeInteriorsDone_);
    freeInteriorsDone_.Add(interiors);
    DeliverInteriors(interiors, true);
    leaves.Remove(freeLeavesDone_);
    if (leaves.Empty()) return true;
    const std::uint32_t first = leaves.First();
    if (Read(first, page_) != kResultOk) return false;
    if (FirstCellColumnCount(View(first, page_)) != shape_().columnCount) return true;
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
  std::uint32_t rootPage_;
  std::string_view table_;
  const TableShapeSource& shape_;
  const RecordDecoder& decoder_;
  std::vector<std::uint8_t> page_;
  std::vector<std::uint8_t> walkPage_ = std::vector<std::uint8_t>(reader_.pageSize_);
  std::uint64_t budget_;
  const std::uint64_t budgetGiven_ = budget_;
  bool budgetReported_ = false;
  PageSet freeLeavesDone_{reader_.pageCount_};
  PageSet freeInteriorsDone_{reader_.pageCount_};
  Result last_ = kResultOk;
};

Result RawSqliteReader::ScanTable(std::string_view tableName, const TableShapeSource& shape,
                                  const RecordDecoder& decoder) {
  if (!source_ || !shape) return kResultInvalid;
  ResetOverflowBudget();
  return TableScan(*this, tableName, shape, decoder).Run();
}

Result RawSqliteReader::ScanTableAt(std::uint32_t rootPage, const TableShape& shape,
                                    const RecordDecoder& decoder) {
  if (!source_ || rootPage == 0) return kResultInvalid;
  ResetOverflowBudget();
  const TableShapeSource source = [&shape] { return shape; };
  return TableScan(*this, "page " + std::to_string(rootPage), source, decoder, rootPage).Run();
}

Result RawSqliteReader::ScanTable(std::string_view tableName, const TableShape& shape,
                                  const RecordDecoder& decoder) {
  return ScanTable(
      tableName, [&shape] { return shape; }, decoder);
}

}  // namespace kestrio
