// What the scan's parsers report as deleted, held against the rows the fixtures wrote: every
// deleted row whose bytes survive is to be found (recall), every reported record is to be a
// row that existed (precision), no live row comes back as deleted, and the fields of a found
// row are its own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <map>

#include "base/time_text.h"
#include "parsers/calls.h"
#include "parsers/messages.h"
#include "parsers/notes.h"
#include "parsers/whatsapp.h"
#include "tests/fixtures/carving_census.h"

namespace kestrio {
namespace {

using fixtures::CarvingTally;

class CarvingRecall : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/New_York", 1);
    tzset();
  }

  // The figures every fixture must reach: `recall` of the recoverable rows (90 %), at most
  // 1 in 100 reported records garbage, no live copy, no wrong field.
  static void ExpectTrustworthy(const CarvingTally& tally, std::string_view name,
                                double recall = 0.90) {
    std::printf("[ carving  ] %s\n", tally.Summary(name).c_str());
    ASSERT_GT(tally.recoverable.size(), 10u) << name << ": the fixture deletes too little";
    EXPECT_GE(tally.Recall(), recall) << name;
    EXPECT_LE(tally.garbage * 100, tally.reported) << name;
    EXPECT_EQ(tally.liveCopies, 0) << name;
    EXPECT_EQ(tally.wrongFields, 0) << name;
  }
};

std::vector<MessageRecord> AllMessages(const std::filesystem::path& db,
                                       const std::filesystem::path& folder) {
  ConversationMap conversations;
  std::uint64_t highest = 0;
  EXPECT_EQ(ParseMessages({}, folder / "no-address-book", conversations, db, highest), kResultOk);
  std::vector<MessageRecord> out;
  for (auto& [key, list] : conversations) {
    for (MessageRecord& m : list) out.push_back(std::move(m));
  }
  return out;
}

CarvingTally TallyMessages(const fixtures::MessagesDb& db, const std::filesystem::path& folder) {
  CarvingTally tally;
  tally.recoverable = fixtures::Recoverable(db.census);
  // Short texts carry no rowid tag and may repeat: a record matches any row of its text.
  std::multimap<std::string, const fixtures::MessageRow*> byText;
  for (const auto& row : db.messages) {
    const std::string text = row.shownText.empty() ? row.text.value_or("") : row.shownText;
    if (!text.empty()) byText.emplace(text, &row);
  }
  for (const MessageRecord& m : AllMessages(db.path, folder)) {
    if (!m.deleted) continue;
    ++tally.reported;
    const auto [from, to] = byText.equal_range(m.text);
    if (from == to) {
      ++tally.garbage;
      continue;
    }
    const fixtures::MessageRow* deleted = nullptr;
    bool right = false;
    for (auto it = from; it != to; ++it) {
      const fixtures::MessageRow& row = *it->second;
      if (!row.deleted) continue;
      deleted = &row;
      const std::string date =
          AppleTimeText(row.dateInNanoseconds ? row.date / 1000000000 : row.date);
      // A carved record's fields are right or empty.
      right = right || ((m.dateText.empty() || m.dateText == date) && m.isFromMe == row.isFromMe &&
                        (m.handleId == 0 || m.handleId == row.handleId));
    }
    if (deleted == nullptr) {
      ++tally.liveCopies;
      continue;
    }
    tally.found.insert(deleted->rowId);
    if (!right) {
      ++tally.wrongFields;
      ADD_FAILURE() << "deleted message " << deleted->rowId << " \"" << m.text << "\" read as date "
                    << m.dateText << ", from me " << m.isFromMe << ", handle " << m.handleId;
    }
  }
  return tally;
}

struct MessagesCase {
  fixtures::MessagesLayout layout;
  int columns;
  bool nanoseconds;
  int pageSize;
};

class CarvedMessages : public CarvingRecall, public ::testing::WithParamInterface<MessagesCase> {};

TEST_P(CarvedMessages, DeletedMessagesFoundRightAndNothingElse) {
  const MessagesCase c = GetParam();
  fixtures::TempDir dir;
  fixtures::MessagesOptions options;
  options.layout = c.layout;
  options.messageColumns = c.columns;
  options.nanosecondDates = c.nanoseconds;
  options.pageSize = c.pageSize;
  options.messageCount = 600;
  const fixtures::MessagesDb db = fixtures::WriteMessagesDb(dir / "sms.db", options);
  ExpectTrustworthy(TallyMessages(db, dir.path()),
                    "messages " + (c.columns ? std::to_string(c.columns) + " columns" : "iOS 14") +
                        " page " + std::to_string(c.pageSize));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CarvedMessages,
    ::testing::Values(MessagesCase{fixtures::MessagesLayout::kSynthetic, 38, false, 4096},
                      MessagesCase{fixtures::MessagesLayout::kSynthetic, 51, true, 4096},
                      MessagesCase{fixtures::MessagesLayout::kSynthetic, 38, true, 1024},
                      MessagesCase{fixtures::MessagesLayout::kSynthetic, 51, false, 1024},
                      MessagesCase{fixtures::MessagesLayout::kIos14, 0, true, 4096}),
    [](const auto& info) {
      return (info.param.columns ? "Columns" + std::to_string(info.param.columns) : "Ios14") +
             "Page" + std::to_string(info.param.pageSize);
    });

