#include "parsers/calls.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <set>

#include "base/time_text.h"
#include "tests/fixtures/call_chat_stores.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

class CallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
  }
};

// An address book with one contact per (name, phone text): the 24-column content table.
void WriteBook(const std::filesystem::path& path,
               const std::vector<std::pair<std::string, std::string>>& people) {
  constexpr int kColumns = 24, kPhone = 16;
  std::string columns = "docid INTEGER PRIMARY KEY";
  for (int i = 1; i < kColumns; ++i) columns += ", c" + std::to_string(i);
  std::string sql = "CREATE TABLE ABPersonFullTextSearch_content (" + columns + ");";
  int id = 1;
  for (const auto& [name, phones] : people) {
    std::string values = std::to_string(id++) + ", '" + name + "', NULL";
    for (int c = 3; c < kColumns; ++c) values += c == kPhone ? ", '" + phones + "'" : ", NULL";
    sql += "INSERT INTO ABPersonFullTextSearch_content VALUES (" + values + ");";
  }
  testing::ExecSql(path, sql);
}

CallKind ExpectedKind(const fx::StoredCall& call) {
  switch (call.callType) {
    case fx::kCallTypeFaceTimeAudio:
      return CallKind::kFaceTimeAudio;
    case fx::kCallTypeFaceTimeVideo:
      return CallKind::kFaceTimeVideo;
    case fx::kCallTypeOtherApp:
      return CallKind::kOtherApp;
    default:
      return CallKind::kPhone;
  }
}

bool Has(const std::vector<Finding>& findings, std::string_view text) {
  for (const Finding& f : findings) {
    if (f.why.find(text) != std::string::npos) return true;
  }
  return false;
}

class CallStoreLayouts : public CallsTest,
                         public ::testing::WithParamInterface<fx::CallStoreLayout> {};

// Each layout against its truth: every live call exact, deleted ones recovered as far as
// their bytes survive, and no carved call that is not one of the deleted calls.
TEST_P(CallStoreLayouts, LiveCallsExactAndDeletedOnesRecovered) {
  fx::TempDir dir;
  fx::CallStoreOptions options;
  options.layout = GetParam();
  options.callCount = 160;
  const fx::CallStoreDb store = fx::WriteCallStore(dir / "CallHistory.storedata", options);
  // A contact whose name wins over the store's ZNAME.
  const fx::StoredCall* named = nullptr;
  for (const fx::StoredCall& c : store.calls) {
    if (!c.deleted && !c.name.empty() && c.address.starts_with("+")) named = &c;
  }
  ASSERT_NE(named, nullptr);
  WriteBook(dir / "ab.db", {{"Kenji", "0000000 " + named->address + " "}});

  std::vector<CallRecord> calls;
  FindingsList findings;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, true, store.path, &findings), kResultOk);
  EXPECT_TRUE(findings.Snapshot().empty()) << FindingLine(findings.Snapshot().front());

  std::map<std::string, const fx::StoredCall*> byAddress;
  for (const fx::StoredCall& c : store.calls) byAddress[c.address] = &c;
  int live = 0, deleted = 0, kinds = 0, missed = 0, otherApps = 0;
  std::set<std::string> seenLive, seenDeleted;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const CallRecord& call = calls[i];
    if (i > 0) {
      EXPECT_LE(calls[i - 1].dateText, call.dateText);
    }
    const auto it = byAddress.find(call.number);
    ASSERT_NE(it, byAddress.end()) << "a call that was never stored: " << call.number;
    const fx::StoredCall& truth = *it->second;
    SCOPED_TRACE(truth.address);
    EXPECT_EQ(call.deleted, truth.deleted);
    (call.deleted ? seenDeleted : seenLive).insert(call.number);
    // Carved calls are held to the same truth as live ones.
    EXPECT_EQ(call.dateText, UnixTimeText(truth.unixDate));
    EXPECT_EQ(call.isIncoming, !truth.originated);
    EXPECT_EQ(call.answered, truth.answered);
    EXPECT_EQ(call.durationSeconds, truth.duration);
    EXPECT_EQ(call.kind, ExpectedKind(truth));
    EXPECT_EQ(call.app, truth.callType == fx::kCallTypeOtherApp ? truth.serviceProvider : "");
    EXPECT_EQ(call.contactName, &truth == named ? "Kenji" : truth.name);
    (call.deleted ? deleted : live) += 1;
    kinds += call.kind != CallKind::kPhone;
    missed += call.Missed();
    otherApps += call.kind == CallKind::kOtherApp;
  }
  EXPECT_EQ(live, store.LiveCount());
  EXPECT_EQ(seenLive.size(), static_cast<std::size_t>(live));  // each once
  EXPECT_EQ(seenDeleted.size(), static_cast<std::size_t>(deleted));
  EXPECT_GT(kinds, 0);
  EXPECT_GT(missed, 0);
  EXPECT_EQ(otherApps > 0, GetParam() != fx::CallStoreLayout::kIos9);
  const int surviving = store.census.probed - store.census.nowhere;
  std::printf("%s call store: live %d/%d, deleted %d/%d (%d with bytes left)\n",
              std::string(fx::CallStoreLayoutName(GetParam())).c_str(), live, store.LiveCount(),
              deleted, store.DeletedCount(), surviving);
  // The carver finds about four in five of the calls whose bytes survive in this store.
  EXPECT_GE(deleted * 4, surviving * 3);
}

