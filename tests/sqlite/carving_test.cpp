#include "sqlite/carving.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

namespace kestrio {
namespace {

using testing::PutBe16;

constexpr std::size_t kPage = 512;

// A leaf table page built byte by byte, for records of three columns:
// (rowid alias NULL, text, 1-byte integer).
class LeafPage {
 public:
  LeafPage() : bytes_(kPage, 0) {
    bytes_[0] = 13;
    PutBe16(bytes_, 5, kPage);  // empty content area
  }

  // Serial types and body of one record: types [0, text, 1] then the text and the integer.
  static std::vector<std::uint8_t> Record(const std::string& text, bool withHeaderSize) {
    std::vector<std::uint8_t> r;
    if (withHeaderSize) r.push_back(4);
    r.push_back(0);
    r.push_back(static_cast<std::uint8_t>(13 + 2 * text.size()));
    r.push_back(1);
    r.insert(r.end(), text.begin(), text.end());
    r.push_back(42);
    return r;
  }

  // A live cell at `off`: payload length, rowid, then the record with its header size.
  void Cell(std::size_t off, std::uint8_t rowId, const std::string& text) {
    const auto record = Record(text, true);
    bytes_[off] = static_cast<std::uint8_t>(record.size());
    bytes_[off + 1] = rowId;
    std::copy(record.begin(), record.end(), bytes_.begin() + off + 2);
    cells_.push_back(off);
  }

  // A freeblock at `off` of `size` bytes, linked to `next`, holding a freed record whose
  // header-size varint survived or not.
  void Freeblock(std::size_t off, std::size_t size, std::size_t next, const std::string& text,
                 bool headerSizeSurvived) {
    PutBe16(bytes_, off, static_cast<std::uint16_t>(next));
    PutBe16(bytes_, off + 2, static_cast<std::uint16_t>(size));
    const auto record = Record(text, headerSizeSurvived);
    std::copy(record.begin(), record.end(), bytes_.begin() + off + 4);
  }

  void FirstFreeblock(std::size_t off) { PutBe16(bytes_, 1, static_cast<std::uint16_t>(off)); }
  void StalePointer(std::size_t slot, std::size_t value) {
    PutBe16(bytes_, 8 + 2 * slot, static_cast<std::uint16_t>(value));
  }

  // Writes the cell count, the pointer array and the content start.
  BtreePage Finish() {
    PutBe16(bytes_, 3, static_cast<std::uint16_t>(cells_.size()));
    std::size_t low = kPage;
    for (std::size_t i = 0; i < cells_.size(); ++i) {
      PutBe16(bytes_, 8 + 2 * i, static_cast<std::uint16_t>(cells_[i]));
      low = std::min(low, cells_[i]);
    }
    PutBe16(bytes_, 5, static_cast<std::uint16_t>(low));
    return BtreePage{Bytes(bytes_), 0};
  }

  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> cells_;
};

CarveShape ThreeColumns() {
  CarveShape shape;
  shape.columnCount = 3;
  shape.learnedColumnCount = 3;
  shape.usableSize = kPage;
  return shape;
}

TEST(CellOffsets, OneCellListsTheContentStartAndNoneListsNothing) {
  LeafPage page;
  const BtreePage empty = page.Finish();
  EXPECT_TRUE(CellOffsets(empty).empty());

  LeafPage one;
  one.Cell(480, 1, "only");
  BtreePage view = one.Finish();
  // A pointer entry that disagrees with the content start: the content start wins.
  PutBe16(one.bytes(), 8, 100);
  EXPECT_EQ(CellOffsets(view), std::vector<std::uint32_t>{480});
}

// Pages below keep a live cell low on the page, so that the freeblocks lie inside the cell
// content area as they do in a real page, not in the unallocated gap.
TEST(FreeblockChain, FindsRecordsWithAndWithoutTheirHeaderSize) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Cell(150, 9, "low cell");
  page.Freeblock(300, 40, 400, "freed one", false);
  page.Freeblock(400, 40, 0, "freed two", true);
  page.FirstFreeblock(300);
  const auto found = FindCarveCandidates(page.Finish(), ThreeColumns());
  ASSERT_GE(found.size(), 2u);
  // Without its header size the run starts right after the 4-byte freeblock header; with it,
  // one byte later.
  EXPECT_EQ(found[0], 304u);
  EXPECT_EQ(found[1], 405u);
}

// One-byte payload length, rowid and header size and column 0's type all went under the
// freeblock header; column 1 is NULL, so the run left starts with a 0 too. Read as holding
// column 0's type it would take the value 42 for a serial type and overrun the block.
TEST(FreeblockChain, LeadingZeroIsColumnOnesWhenTheFullRunOverrunsTheBlock) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Cell(150, 9, "low cell");
  std::vector<std::uint8_t>& bytes = page.bytes();
  PutBe16(bytes, 300, 0);
  PutBe16(bytes, 302, 7);
  bytes[304] = 0;   // column 1: NULL
  bytes[305] = 1;   // column 2: 1-byte integer
  bytes[306] = 42;  // its value
  page.FirstFreeblock(300);
  std::vector<CarveOrigin> origins;
  const auto found = FindCarveCandidates(page.Finish(), ThreeColumns(), &origins);
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found[0], 304u);
  EXPECT_EQ(origins[0], CarveOrigin::kFreeblock);

  // When the shorter reading overruns the block too (a text of 18 bytes) nothing is taken.
  bytes[305] = 13 + 2 * 18;
  for (std::uint32_t off : FindCarveCandidates(page.Finish(), ThreeColumns())) {
    EXPECT_NE(off, 304u);
  }
}