TEST_F(CarvingRecall, LargeMessagesDatabase) {
  fixtures::TempDir dir;
  constexpr double kDeleted = 0.35;
  constexpr std::uint32_t kSeed = 5;
  const auto db = fixtures::WriteLargeMessagesDb(dir / "sms.db", 6u << 20, kDeleted, kSeed);
  CarvingTally tally;
  tally.recoverable = fixtures::RecoverableLargeMessages(db.path, kDeleted, kSeed);
  for (const MessageRecord& m : AllMessages(db.path, dir.path())) {
    if (!m.deleted) continue;
    ++tally.reported;
    const std::size_t tag = m.text.rfind("(#");
    const std::int64_t rowId = tag == std::string::npos ? 0 : std::atoll(m.text.c_str() + tag + 2);
    if (rowId <= 0 || rowId > db.messageCount ||
        fixtures::LargeMessageText(rowId, kSeed) != m.text) {
      ++tally.garbage;
    } else if (!fixtures::LargeMessageDeleted(rowId, kDeleted, kSeed)) {
      ++tally.liveCopies;
    } else {
      tally.found.insert(rowId);
    }
  }
  ExpectTrustworthy(tally, "large messages");
}

// Calls, notes and WhatsApp messages: the rows' texts are unique; dates are compared where the
// parse writes the live rows' dates as Unix times.
TEST_F(CarvingRecall, AppDatabases) {
  for (const auto kind : {fixtures::AppDbKind::kCallHistory, fixtures::AppDbKind::kNotes,
                          fixtures::AppDbKind::kWhatsApp}) {
    for (const int pageSize : {1024, 4096}) {
      fixtures::TempDir dir;
      fixtures::AppDbOptions options;
      options.kind = kind;
      options.pageSize = pageSize;
      options.rowCount = pageSize == 1024 ? 400 : 900;
      options.seed = 11 + static_cast<std::uint32_t>(pageSize);
      const fixtures::AppDb db = fixtures::WriteAppDatabase(dir / "app.db", options);
      struct Reported {
        std::string text, date;
        bool deleted;
      };
      std::vector<Reported> reported;
      if (kind == fixtures::AppDbKind::kCallHistory) {
        std::vector<CallRecord> calls;
        ASSERT_EQ(ParseCallHistory(db.path, calls, false, db.path), kResultOk);
        for (const auto& c : calls) reported.push_back({c.number, c.dateText, c.deleted});
      } else if (kind == fixtures::AppDbKind::kNotes) {
        std::vector<NoteRecord> notes;
        ASSERT_EQ(ParseNotes(db.path, notes), kResultOk);
        // A carved title row without its body is no body text (the body row is apart).
        for (const auto& n : notes) {
          if (!n.body.empty() || !n.deleted) reported.push_back({n.body, n.dateText, n.deleted});
        }
      } else {
        WhatsAppConversationMap chats;
        ASSERT_EQ(ParseWhatsApp(db.path, chats), kResultOk);
        for (const auto& [session, messages] : chats) {
          for (const auto& m : messages) reported.push_back({m.text, m.dateText.str(), m.deleted});
        }
      }
      std::map<std::string, const fixtures::AppRow*> byText;
      for (const auto& row : db.rows) byText.emplace(row.text, &row);
      for (const auto& row : db.smallRows) byText.emplace(row.text, &row);
      bool datesComparable = true;
      for (const Reported& r : reported) {
        const auto it = byText.find(r.text);
        if (!r.deleted && it != byText.end() && r.date != UnixTimeText(it->second->date))
          datesComparable = false;
      }
      CarvingTally tally;
      tally.recoverable = fixtures::Recoverable(db.census);
      for (const Reported& r : reported) {
        if (!r.deleted) continue;
        ++tally.reported;
        const auto it = byText.find(r.text);
        if (it == byText.end()) {
          ++tally.garbage;
        } else if (!it->second->deleted) {
          ++tally.liveCopies;
        } else {
          tally.found.insert(it->second->rowId);
          if (datesComparable && !r.date.empty() && r.date != UnixTimeText(it->second->date))
            ++tally.wrongFields;
        }
      }
      // The census also counts copies on freelist trunk pages (a freed leaf made a trunk) and
      // in the unused part of interior pages that were leaves before.
      ExpectTrustworthy(
          tally, std::string(fixtures::AppDbKindName(kind)) + " page " + std::to_string(pageSize));
    }
  }
}

}  // namespace
}  // namespace kestrio
