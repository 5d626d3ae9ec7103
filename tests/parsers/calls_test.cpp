#include "parsers/calls.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <set>

#include "base/time_text.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

class CallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
  }
};

// An address book with one contact per (name, phone text). Backups of the newer layout have
// one more column before the phone column (25 columns, phone at 17).
void WriteBook(const std::filesystem::path& path,
               const std::vector<std::pair<std::string, std::string>>& people, bool newer = false) {
  const int count = newer ? 25 : 24;
  const int phone = newer ? 17 : 16;
  std::string columns = "docid INTEGER PRIMARY KEY";
  for (int i = 1; i < count; ++i) columns += ", c" + std::to_string(i);
  std::string sql = "CREATE TABLE ABPersonFullTextSearch_content (" + columns + ");";
  int id = 1;
  for (const auto& [name, phones] : people) {
    std::string values = std::to_string(id++) + ", '" + name + "', NULL";
    for (int c = 3; c < count; ++c) values += c == phone ? ", '" + phones + "'" : ", NULL";
    sql += "INSERT INTO ABPersonFullTextSearch_content VALUES (" + values + ");";
  }
  testing::ExecSql(path, sql);
}

struct StoredCall {
  int id;
  bool originated;
  double date;  // Apple seconds
  double duration;
  std::string number;
};

// A Core Data call store: ZCALLRECORD with ZORIGINATED at 10, ZDATE 12, ZDURATION 13 and
// ZADDRESS at 20, or at 21 when the newer layout's extra column comes before it.
void WriteCallStore(const std::filesystem::path& path, bool newer,
                    const std::vector<StoredCall>& calls, const std::string& after) {
  std::vector<std::string> names = {"Z_PK INTEGER PRIMARY KEY",
                                    "Z_ENT",
                                    "Z_OPT",
                                    "ZANSWERED",
                                    "ZCALLTYPE",
                                    "ZDISCONNECTED_CAUSE",
                                    "ZFACE_TIME_DATA",
                                    "ZHANDLE_TYPE",
                                    "ZNUMBER_AVAILABILITY",
                                    "ZREAD",
                                    "ZORIGINATED",
                                    "ZVERIFICATION_STATUS",
                                    "ZDATE REAL",
                                    "ZDURATION REAL",
                                    "ZDEVICE_ID",
                                    "ZISO_COUNTRY_CODE",
                                    "ZLOCATION",
                                    "ZNAME",
                                    "ZUNIQUE_ID",
                                    "ZSERVICE_PROVIDER"};
  if (newer) names.push_back("ZJUNKCONFIDENCE");
  names.push_back("ZADDRESS");
  names.push_back("ZPARTICIPANT_GROUP_UUID");
  std::string columns;
  for (const auto& n : names) columns += (columns.empty() ? "" : ", ") + n;
  std::string sql = "PRAGMA page_size=1024; CREATE TABLE ZCALLRECORD (" + columns + "); BEGIN;";
  for (const StoredCall& c : calls) {
    std::string v = std::to_string(c.id) + ", 2, 1, 1, 1, 0, NULL, 2, 0, 1, " +
                    (c.originated ? "1" : "0") + ", 0, " + std::to_string(c.date) + ", " +
                    std::to_string(c.duration) + ", NULL, 'jp', 'Tokyo', NULL, " +
                    "'0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0', 'com.apple.Telephony'";
    if (newer) v += ", 0";
    v += ", '" + c.number + "', NULL";
    sql += "INSERT INTO ZCALLRECORD VALUES (" + v + ");";
  }
  testing::ExecSql(path, sql + "COMMIT;" + after);
}

std::vector<StoredCall> ManyCalls(int count) {
  std::vector<StoredCall> calls;
  for (int i = 1; i <= count; ++i) {
    calls.push_back({i, i % 3 == 0, 650000000.0 + i * 3600.75, i % 5 == 0 ? 0.0 : i * 7.9,
                     "+8190" + std::to_string(10000000 + i)});
  }
  return calls;
}

class CallStoreLayout : public CallsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CallStoreLayout, LiveCallsExactNamedSortedAndDeletedOnesRecovered) {
  const bool newer = GetParam();
  fixtures::TempDir dir;
  const std::vector<StoredCall> stored = ManyCalls(200);
  WriteCallStore(dir / "calls.db", newer, stored, "DELETE FROM ZCALLRECORD WHERE Z_PK % 6 = 1;");
  WriteBook(dir / "ab.db", {{"Hana", "0000000 " + stored[41].number + " "}}, newer);