TEST(FreeblockChain, BlockRunningPastThePageYieldsNothingButTheWalkGoesOn) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Cell(150, 9, "low cell");
  page.Freeblock(300, 40, 400, "freed one", false);
  page.Freeblock(400, 40, 0, "freed two", false);
  page.FirstFreeblock(300);
  PutBe16(page.bytes(), 302, 400);  // 300 + 400 > 512
  const auto found = FindCarveCandidates(page.Finish(), ThreeColumns());
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found[0], 404u);
  EXPECT_EQ(std::count(found.begin(), found.end(), 304u), 0);
}

TEST(FreeblockChain, ALoopingChainEnds) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Freeblock(300, 40, 400, "freed one", false);
  page.Freeblock(400, 40, 300, "freed two", false);  // back to the first
  page.FirstFreeblock(300);
  const auto found = FindCarveCandidates(page.Finish(), ThreeColumns());
  EXPECT_LE(found.size(), kPage);
}

TEST(FreeblockChain, HeaderEndingAtThePageEndIsReadNoFurther) {
  // A 4-byte freeblock in the last 4 bytes of the page: its header ends exactly at the page
  // end, so there is no record byte to look at (this once read one byte past the page).
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.FirstFreeblock(kPage - 4);
  PutBe16(page.bytes(), kPage - 4, 0);
  PutBe16(page.bytes(), kPage - 2, 4);
  const BtreePage view = page.Finish();
  ASSERT_EQ(view.bytes.size(), kPage);  // the buffer ends with the page: ASan sees any over-read
  for (std::uint32_t off : FindCarveCandidates(view, ThreeColumns())) EXPECT_LT(off, kPage - 4);
}

TEST(FreeblockChain, ARequiredNonZeroBodyPrefixMustBeWhole) {
  // A record whose body starts with a 36-byte identifier text (a guid).
  auto build = [](char fill) {
    LeafPage page;
    page.Cell(480, 1, "live text");
    page.Freeblock(300, 60, 0, std::string(36, 'G'), false);
    page.bytes()[300 + 4 + 3 + 10] = static_cast<std::uint8_t>(fill);
    page.FirstFreeblock(300);
    return page;
  };
  CarveShape shape = ThreeColumns();
  shape.nonZeroBodyPrefix = 36;
  LeafPage whole = build('G');
  const auto kept = FindCarveCandidates(whole.Finish(), shape);
  EXPECT_EQ(std::count(kept.begin(), kept.end(), 304u), 1);
  LeafPage holed = build('\0');
  const auto dropped = FindCarveCandidates(holed.Finish(), shape);
  EXPECT_EQ(std::count(dropped.begin(), dropped.end(), 304u), 0);
}