INSTANTIATE_TEST_SUITE_P(Layouts, CallStoreLayouts,
                         ::testing::Values(fx::CallStoreLayout::kIos9, fx::CallStoreLayout::kIos11,
                                           fx::CallStoreLayout::kIos17),
                         [](const auto& info) {
                           return std::string(fx::CallStoreLayoutName(info.param));
                         });

// The store's own CREATE statement, then rows given as SQL values in its column order.
std::string StoreSql(fx::CallStoreLayout layout, const std::string& rows) {
  return "PRAGMA page_size=1024;" + fx::CallRecordTableSql(layout) + ";" + rows;
}

TEST_F(CallsTest, ShortNumbersGetNoNameAndBadDatesDropTheCall) {
  fx::TempDir dir;
  // iOS 9 columns: Z_PK, Z_ENT, Z_OPT, ZANSWERED, ZCALLTYPE, ZDISCONNECTED_CAUSE,
  // ZFACE_TIME_DATA, ZNUMBER_AVAILABILITY, ZORIGINATED, ZREAD, ZDATE, ZDURATION, ZDEVICE_ID,
  // ZISO_COUNTRY_CODE, ZLOCATION, ZNAME, ZUNIQUE_ID, ZADDRESS.
  auto row = [](int id, int answered, int originated, const std::string& date, double duration,
                const std::string& address) {
    return "INSERT INTO ZCALLRECORD VALUES (" + std::to_string(id) + ", 2, 1, " +
           std::to_string(answered) + ", 1, 0, NULL, 0, " + std::to_string(originated) + ", 1, " +
           date + ", " + std::to_string(duration) + ", NULL, 'jp', NULL, NULL, 'u" +
           std::to_string(id) + "', CAST('" + address + "' AS BLOB));";
  };
  testing::ExecSql(dir / "calls.db",
                   StoreSql(fx::CallStoreLayout::kIos9,
                            row(1, 0, 0, "650000000", 10, "611") +
                                row(2, 1, 1, "650000100.5", 0, "+819012345678") +
                                row(3, 1, 1, "650000100", 5, "+819087654321") +
                                row(4, 0, 0, "1e300", 5, "+819011112222") +  // no printable date
                                row(5, 1, 0, "'yesterday'", 5, "+819011113333")));  // a text
  WriteBook(dir / "ab.db", {{"Carrier", "611 +819012345678 "}});
  std::vector<CallRecord> calls;
  FindingsList findings;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "calls.db", &findings), kResultOk);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].number, "611");
  EXPECT_EQ(calls[0].contactName, "");  // 4 characters or fewer never get a name
  EXPECT_TRUE(calls[0].isIncoming);
  // Answered says missed, whatever the duration.
  EXPECT_TRUE(calls[0].Missed());
  EXPECT_EQ(calls[0].durationSeconds, 10);
  // Equal dates keep their scan order.
  EXPECT_EQ(calls[1].number, "+819012345678");
  EXPECT_EQ(calls[1].contactName, "Carrier");
  EXPECT_FALSE(calls[1].isIncoming);
  EXPECT_TRUE(calls[1].answered);
  EXPECT_EQ(calls[2].number, "+819087654321");
  const auto list = findings.Snapshot();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].why, "2 live rows without a readable date; left out");
}

