#include "cli/json_writer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/json.h"

namespace kestrio::cli {
namespace {

// A document of `records` objects with texts that need every kind of escape.
void WriteDocument(JsonWriter& json, int records) {
  json.BeginObject().Field("count", records).Key("records").BeginArray();
  for (int i = 0; i < records; ++i) {
    json.BeginObject()
        .Field("id", i)
        .Field("text",
               "line \"" + std::to_string(i) + "\"\n\tta\\b \x01 Gr\xC3\xBC\xC3\x9F\xE2\x9C\x88")
        .Field("broken", std::string("a\xFF"
                                     "b\xC3"))
        .Field("negative", std::int64_t{-i})
        .Key("empty")
        .BeginArray()
        .EndArray();
    json.Key("real").Double(i / 4.0).EndObject();
  }
  json.EndArray().EndObject();
}

TEST(JsonWriter, StreamedDocumentIsTheInMemoryOneWithANewline) {
  // Large enough to go out in many pieces, so a piece boundary falls inside values.
  constexpr int kRecords = 3000;
  JsonWriter memory;
  WriteDocument(memory, kRecords);
  constexpr std::size_t kPiece = 16 * 1024;
  ASSERT_GT(memory.str().size(), 16 * kPiece);

  std::ostringstream sink;
  JsonWriter streamed(sink, true, kPiece);
  WriteDocument(streamed, kRecords);
  // Nothing beyond one piece is held back before the end.
  EXPECT_LT(streamed.str().size(), kPiece + 512);
  // The sink is written on the writer's thread: it is read here only once that has settled.
  ASSERT_TRUE(streamed.Settle());
  EXPECT_FALSE(sink.str().empty());
  ASSERT_TRUE(streamed.Flush());
  EXPECT_TRUE(testing::SameText(sink.str(), memory.str() + "\n"));
  EXPECT_TRUE(streamed.str().empty());

  const auto parsed = testing::ParseJson(sink.str());
  ASSERT_TRUE(parsed);
  ASSERT_EQ((*parsed)["records"].items.size(), static_cast<std::size_t>(kRecords));
  const testing::Json& last = (*parsed)["records"][kRecords - 1];
  EXPECT_EQ(last["text"].text, "line \"2999\"\n\tta\\b \x01 Gr\xC3\xBC\xC3\x9F\xE2\x9C\x88");
  EXPECT_EQ(last["broken"].text,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(JsonWriter, RecordsTakeOneLineEachWhateverTheyHold) {
  const auto write = [](JsonWriter& json) {
    json.BeginObject().Key("rows").BeginArray();
    json.BeginRecord().Field("id", 1).Key("tags").BeginArray().String("a").String("b").EndArray();
    json.Key("empty").BeginArray().EndArray().Key("inner").BeginObject().Field("x", true);
    json.EndObject().EndObject();
    json.BeginRecord().EndObject();
    json.EndArray().Field("after", 2).EndObject();
  };
  JsonWriter pretty;
  write(pretty);
  EXPECT_EQ(pretty.str(),
            "{\n  \"rows\": [\n"
            "    {\"id\": 1, \"tags\": [\"a\", \"b\"], \"empty\": [], \"inner\": {\"x\": true}},\n"
            "    {}\n  ],\n  \"after\": 2\n}");
  JsonWriter compact(false);
  write(compact);
  EXPECT_EQ(compact.str(),
            "{\"rows\":[{\"id\":1,\"tags\":[\"a\",\"b\"],\"empty\":[],\"inner\":{\"x\":true}},{}],"
            "\"after\":2}");
}

// A document cut inside a record ends every level it opened, innermost first.
TEST(JsonWriter, ACutDocumentStillEnds) {
  JsonWriter cut;
  cut.BeginObject().Key("list").BeginArray().BeginRecord().Key("inner").BeginObject();
  cut.Key("deep").BeginArray().Int(1);
  cut.EndTo(1).Field("after", 2).EndTo(0);
  EXPECT_EQ(cut.Depth(), 0u);
  const auto parsed = testing::ParseJson(cut.str());
  ASSERT_TRUE(parsed) << cut.str();
  EXPECT_EQ((*parsed)["list"][0]["inner"]["deep"][0].Number(), 1);
  EXPECT_EQ((*parsed)["after"].Number(), 2);
}

TEST(JsonWriter, QuotesEscapesAndReplacesInvalidBytes) {
  EXPECT_EQ(JsonQuote("plain"), "\"plain\"");
  EXPECT_EQ(JsonQuote("\"\\\n\r\t"), "\"\\\"\\\\\\n\\r\\t\"");
  EXPECT_EQ(JsonQuote(std::string_view("\x00\x1f", 2)), "\"\\u0000\\u001f\"");
  // A lone continuation byte and a cut sequence each become U+FFFD; valid text stays.
  EXPECT_EQ(JsonQuote("\x80x\xE2\x9C"), "\"\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonQuote("\xF0\x9F\x98\x80\""), "\"\xF0\x9F\x98\x80\\\"\"");
  // Long texts are scanned a word at a time: an escape is found at every place in them, and
  // the bytes next to it ('!' and '#' sit beside '"', ']' and '^' beside '\\', 0x20 above
  // the control characters) are not escaped.
  const std::pair<char, std::string_view> escapes[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\x01', "\\u0001"}, {'\x1f', "\\u001f"}};
  const std::string plain =
      "!# ]^ \x7f"
      "abcdefghijklmnop\xC3\xA9";
  for (const auto& [c, escaped] : escapes) {
    for (std::size_t at = 0; at + 1 < plain.size(); ++at) {  // never inside the last letter
      std::string text = plain;
      text.insert(at, 1, c);
      const std::string expected =
          "\"" + plain.substr(0, at) + std::string(escaped) + plain.substr(at) + "\"";
      EXPECT_EQ(JsonQuote(text), expected) << at;
    }
  }
  // A character outside ASCII passes and a byte that starts none becomes U+FFFD at every
  // place, the plain bytes around them as they are.
  for (std::size_t at = 0; at + 1 < plain.size(); ++at) {
    std::string text = plain;
    text.insert(at, "\xE2\x9C\x88");
    EXPECT_EQ(JsonQuote(text), "\"" + text + "\"") << at;
    text = plain;
    text.insert(at, 1, '\xFF');
    EXPECT_EQ(JsonQuote(text),
              "\"" + plain.substr(0, at) + "\xEF\xBF\xBD" + plain.substr(at) + "\"")
        << at;
  }
  std::string out = "[";
  AppendJsonQuoted(out, "a\"");
  EXPECT_EQ(out, "[\"a\\\"\"");
}

TEST(JsonWriter, FlushTellsAFailedStream) {
  std::ostringstream sink;
  sink.setstate(std::ios::badbit);
  JsonWriter json(sink);
  json.BeginArray().Int(1).EndArray();
  EXPECT_FALSE(json.Flush());

  JsonWriter memory;
  memory.BeginArray().UInt(18446744073709551615u).Int(-9223372036854775807 - 1).EndArray();
  EXPECT_TRUE(memory.Flush());
  EXPECT_EQ(memory.str(), "[\n  18446744073709551615,\n  -9223372036854775808\n]");
}

}  // namespace
}  // namespace kestrio::cli
