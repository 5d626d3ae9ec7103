#include "parsers/table_shapes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/sql.h"

namespace kestrio {
namespace {

TEST(TableColumnCount, KnownTablesPrefixesAndLearnedCounts) {
  LearnedLayout learned;
  EXPECT_EQ(TableColumnCount("handle", learned), 5u);
  EXPECT_EQ(TableColumnCount("HANDLE", learned), 5u);
  EXPECT_EQ(TableColumnCount("message_attachment_join", learned), 2u);
  EXPECT_EQ(TableColumnCount("ZNOTE", learned), 19u);
  EXPECT_EQ(TableColumnCount("ZCALLRECORD", learned), 18u);  // iOS 9
  EXPECT_EQ(TableColumnCount("ZWAMESSAGE", learned), 34u);
  EXPECT_EQ(TableColumnCount("Chat_0123abcd", learned), 9u);
  EXPECT_EQ(TableColumnCount("chat_0123abcd", learned), 0u);  // prefixes compare exactly
  EXPECT_EQ(TableColumnCount("tb_c2cMsg_42", learned), 50u);
  EXPECT_EQ(TableColumnCount("unknown", learned), 0u);

  EXPECT_EQ(TableColumnCount("message", learned), 38u);
  learned.messageColumnCount = 51;
  EXPECT_EQ(TableColumnCount("message", learned), 51u);

  EXPECT_EQ(TableColumnCount("ABPersonFullTextSearch_content", learned), 24u);
  learned.contactIndexVariant = 25;
  EXPECT_EQ(TableColumnCount("ABPersonFullTextSearch_content", learned), 24u);
  learned.contactIndexVariant = 26;
  EXPECT_EQ(TableColumnCount("ABPersonFullTextSearch_content", learned), 25u);
  // A live row's own column count decides once one was seen.
  learned.contactColumnCount = 24;
  EXPECT_EQ(TableColumnCount("ABPersonFullTextSearch_content", learned), 24u);
  learned.contactIndexVariant = 25;
  learned.contactColumnCount = 25;
  EXPECT_EQ(TableColumnCount("ABPersonFullTextSearch_content", learned), 25u);
}

TEST(ShapeOf, FixedWidthsAndTheMessageGuid) {
  LearnedLayout learned;
  // Tables read by column name are carved with their schema's width; these are the widths
  // assumed without one.
  EXPECT_EQ(ShapeOf("call", learned).columnCount, 13u);
  EXPECT_EQ(ShapeOf("call", learned).learnedColumnCount, 13u);

  EXPECT_EQ(ShapeOf("message", learned).nonZeroBodyPrefix, 36u);
  EXPECT_EQ(ShapeOf("handle", learned).nonZeroBodyPrefix, 0u);
  EXPECT_EQ(ShapeOf("handle", learned).learnedColumnCount, 5u);
}

TEST(TableReader, LearnedValuesSurviveAnotherOpenAndTheScanNamesItsTable) {
  TableReader reader;
  reader.Learned().messageColumnCount = 51;
  EXPECT_NE(reader.OpenDatabase("/nonexistent/sms.db"), kResultOk);
  EXPECT_EQ(reader.TableColumnCount("message"), 51u);
  EXPECT_EQ(reader.ScanTable("handle", [](const RecordView&) { return kResultOk; }),
            kResultInvalid);
  EXPECT_EQ(reader.CurrentTable(), "handle");
  EXPECT_EQ(reader.CurrentShape().columnCount, 5u);
}

// The copy filter over a table of more rows than its signature set first holds: freed
// copies of live rows (values after column 0 equal) are held back, however many live rows
// came before; freed rows of their own values come through, each once.
TEST(TableReader, FreedCopiesOfLiveRowsAreHeldBackInALargeTable) {
  fixtures::TempDir dir;
  std::string sql =
      "PRAGMA page_size=1024; CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT); BEGIN;";
  // Rows 1001 to 2000 repeat rows 1 to 1000; rows 2001 to 2100 are their own.
  for (int i = 1; i <= 2100; ++i) {
    const int value = i > 1000 && i <= 2000 ? i - 1000 : i;
    sql += "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + (i > 2000 ? "gone-" : "value-") +
           std::to_string(value) + "-" + std::string(30, 'x') + "', 'b');";
  }
  // Scattered deletes leave each freed cell in a freeblock of its own.
  sql += "COMMIT; DELETE FROM t WHERE id > 1000 AND id % 7 = 3;";
  testing::ExecSql(dir / "t.db", sql);
  TableReader reader;
  ASSERT_EQ(reader.OpenDatabase(dir / "t.db"), kResultOk);
  ASSERT_NE(reader.Schema("t"), nullptr);
  int live = 0;
  std::map<std::string, int> deleted;
  DecodedRecord record;
  reader.ScanTable("t", [&](const RecordView& view) {
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    const FieldValue a = reader.CurrentSchema()->Field(record, 1, view.carved);
    if (a.kind != FieldValue::Kind::kText) return kResultInvalid;
    if (view.deleted) {
      ++deleted[std::string(a.Text())];
    } else {
      ++live;
    }
    return kResultOk;
  });
  EXPECT_EQ(live, 2100 - 157);
  int own = 0;
  for (const auto& [text, times] : deleted) {
    EXPECT_FALSE(text.starts_with("value-")) << text << " copies a live row";
    EXPECT_EQ(times, 1) << text;
    if (text.starts_with("gone-")) ++own;
  }
  // A freeblock keeps all but the first bytes of a freed cell: nearly every one of the 14
  // is found.
  EXPECT_GE(own, 13);
}

}  // namespace
}  // namespace kestrio