TEST(StalePointers, NearDuplicatesAreDroppedAndStopTheSearch) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Cell(150, 9, "low cell");
  page.Freeblock(300, 40, 0, "freed one", false);
  page.FirstFreeblock(300);
  page.Freeblock(200, 40, 0, "stale two", false);  // not chained: only a stale pointer names it
  BtreePage view = page.Finish();
  page.StalePointer(2, 300);  // the chained block again: within 6 bytes of its candidate
  page.StalePointer(3, 200);  // after the first drop nothing more is added
  auto found = FindCarveCandidates(view, ThreeColumns());
  EXPECT_EQ(std::count(found.begin(), found.end(), 304u), 1);
  EXPECT_EQ(std::count(found.begin(), found.end(), 204u), 0);

  page.StalePointer(2, 200);  // now the unchained block comes first and is found
  page.StalePointer(3, 0);
  found = FindCarveCandidates(view, ThreeColumns());
  EXPECT_EQ(std::count(found.begin(), found.end(), 204u), 1);
}

TEST(UnallocatedGap, IntactFreedCellBelowTheContentIsFound) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Cell(440, 2, "more text");
  BtreePage view = page.Finish();
  // A freed cell with its whole header just below the content start.
  const auto record = LeafPage::Record("gap record", true);
  const std::size_t at = 440 - 2 - record.size();
  page.bytes()[at] = static_cast<std::uint8_t>(record.size());
  page.bytes()[at + 1] = 3;
  std::copy(record.begin(), record.end(), page.bytes().begin() + at + 2);
  const auto found = FindCarveCandidates(view, ThreeColumns());
  // The serial types start after payload length, rowid and header size.
  EXPECT_EQ(std::count(found.begin(), found.end(), at + 3), 1);
}

// SQLite writes a freeblock header over a freed cell at the start of the content area
// before it moves the content start past it: the bytes start with the header (next 0, size
// up to the new content start), then the record's serial types.
TEST(UnallocatedGap, FreedTopCellUnderAFreeblockHeaderIsFoundAtItsSerialTypes) {
  LeafPage page;
  page.Cell(480, 1, "live text");
  page.Cell(440, 2, "more text");
  BtreePage view = page.Finish();
  const auto record = LeafPage::Record("top record", false);
  const std::size_t at = 440 - 4 - record.size() - 3;
  PutBe16(page.bytes(), at, 0);
  PutBe16(page.bytes(), at + 2, static_cast<std::uint16_t>(440 - at));
  std::copy(record.begin(), record.end(), page.bytes().begin() + at + 4);
  const auto found = FindCarveCandidates(view, ThreeColumns());
  EXPECT_EQ(std::count(found.begin(), found.end(), at + 4), 1);
  // Nothing lands inside the header or one to three bytes off the record.
  for (std::uint32_t off : found) EXPECT_FALSE(off > at + 4 && off <= at + 7) << off;
}

// A page given another use keeps its old cells: the sweep finds each whole cell of the
// width, the bytes between them notwithstanding, and stops at `end`.
TEST(WholeCells, OldCellsAreFoundAnywhereAndOnlyWhole) {
  LeafPage old;
  old.Cell(300, 1, "first old cell");
  old.Cell(340, 2, "second old cell");
  old.Cell(490, 3, "cut by the end");
  std::vector<std::uint8_t>& bytes = old.bytes();
  // Overwrite the page header the way a trunk's array does.
  for (std::size_t i = 0; i < 40; ++i) bytes[i] = static_cast<std::uint8_t>(0x80 | i);
  const auto found = FindWholeCells(Bytes(bytes), 8, 500, ThreeColumns());
  // Payload length, rowid and header size in front of each run.
  EXPECT_EQ(found, (std::vector<std::uint32_t>{303, 343}));
  EXPECT_TRUE(FindWholeCells(Bytes(bytes), 302, 500, ThreeColumns()).size() == 1);
  EXPECT_TRUE(FindWholeCells(Bytes(bytes), 8, 5000, ThreeColumns()).size() == 3);
  EXPECT_TRUE(FindWholeCells(Bytes(bytes), 600, 8, ThreeColumns()).empty());
  CarveShape four = ThreeColumns();
  four.columnCount = 4;
  EXPECT_TRUE(FindWholeCells(Bytes(bytes), 8, kPage, four).empty());
}

