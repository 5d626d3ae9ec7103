#include "base/compact_text.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace kestrio {
namespace {

TEST(SharedText, CopiesShareOneTextThatOutlivesTheOriginal) {
  std::vector<SharedText> copies;
  {
    SharedText original(std::string("+15550109321"));
    for (int i = 0; i < 3; ++i) copies.push_back(original);
    SharedText moved(std::move(original));
    EXPECT_TRUE(original.empty());  // NOLINT: a moved-from text is empty
    EXPECT_TRUE(moved.SameAs(copies[0]));
  }
  for (const SharedText& copy : copies) EXPECT_EQ(copy, "+15550109321");
  EXPECT_STREQ(copies[2].c_str(), "+15550109321");
  const SharedText& same = copies[1];
  copies[1] = same;  // assigning a text to itself keeps it
  copies[0] = std::move(copies[2]);
  EXPECT_EQ(copies[0].view(), "+15550109321");
  EXPECT_EQ(copies[1].size(), 12u);

  // Texts with NULs inside keep them; the empty text owns nothing.
  const SharedText withNul(std::string_view("a\0b", 3));
  EXPECT_EQ(withNul.size(), 3u);
  EXPECT_STREQ(SharedText().c_str(), "");
  EXPECT_TRUE(SharedText("").empty());
}

TEST(SharedText, CopiedAndDroppedOnManyThreadsAtOnce) {
  // The count is shared by records copied on the scan's worker and the window's thread.
  const SharedText text("shared by threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&text] {
      for (int i = 0; i < 20000; ++i) {
        SharedText copy = text;
        SharedText other(std::move(copy));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(text, "shared by threads");
}

TEST(TextPool, HandsOutOneTextPerDistinctValue) {
  TextPool pool;
  const SharedText a = pool.Intern("ava@example.com");
  const SharedText b = pool.Intern(std::string("ava@example.com"));
  const SharedText c = pool.Intern("ben@example.com");
  EXPECT_TRUE(a.SameAs(b));
  EXPECT_FALSE(a.SameAs(c));
  EXPECT_TRUE(pool.Intern("").empty());
}

TEST(DateText, HoldsADateAndCutsLongTextsAtACharacterBoundary) {
  DateText date = std::string("2015-03-04 12:34:56");
  EXPECT_EQ(date, "2015-03-04 12:34:56");
  EXPECT_EQ(DateText(), "");
  // 22 ASCII bytes then a two-byte character that would end past the capacity of 23.
  const std::string longer = std::string(22, '1') + "\xC3\xA9" + "tail";
  date = longer;
  EXPECT_EQ(date.view(), std::string(22, '1'));
  date = std::string(40, '9');
  EXPECT_EQ(date.size(), DateText::kCapacity);
}

}  // namespace
}  // namespace kestrio