TEST_F(CallsTest, HostileStoresEndCleanlyWithAFinding) {
  fx::TempDir dir;
  // A blob that is not UTF-8, a control character, and an empty address: live rows left out.
  const std::string rows =
      "INSERT INTO ZCALLRECORD (Z_PK, ZDATE, ZORIGINATED, ZADDRESS) VALUES "
      "(1, 650000000.5, 0, X'2B3831C0AF3132'), (2, 650000001, 0, X'2B38310A3132'), "
      "(3, 650000002, 1, ''), (4, 650000003, 1, '+8190 1234 5678');";
  testing::ExecSql(dir / "bad.db", StoreSql(fx::CallStoreLayout::kIos17, rows));
  std::vector<CallRecord> calls;
  FindingsList findings;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "bad.db", &findings),
            kResultSystemBase + ENOENT);  // no address book
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].number, "+8190 1234 5678");
  // No ZCALLTYPE value: the store does not say which kind.
  EXPECT_EQ(calls[0].kind, CallKind::kUnknown);
  EXPECT_TRUE(Has(findings.Snapshot(), "2 live rows with an address that is not readable text"));
  EXPECT_TRUE(Has(findings.Snapshot(), "1 live row without an address"));

  // A table without ZADDRESS: nothing to read a call by, and said so.
  testing::ExecSql(dir / "noaddress.db",
                   "CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZDATE TIMESTAMP, "
                   "ZDURATION FLOAT); INSERT INTO ZCALLRECORD VALUES (1, 650000000, 3);");
  calls.clear();
  findings.Clear();
  EXPECT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "noaddress.db", &findings),
            kResultSystemBase + ENOENT);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(Has(findings.Snapshot(), "has no column ZADDRESS; its calls cannot be read"));

  // SQLite, but neither call table.
  testing::ExecSql(dir / "other.db", "CREATE TABLE ZOTHER (x); INSERT INTO ZOTHER VALUES (1);");
  findings.Clear();
  EXPECT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "other.db", &findings),
            kResultLayoutUnknown);
  EXPECT_TRUE(Has(findings.Snapshot(), "no ZCALLRECORD or call table (layout not recognised)"));
}