TEST(WholeCells, InteriorUnusedSpaceEndsAtTheContentOrThePage) {
  std::vector<std::uint8_t> bytes(kPage, 0);
  bytes[0] = 5;
  const BtreePage page{Bytes(bytes), 0};
  PutBe16(bytes, 3, 2);
  PutBe16(bytes, 5, 400);
  EXPECT_EQ(InteriorUnusedSpace(page).begin, 16u);
  EXPECT_EQ(InteriorUnusedSpace(page).end, 400u);
  PutBe16(bytes, 5, 0);  // 65,536: the page end
  EXPECT_EQ(InteriorUnusedSpace(page).end, kPage);
  PutBe16(bytes, 5, 0xFFFF);
  EXPECT_EQ(InteriorUnusedSpace(page).end, kPage);
  PutBe16(bytes, 3, kPage / 2 - 6);  // the array fills the page
  EXPECT_EQ(InteriorUnusedSpace(page).begin, InteriorUnusedSpace(page).end);
  PutBe16(bytes, 3, 0xFFFF);
  EXPECT_EQ(InteriorUnusedSpace(page).begin, InteriorUnusedSpace(page).end);
  PutBe16(bytes, 3, 1);
  PutBe16(bytes, 5, 10);  // content start inside the header
  EXPECT_EQ(InteriorUnusedSpace(page).begin, InteriorUnusedSpace(page).end);
  const BtreePage first{Bytes(bytes).first(108), 100};  // page 1 cut inside its header
  EXPECT_EQ(InteriorUnusedSpace(first).begin, InteriorUnusedSpace(first).end);
}

TEST(Searches, GarbagePagesNeverReadOutside) {
  // Pseudo-random pages of every byte pattern: the searches must stay inside (ASan watches).
  std::vector<std::uint8_t> bytes(kPage);
  std::uint32_t state = 12345;
  for (int round = 0; round < 300; ++round) {
    for (auto& b : bytes) {
      state = state * 1103515245 + 12345;
      b = static_cast<std::uint8_t>(state >> 16);
    }
    bytes[0] = 13;
    if (round % 3 == 0) std::fill(bytes.begin() + 8, bytes.begin() + 200, 0);
    if (round % 5 == 0) bytes[kPage - 1] = 0xFF;
    CarveShape shape = ThreeColumns();
    shape.columnCount = static_cast<std::uint32_t>(round % 60);
    shape.learnedColumnCount = static_cast<std::uint32_t>(round % 7);
    shape.nonZeroBodyPrefix = round % 2 == 0 ? 36 : 0;
    for (std::uint32_t off : FindCarveCandidates(BtreePage{Bytes(bytes), 0}, shape)) {
      EXPECT_LT(off, kPage);
    }
    bytes[0] = 5;
    const ByteRange unused = InteriorUnusedSpace(BtreePage{Bytes(bytes), 0});
    EXPECT_LE(unused.end, kPage);
    for (std::uint32_t off : FindWholeCells(Bytes(bytes), unused.begin, unused.end, shape)) {
      EXPECT_GE(off, unused.begin);
      EXPECT_LT(off, unused.end);
    }
    for (std::uint32_t off : FindWholeCells(Bytes(bytes), round, kPage + round, shape)) {
      EXPECT_LT(off, kPage);
    }
  }
}

}  // namespace
}  // namespace kestrio
