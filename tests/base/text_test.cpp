#include "base/text.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "base/result.h"
#include "base/time_text.h"

namespace kestrio {
namespace {

TEST(Utf8, AcceptsWellFormedAndRejectsEveryIllFormedKind) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xE4\xBD\xA0\xE5\xA5\xBD \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));              // cut short
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));      // overlong, three bytes
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate U+D800
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\x80"));              // lone continuation byte
  EXPECT_FALSE(IsValidUtf8("\xFF"));
}

TEST(Utf8, LongAsciiRunsStillCatchAFaultAtAnyPlace) {
  // Long ASCII runs are checked a word at a time: a fault is found wherever it lies in or
  // after such a word, and a sequence cut by a word's end still reads.
  const std::string ascii(37, 'a');
  EXPECT_TRUE(IsCleanUtf8(ascii));
  for (std::size_t at = 0; at < ascii.size(); ++at) {
    std::string text = ascii;
    text[at] = '\xFF';
    EXPECT_FALSE(IsValidUtf8(text)) << at;
    text[at] = '\0';
    EXPECT_TRUE(IsValidUtf8(text)) << at;
    EXPECT_FALSE(IsCleanUtf8(text)) << at;
    text = ascii;
    text.replace(at, 1, "\xE2\x9C\x88");  // U+2708 across the word boundaries
    EXPECT_TRUE(IsCleanUtf8(text)) << at;
    text.erase(text.size() - 1);
    // Cut by the end of the text when it was the last character, whole otherwise.
    EXPECT_EQ(IsValidUtf8(text), at + 3 <= text.size()) << at;
  }
}

TEST(Utf8, SequenceLengthsAndTheBytesThatStartNone) {
  const std::string_view text = "a\xC3\xA9\xE2\x9C\x88\xF0\x9F\x98\x80\x80\xE2\x9C";
  EXPECT_EQ(Utf8SequenceLength(text, 0), 1u);
  EXPECT_EQ(Utf8SequenceLength(text, 1), 2u);
  EXPECT_EQ(Utf8SequenceLength(text, 3), 3u);
  EXPECT_EQ(Utf8SequenceLength(text, 6), 4u);
  EXPECT_EQ(Utf8SequenceLength(text, 2), 0u);   // a continuation byte
  EXPECT_EQ(Utf8SequenceLength(text, 10), 0u);  // a lone continuation byte
  EXPECT_EQ(Utf8SequenceLength(text, 11), 0u);  // cut by the end
  EXPECT_EQ(Utf8SequenceLength(text, text.size()), 0u);
}

// The sequence test, the validators and the repair agree on every lead byte outside ASCII
// followed by every second byte.
TEST(Utf8, SequenceTestAgreesWithTheRepairOnEveryTwoBytePrefix) {
  for (unsigned b0 = 0x80; b0 <= 0xFF; ++b0) {
    for (unsigned b1 = 0; b1 <= 0xFF; ++b1) {
      for (const char last : {'\x80', '\xBF'}) {
        const std::string text{static_cast<char>(b0), static_cast<char>(b1), last, last};
        const std::size_t n = Utf8SequenceLength(text, 0);
        const std::string repaired = ToValidUtf8(text);
        if (n == 0) {
          EXPECT_EQ(repaired.substr(0, 3), "\xEF\xBF\xBD") << b0 << " " << b1;
        } else {
          EXPECT_EQ(repaired.substr(0, n), text.substr(0, n)) << b0 << " " << b1;
        }
        EXPECT_EQ(IsValidUtf8(text), repaired == text) << b0 << " " << b1;
      }
    }
  }
}

TEST(Utf8, CleanTextHasNoNulAndNoReplacementCharacter) {
  EXPECT_TRUE(IsCleanUtf8("hello"));
  EXPECT_FALSE(IsCleanUtf8(std::string_view("he\0llo", 6)));
  EXPECT_FALSE(IsCleanUtf8("bad \xEF\xBF\xBD here"));
  EXPECT_TRUE(IsValidUtf8("bad \xEF\xBF\xBD here"));
  EXPECT_FALSE(IsCleanUtf8("\xC3"));
}

