#include "parsers/table_shapes.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrio
