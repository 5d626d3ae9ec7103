#include "base/chunked_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace kestrio {
namespace {

// Counts the live instances, so that every element is destroyed exactly once.
struct Counted {
  explicit Counted(int v, int* live) : value(v), live(live) { ++*live; }
  Counted(Counted&& other) noexcept : value(other.value), live(other.live) { ++*live; }
  Counted& operator=(Counted&&) = default;
  ~Counted() { --*live; }
  int value;
  int* live;
};

TEST(ChunkedList, GrowsAcrossBlocksWithoutMovingElements) {
  ChunkedList<std::string> list;
  const std::size_t count = 2 * ChunkedList<std::string>::kChunkElements + 3;
  const std::string* first = &list.emplace_back("a string too long for the small buffer 0");
  for (std::size_t i = 1; i < count; ++i) list.emplace_back("element " + std::to_string(i));
  ASSERT_EQ(list.size(), count);
  EXPECT_EQ(&list[0], first);  // growth never moves an element
  EXPECT_EQ(list[ChunkedList<std::string>::kChunkElements], "element 4096");
  EXPECT_EQ(list.back(), "element " + std::to_string(count - 1));
  // Iteration visits every element in order.
  std::size_t seen = 0;
  for (const std::string& s : list) {
    if (seen > 0) {
      EXPECT_EQ(s, "element " + std::to_string(seen));
    }
    ++seen;
  }
  EXPECT_EQ(seen, count);
  EXPECT_TRUE(std::any_of(list.begin(), list.end(),
                          [](const std::string& s) { return s == "element 8192"; }));
}

TEST(ChunkedList, EveryElementIsDestroyedOnceWhateverEmptiesTheList) {
  int live = 0;
  const std::size_t perChunk = ChunkedList<Counted>::kChunkElements;
  {
    ChunkedList<Counted> list;
    for (std::size_t i = 0; i < perChunk + 1; ++i) list.emplace_back(static_cast<int>(i), &live);
    EXPECT_EQ(live, static_cast<int>(perChunk + 1));
    // Popping across a block boundary: the block emptied is released, the rest stays usable.
    list.pop_back();
    list.pop_back();
    EXPECT_EQ(list.back().value, static_cast<int>(perChunk - 2));
    list.emplace_back(-1, &live);
    list.emplace_back(-2, &live);
    EXPECT_EQ(list[perChunk].value, -2);
    list.truncate(10);
    EXPECT_EQ(live, 10);
    list.truncate(20);  // longer than the list: nothing happens
    EXPECT_EQ(list.size(), 10u);

    ChunkedList<Counted> moved(std::move(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(moved.size(), 10u);
    ChunkedList<Counted> other;
    other.emplace_back(7, &live);
    other = std::move(moved);  // the element `other` held goes
    EXPECT_EQ(live, 10);
    EXPECT_EQ(other[9].value, 9);
  }
  EXPECT_EQ(live, 0);
}

TEST(ChunkedList, LargeElementsGetBlocksOfAtLeastOne) {
  struct Big {
    char bytes[3 << 20];
  };
  EXPECT_EQ(ChunkedList<Big>::kChunkElements, 1u);
  auto list = std::make_unique<ChunkedList<Big>>();
  list->emplace_back().bytes[(3 << 20) - 1] = 'x';
  list->emplace_back().bytes[0] = 'y';
  EXPECT_EQ((*list)[0].bytes[(3 << 20) - 1], 'x');
  EXPECT_EQ(list->back().bytes[0], 'y');
}

}  // namespace
}  // namespace kestrio