// The older database: the real "call" table of iOS 7 (with `answered`) and of iOS 5 (eight
// columns), Unix dates, direction and FaceTime in flags.
TEST_F(CallsTest, OlderCallTablesAreReadByName) {
  fx::TempDir dir;
  std::string ios7 =
      "PRAGMA page_size=1024;" + fx::RealTableSql("ios9-call_history.db", "call") + "; BEGIN;";
  for (int i = 1; i <= 60; ++i) {
    const int flags = (i % 2 ? 5 : 4) | (i % 10 == 3 ? 16 : 0);
    const std::string answered = i % 6 == 0 ? "0" : i % 6 == 2 ? "DEFAULT" : "1";
    ios7 +=
        "INSERT INTO call (ROWID, address, date, duration, flags, id, name, country_code, "
        "network_code, read, assisted, face_time_data, originalAddress" +
        std::string(answered == "DEFAULT" ? "" : ", answered") + ") VALUES (" + std::to_string(i) +
        ", '+4930" + std::to_string(1000000 + i) + "', " + std::to_string(1300000000 + i * 86400) +
        ", " + std::to_string(i * 3) + ", " + std::to_string(flags) + ", -1, " +
        (i == 9 ? "'Oma'" : "NULL") + ", '262', '01', 1, 0, NULL, NULL" +
        (answered == "DEFAULT" ? "" : ", " + answered) + ");";
  }
  ios7 += "COMMIT; DELETE FROM call WHERE ROWID IN (10, 20, 30);";
  testing::ExecSql(dir / "call_history.db", ios7);
  WriteBook(dir / "ab.db", {{"Jonas", "+49301000007 "}});
  std::vector<CallRecord> calls;
  FindingsList findings;
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "call_history.db", &findings),
            kResultOk);
  EXPECT_TRUE(findings.Snapshot().empty());
  int live = 0, deleted = 0;
  for (const CallRecord& call : calls) {
    ASSERT_EQ(call.number.substr(0, 5), "+4930");
    const int i = std::stoi(call.number.substr(5)) - 1000000;
    SCOPED_TRACE(i);
    EXPECT_EQ(call.dateText, UnixTimeText(1300000000 + i * 86400));
    EXPECT_EQ(call.durationSeconds, i * 3);
    EXPECT_EQ(call.isIncoming, i % 2 == 0);  // flags 4 incoming, 5 outgoing
    EXPECT_EQ(call.answered, i % 6 != 0);    // the column's default is 1
    EXPECT_EQ(call.kind, i % 10 == 3 ? CallKind::kFaceTime : CallKind::kPhone);
    EXPECT_EQ(call.contactName, i == 7 ? "Jonas" : i == 9 ? "Oma" : "");
    (call.deleted ? deleted : live) += 1;
  }
  EXPECT_EQ(live, 57);
  EXPECT_GE(deleted, 2);

  // iOS 5: no `answered`, so a call with a duration was answered.
  testing::ExecSql(dir / "ios5.db",
                   fx::RealTableSql("ios5-call_history.db", "call") +
                       "; INSERT INTO call VALUES (1, '+4930555001', 1300000000, 0, 4, -1, NULL, "
                       "'262'), (2, '+4930555002', 1300000100, 42, 4, -1, NULL, '262');");
  calls.clear();
  ASSERT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "ios5.db"), kResultOk);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].Missed());
  EXPECT_TRUE(calls[1].answered);
  EXPECT_EQ(calls[1].durationSeconds, 42);
}

TEST_F(CallsTest, FailuresKeepWhatWasReadAndNeverWriteTheFile) {
  fx::TempDir dir;
  std::vector<CallRecord> calls;
  EXPECT_NE(ParseCallHistory(dir / "ab.db", calls, false, dir / "none.db"), kResultOk);
  EXPECT_FALSE(std::filesystem::exists(dir / "none.db"));
  testing::WriteBytes(dir / "text.db", std::vector<std::uint8_t>(2048, 'x'));
  EXPECT_EQ(ParseCallHistory(dir / "ab.db", calls, false, dir / "text.db"), kResultInvalid);
  EXPECT_TRUE(calls.empty());

  testing::ExecSql(
      dir / "calls.db",
      StoreSql(fx::CallStoreLayout::kIos11,
               "INSERT INTO ZCALLRECORD (Z_PK, ZDATE, ZADDRESS) VALUES "
               "(1, 650000200.0, '+819011110001'), (2, 650000100.0, '+819011110002');"));
  // Without an address book the calls stay as scanned: unnamed, in scan order.
  EXPECT_EQ(ParseCallHistory(dir / "missing-ab.db", calls, false, dir / "calls.db"),
            kResultSystemBase + ENOENT);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].number, "+819011110001");
}

TEST(CallKindText, NamesTheKindOrTheApp) {
  CallRecord call;
  EXPECT_EQ(CallKindText(call), "Phone");
  call.kind = CallKind::kFaceTimeVideo;
  EXPECT_EQ(CallKindText(call), "FaceTime Video");
  call.kind = CallKind::kOtherApp;
  EXPECT_EQ(CallKindText(call), "Other app");
  call.app = "net.whatsapp.WhatsApp";
  EXPECT_EQ(CallKindText(call), "net.whatsapp.WhatsApp");
  EXPECT_EQ(CallKindToken(CallKind::kFaceTimeAudio), "faceTimeAudio");
}

}  // namespace
}  // namespace kestrio