  std::vector<CallRecord> calls;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, newer, dir / "calls.db"), kResultOk);
  std::map<std::string, const CallRecord*> live;
  std::set<std::string> deleted;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (i > 0) {
      EXPECT_LE(calls[i - 1].dateText, calls[i].dateText);
    }
    if (calls[i].deleted) {
      deleted.insert(calls[i].number);
    } else {
      EXPECT_TRUE(live.emplace(calls[i].number, &calls[i]).second);
    }
  }
  int deletedCount = 0, recovered = 0;
  for (const StoredCall& c : stored) {
    if (c.id % 6 == 1) {
      ++deletedCount;
      recovered += deleted.count(c.number) ? 1 : 0;
      continue;
    }
    auto it = live.find(c.number);
    ASSERT_NE(it, live.end()) << c.number;
    const CallRecord& call = *it->second;
    EXPECT_EQ(call.isIncoming, !c.originated);
    EXPECT_EQ(call.durationSeconds, static_cast<std::int32_t>(c.duration));
    EXPECT_EQ(call.dateText, AppleTimeText(static_cast<std::int64_t>(c.date)));
    EXPECT_EQ(call.contactName, c.id == 42 ? "Hana" : "");
  }
  EXPECT_EQ(live.size(), stored.size() - deletedCount);
  std::printf("deleted calls recovered: %d of %d (%s layout)\n", recovered, deletedCount,
              newer ? "newer" : "older");
  EXPECT_GE(recovered * 2, deletedCount);
}

INSTANTIATE_TEST_SUITE_P(Layouts, CallStoreLayout, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Newer" : "Older"; });

TEST_F(CallsTest, ShortNumbersGetNoNameAndBadDatesDropTheCall) {
  fixtures::TempDir dir;
  WriteCallStore(dir / "calls.db", false,
                 {{1, false, 650000000.0, 10, "611"},
                  {2, true, 650000100.0, 0, "+819012345678"},
                  {3, true, 650000100.0, 5, "+819087654321"},
                  {4, false, 1e300, 5, "+819011112222"}},  // no printable date: dropped
                 "");
  WriteBook(dir / "ab.db", {{"Carrier", "611 +819012345678 "}});
  std::vector<CallRecord> calls;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "calls.db"), kResultOk);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].number, "611");
  EXPECT_EQ(calls[0].contactName, "");  // 4 characters or fewer never get a name
  EXPECT_TRUE(calls[0].isIncoming);
  // Equal dates keep their scan order.
  EXPECT_EQ(calls[1].number, "+819012345678");
  EXPECT_EQ(calls[1].contactName, "Carrier");
  EXPECT_FALSE(calls[1].isIncoming);
  EXPECT_EQ(calls[1].durationSeconds, 0);
  EXPECT_EQ(calls[2].number, "+819087654321");
}

// The older database: the real 13-column "call" table with Unix dates and direction flags.
TEST_F(CallsTest, OlderCallTableIsReadAtItsOwnColumns) {
  fixtures::TempDir dir;
  std::string sql =
      "PRAGMA page_size=1024; CREATE TABLE call (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
      "address TEXT, date INTEGER, duration INTEGER, flags INTEGER, id INTEGER, name TEXT, "
      "country_code TEXT, network_code TEXT, read INTEGER, assisted INTEGER, face_time_data "
      "BLOB, originalAddress TEXT); BEGIN;";
  for (int i = 1; i <= 60; ++i) {
    sql += "INSERT INTO call VALUES (" + std::to_string(i) + ", '+4930" +
           std::to_string(1000000 + i) + "', " + std::to_string(1300000000 + i * 86400) + ", " +
           std::to_string(i * 3) + ", " + (i % 2 ? "5" : "4") +
           ", -1, NULL, '262', '01', 1, 0, NULL, NULL);";
  }
  sql += "COMMIT; DELETE FROM call WHERE ROWID IN (10, 20, 30);";
  testing::ExecSql(dir / "call_history.db", sql);
  WriteBook(dir / "ab.db", {{"Jonas", "+49301000007 "}});
  std::vector<CallRecord> calls;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "call_history.db"), kResultOk);
  int live = 0, deleted = 0;
  for (const CallRecord& call : calls) {
    ASSERT_EQ(call.number.substr(0, 5), "+4930");
    const int i = std::stoi(call.number.substr(5)) - 1000000;
    EXPECT_EQ(call.dateText, UnixTimeText(1300000000 + i * 86400));
    EXPECT_EQ(call.durationSeconds, i * 3);
    EXPECT_EQ(call.isIncoming, i % 2 == 0);  // flags 4 incoming, 5 outgoing
    EXPECT_EQ(call.contactName, i == 7 ? "Jonas" : "");
    (call.deleted ? deleted : live) += 1;
  }
  EXPECT_EQ(live, 57);
  EXPECT_GE(deleted, 2);
}

TEST_F(CallsTest, FailuresKeepWhatWasReadAndNeverWriteTheFile) {
  fixtures::TempDir dir;
  std::vector<CallRecord> calls;
  EXPECT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "none.db"), SQLITE_CANTOPEN);
  EXPECT_FALSE(std::filesystem::exists(dir / "none.db"));
  testing::WriteBytes(dir / "text.db", std::vector<std::uint8_t>(2048, 'x'));
  EXPECT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "text.db"), kResultInvalid);
  EXPECT_TRUE(calls.empty());

  WriteCallStore(
      dir / "calls.db", false,
      {{1, false, 650000200.0, 10, "+819011110001"}, {2, false, 650000100.0, 10, "+819011110002"}},
      "");
  // Without an address book the calls stay as scanned: unnamed, in scan order.
  EXPECT_EQ(ParseCallHistory(dir / "missing-ab.db", calls, false, dir / "calls.db"),
            kResultSystemBase + ENOENT);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].number, "+819011110001");
}

}  // namespace
}  // namespace kestrio