TEST(Utf8, RepairReplacesEachBadByteAndKeepsGoodText) {
  EXPECT_EQ(ToValidUtf8("a\xFF"
                        "b\xC3"),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(ToValidUtf8("\xE4\xBD\xA0"), "\xE4\xBD\xA0");
  EXPECT_EQ(Utf8Length("\xE4\xBD\xA0\xE5\xA5\xBD!"), 3u);
}

TEST(CaseInsensitive, FoldsAsciiOnly) {
  EXPECT_TRUE(EqualsIgnoreCase("ABPersonFullTextSearch_content", "abpersonfulltextsearch_CONTENT"));
  EXPECT_FALSE(EqualsIgnoreCase("message", "messages"));
  EXPECT_LT(CompareIgnoreCase("alice", "Bob"), 0);
  EXPECT_GT(CompareIgnoreCase("bob", "Alice"), 0);
  EXPECT_LT(CompareIgnoreCase("Al", "alice"), 0);
  EXPECT_EQ(CompareIgnoreCase("\xC3\x89", "\xC3\x89"), 0);
}

class TimeTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    saved_ = old ? old : "";
    hadTz_ = old != nullptr;
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  std::string saved_;
  bool hadTz_ = false;
};

TEST_F(TimeTextTest, AppleEpochIsTheStartOf2001InUtc) {
  UseZone("UTC");
  EXPECT_EQ(AppleTimeText(0), "2001-01-01 00:00:00");
  EXPECT_EQ(UnixTimeText(0), "1970-01-01 00:00:00");
  EXPECT_EQ(AppleTimeText(-1), "2000-12-31 23:59:59");
}

// Shifting the year of broken-down time would print these a day early; the exact conversion
// keeps 1 March a day after 29 February in a leap year.
TEST_F(TimeTextTest, DatesAroundLeapDaysAreExact) {
  UseZone("UTC");
  // 2004-03-01 00:00:00 UTC is Unix 1078099200.
  EXPECT_EQ(AppleTimeText(1078099200 - kAppleEpochOffset), "2004-03-01 00:00:00");
  // 2003-03-01 12:00:00 UTC is Unix 1046520000.
  EXPECT_EQ(AppleTimeText(1046520000 - kAppleEpochOffset), "2003-03-01 12:00:00");
  // 2024-02-29 23:59:59 UTC is Unix 1709251199.
  EXPECT_EQ(AppleTimeText(1709251199 - kAppleEpochOffset), "2024-02-29 23:59:59");
}

TEST_F(TimeTextTest, LocalTimeFollowsDaylightSaving) {
  UseZone("Europe/Berlin");
  // 2021-07-01 12:00:00 UTC is 14:00 in summer time; 2021-01-01 12:00:00 UTC is 13:00.
  EXPECT_EQ(UnixTimeText(1625140800), "2021-07-01 14:00:00");
  EXPECT_EQ(UnixTimeText(1609502400), "2021-01-01 13:00:00");
}

TEST_F(TimeTextTest, ValuesOutsideFourDigitYearsGiveEmptyText) {
  UseZone("UTC");
  EXPECT_EQ(AppleTimeText(INT64_MAX), "");
  EXPECT_EQ(AppleTimeText(INT64_MIN), "");
  EXPECT_EQ(UnixTimeText(300000000000), "");
  EXPECT_EQ(UnixTimeText(253402128000), "9999-12-30 00:00:00");
}

TEST(ResultCodes, SystemErrorsNeverCollideWithOwnCodes) {
  EXPECT_EQ(SystemResult(ENOENT), kResultSystemBase + ENOENT);
  EXPECT_NE(SystemResult(ENOENT), kResultStopped);
  EXPECT_TRUE(IsSystemResult(SystemResult(EACCES)));
  EXPECT_FALSE(IsSystemResult(kResultInvalid));
  EXPECT_EQ(ResultText(SystemResult(ENOENT)), "No such file or directory");
  EXPECT_EQ(ResultText(kResultInvalid),
            "The input is missing, unreadable or not what was expected.");
  EXPECT_EQ(ResultName(SystemResult(ENOENT)), "kResultSystemBase+2");
  EXPECT_EQ(ResultName(kResultWrongPassword), "kResultWrongPassword");
  EXPECT_EQ(SystemResult(0), kResultSystemBase + EIO);
}

}  // namespace
}  // namespace kestrio
