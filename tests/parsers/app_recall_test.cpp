// Every app parser against generated databases of its real shape: live rows exact, deleted
// rows recovered as far as their bytes survive in the file (the census says where).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include "base/time_text.h"
#include "parsers/calls.h"
#include "parsers/chat_apps.h"
#include "parsers/notes.h"
#include "parsers/whatsapp.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

using fixtures::AppDbKind;

// What a parse returned, reduced to texts: per conversation key, the (text, deleted) pairs.
struct Found {
  std::map<std::string, std::vector<std::pair<std::string, bool>>> byKey;
  std::map<std::string, std::vector<std::string>> dates;
};

Result Parse(AppDbKind kind, const std::filesystem::path& path, Found& found) {
  switch (kind) {
    case AppDbKind::kCallHistory: {
      std::vector<CallRecord> calls;
      const Result r = ParseCallHistory(path, calls, false, path);
      for (const auto& c : calls) {
        found.byKey[""].emplace_back(c.number, c.deleted);
        found.dates[""].push_back(c.dateText);
      }
      return r;
    }
    case AppDbKind::kNotes: {
      std::vector<NoteRecord> notes;
      const Result r = ParseNotes(path, notes);
      // Carved note rows (read by column name, so carved too) keep their title only: the
      // body row they named lost its rowid when it was carved. They are no body texts.
      for (const auto& n : notes) {
        if (!n.body.empty() || !n.deleted) found.byKey[""].emplace_back(n.body, n.deleted);
      }
      return r;
    }
    case AppDbKind::kWhatsApp: {
      WhatsAppConversationMap chats;
      const Result r = ParseWhatsApp(path, chats);
      for (const auto& [session, messages] : chats) {
        for (const auto& m : messages) {
          found.byKey[std::to_string(session)].emplace_back(m.text, m.deleted);
          found.dates[std::to_string(session)].push_back(m.dateText.str());
        }
      }
      return r;
    }
    case AppDbKind::kQQ:
    case AppDbKind::kWeChat: {
      ChatAppConversationMap chats;
      const Result r = kind == AppDbKind::kQQ ? ParseQQ(path, chats) : ParseWeChat(path, chats);
      for (const auto& [key, messages] : chats) {
        for (const auto& m : messages) {
          found.byKey[key].emplace_back(m.text, m.deleted);
          found.dates[key].push_back(m.dateText);
        }
      }
      return r;
    }
  }
  return kResultInvalid;
}

class AppRecall : public ::testing::TestWithParam<std::tuple<AppDbKind, int>> {
 protected:
  void SetUp() override {
    setenv("TZ", "America/New_York", 1);
    tzset();
  }
};

TEST_P(AppRecall, LiveRowsExactDeletedRowsFoundWhereTheirBytesSurvive) {
  const auto [kind, pageSize] = GetParam();
  fixtures::TempDir dir;
  fixtures::AppDbOptions options;
  options.kind = kind;
  options.pageSize = pageSize;
  options.rowCount = pageSize == 1024 ? 300 : 900;
  options.seed = static_cast<std::uint32_t>(pageSize) + static_cast<std::uint32_t>(kind);
  const fixtures::AppDb db = fixtures::WriteAppDatabase(dir / "app.db", options);

  Found found;
  ASSERT_EQ(Parse(kind, db.path, found), kResultOk);
  const auto& main = found.byKey[db.conversation];

  std::map<std::string, const fixtures::AppRow*> model;
  for (const auto& row : db.rows) model[row.text] = &row;
  std::multiset<std::string> live;
  std::set<std::string> deleted;
  int unmatched = 0, liveCopies = 0;
  for (const auto& [text, isDeleted] : main) {
    auto it = model.find(text);
    if (!isDeleted) {
      ASSERT_NE(it, model.end()) << "live row not in the table: " << text;
      EXPECT_FALSE(it->second->deleted) << text;
      live.insert(text);
    } else if (it == model.end()) {
      ++unmatched;
    } else if (it->second->deleted) {
      deleted.insert(text);
    } else {
      ++liveCopies;
    }
  }
  // Chat apps keep what freelist pages hold apart from every conversation (one freed page
  // cannot be told to belong to one chat table rather than another).
  if (!db.smallConversation.empty()) {
    for (const auto& [text, isDeleted] : found.byKey[std::string(kUnknownChatKey)]) {
      auto it = model.find(text);
      if (it != model.end() && it->second->deleted) deleted.insert(text);
    }
  }
  std::size_t liveModel = 0;
  for (const auto& row : db.rows) {
    if (row.deleted) continue;
    ++liveModel;
    EXPECT_EQ(live.count(row.text), 1u)
        << "live row " << row.rowId << " read " << live.count(row.text) << " times";
  }
  EXPECT_EQ(live.size(), liveModel);

  // Deleted rows whose bytes survive somewhere the carving looks.
  int survivable = 0;
  for (const auto& trace : db.census.rows) survivable += trace.Found() ? 1 : 0;
  const int recovered = static_cast<int>(deleted.size());
  std::printf(
      "[ recall   ] %s %d: %d of %d deleted (%d with surviving bytes), %d unmatched, "
      "%d copies of live rows\n",
      std::string(fixtures::AppDbKindName(kind)).c_str(), pageSize, recovered, db.census.probed,
      survivable, unmatched, liveCopies);
  RecordProperty("recovered", recovered);
  RecordProperty("deleted", db.census.probed);
  EXPECT_GE(recovered * 100, survivable * 60) << "recall fell below 60 % of what survives";
  EXPECT_LE(unmatched, recovered / 4 + 2) << "carving returns too many broken texts";

  // Dates ascend where the parser sorts (notes keep their join order).
  for (const auto& [key, dates] : found.dates) {
    if (dates.size() > 2) {
      EXPECT_TRUE(std::is_sorted(dates.begin(), dates.end())) << key;
    }
  }
  // The two-row conversation stays in scan order; the dropped table's rows are found apart.
  if (!db.smallConversation.empty()) {
    const auto& small = found.byKey[db.smallConversation];
    ASSERT_EQ(small.size(), 2u);
    EXPECT_EQ(small[0].first, db.smallRows[0].text);
    EXPECT_EQ(small[1].first, db.smallRows[1].text);
    std::set<std::string> dropped;
    for (const auto& row : db.droppedRows) dropped.insert(row.text);
    int apart = 0;
    for (const auto& [text, isDeleted] : found.byKey[std::string(kUnknownChatKey)]) {
      EXPECT_TRUE(isDeleted);
      apart += dropped.count(text) ? 1 : 0;
    }
    EXPECT_GE(apart * 10, static_cast<int>(dropped.size()) * 9);
    for (const auto& [text, isDeleted] : main) EXPECT_EQ(dropped.count(text), 0u) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Apps, AppRecall,
    ::testing::Combine(::testing::Values(AppDbKind::kCallHistory, AppDbKind::kNotes,
                                         AppDbKind::kWhatsApp, AppDbKind::kQQ, AppDbKind::kWeChat),
                       ::testing::Values(1024, 4096)),
    [](const auto& info) {
      return std::string(fixtures::AppDbKindName(std::get<0>(info.param))) + "_" +
             std::to_string(std::get<1>(info.param));
    });

}  // namespace
}  // namespace kestrio
