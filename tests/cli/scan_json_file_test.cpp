// The scan's JSON goes out as it is written, to a file or to standard output alike; a scan
// without it counts what the JSON would hold.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/cli.h"
#include "cli/json_writer.h"
#include "cli/scan_json.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/json.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

TEST(ScanJsonFile, TheFileHoldsWhatStandardOutputGetsAndAnUnwritablePathIsSaid) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  fx::BackupOptions options;
  options.messageCount = 3000;  // a document of more than one piece
  fx::WriteBackup(dir / "backup", options);

  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), cli::kExitOk)
      << err.str();
  ASSERT_GT(out.str().size(), cli::JsonWriter::kFlushBytes);
  const std::filesystem::path file = dir / "scan.json";
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", file.string()}, terminal),
            cli::kExitOk)
      << err.str();
  std::ifstream in(file, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, out.str());
  ASSERT_TRUE(written.ends_with("}\n"));
  const auto json = testing::ParseJson(written);
  ASSERT_TRUE(json);
  EXPECT_FALSE((*json)["categories"]["messages"].items.empty());

  // A scan without --json only counts the messages: as many as the document holds.
  std::size_t inDocument = 0;
  for (const auto& conversation : (*json)["categories"]["messages"].items)
    inDocument += conversation["messages"].items.size();
  EXPECT_GT(inDocument, 100u);
  std::ostringstream listed;
  cli::Terminal plain{listed, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string()}, plain), cli::kExitOk) << err.str();
  EXPECT_NE(listed.str().find("\n  messages: " + std::to_string(inDocument) + "\n"),
            std::string::npos)
      << listed.str();

  // A folder where the file should go: nothing can be written, and the command says so.
  err.str("");
  EXPECT_EQ(
      cli::RunCli({"scan", (dir / "backup").string(), "--json", dir.path().string()}, terminal),
      cli::kExitUsage);
  EXPECT_NE(err.str().find("cannot write " + dir.path().string()), std::string::npos) << err.str();

  // The file is made once the scan opened: a folder that holds no backup leaves none.
  std::filesystem::create_directory(dir / "empty");
  const std::filesystem::path none = dir / "none.json";
  EXPECT_EQ(cli::RunCli({"scan", (dir / "empty").string(), "--json", none.string()}, terminal),
            cli::kExitUnopened);
  EXPECT_FALSE(std::filesystem::exists(none));
}

// Messages kept aside while they are parsed come out as the results' own would, whatever
// their texts repeat from the message before (in the conversation or the one before it).
TEST(ScanJsonFile, MessagesKeptAsideWriteWhatTheResultsWrite) {
  const auto message = [](std::int32_t key, std::uint32_t rowId, std::string address,
                          std::string text) {
    MessageRecord m;
    m.conversationId = key;
    m.rowId = rowId;
    m.handleId = key > 0 ? key : 0;
    m.dateText = "2024-03-0" + std::to_string(rowId % 9 + 1) + " 10:00:00";
    m.address = address;
    m.contactName = address.empty() ? "" : "Ava Moreau";
    m.conversation = key > 0 ? "Ava Moreau, +15550109321" : "";
    m.text = std::move(text);
    return m;
  };
  ScanResults results;
  auto& chat = results.messages[7];
  chat.push_back(message(7, 1, "+15550109321", "first"));
  chat.push_back(
      message(7, 2, "+15550109321", std::string("NUL \0 and \xF0\x9F\x91\x8B \xFF \"\\", 19)));
  chat.back().isFromMe = true;
  chat.back().edited = true;
  chat.back().reactions = "Loved by Ava Moreau";
  chat.back().attachments = {"~/Library/SMS/Attachments/a.jpg", "~/Library/SMS/b.mov"};
  chat.back().attachmentPath = chat.back().attachments.front();
  chat.push_back(
      message(7, 0, "ava@example.com", std::string(cli::JsonWriter::kFlushBytes + 5, 'z')));
  chat.back().deleted = true;
  chat.back().unsent = true;
  // The next conversation starts with what the last message had.
  auto& other = results.messages[-3];
  other.push_back(message(-3, 4, "ava@example.com", "other"));
  other.push_back(message(-3, 5, "", "no address"));
  other.push_back(message(-3, 6, "ava@example.com", "back again"));
  // Enough to fill more batches than are let wait for the writing thread at once.
  auto& long_ = results.messages[12];
  const std::size_t texts = cli::MessagesJson::kMaxBatches * 4 + 3;
  for (std::uint32_t i = 0; i < texts; ++i) {
    long_.push_back(message(12, 100 + i, "+15550100000",
                            std::string(cli::MessagesJson::kBatchBytes / 3, 'a' + i % 26)));
  }

  BackupSummary summary;
  summary.displayName = "Test";
  const auto source = [&](cli::JsonWriter& json) { cli::WriteBackup(json, summary); };
  // The document with the conversations `feed` hands a MessagesJson; false when it said they
  // could not all be written.
  const ScanResults withoutMessages;
  const auto streamed = [&](const auto& feed, std::string& document) {
    cli::JsonWriter json;
    cli::ScanDocument scan([&]() -> cli::JsonWriter& { return json; }, source);
    cli::MessagesJson messages(
        [&]() -> cli::JsonWriter& { return scan.BeginMessages(withoutMessages); });
    feed(messages);
    const bool complete = scan.End({}, withoutMessages, &messages);
    document = json.str();
    return complete;
  };
  const auto whole = [&](const ScanResults& from) {
    cli::JsonWriter json;
    EXPECT_TRUE(
        cli::ScanDocument([&]() -> cli::JsonWriter& { return json; }, source).End({}, from));
    return json.str();
  };

  std::string document;
  ASSERT_TRUE(streamed(
      [&](cli::MessagesJson& out) {
        for (const auto& [key, list] : results.messages) {
          const bool anyDeleted = std::any_of(list.begin(), list.end(),
                                              [](const MessageRecord& m) { return m.deleted; });
          out.BeginConversation(key, list.size(), list.back(), anyDeleted);
          for (MessageRecord m : list) out.Message(std::move(m));
          out.EndConversation();
        }
      },
      document));
  const std::string direct = whole(results);
  EXPECT_TRUE(testing::SameText(document, direct));
  const auto json = testing::ParseJson(direct);
  ASSERT_TRUE(json);
  ASSERT_EQ((*json)["categories"]["messages"].items.size(), 3u);

  // None at all: an empty array.
  ASSERT_TRUE(streamed([](cli::MessagesJson&) {}, document));
  EXPECT_EQ(document, whole(withoutMessages));
  // A message outside any conversation is not written as if it were in one.
  EXPECT_FALSE(
      streamed([&](cli::MessagesJson& out) { out.Message(message(1, 1, "", "stray")); }, document));
  EXPECT_TRUE(testing::ParseJson(document)) << document;
  // A conversation begun inside another is not written; the one before it ends, and the
  // document still parses.
  EXPECT_FALSE(streamed(
      [&](cli::MessagesJson& out) {
        out.BeginConversation(1, 2, chat.front(), false);
        out.Message(message(1, 1, "", "kept"));
        out.BeginConversation(2, 1, chat.front(), false);
        out.Message(message(2, 2, "", "lost"));
        out.EndConversation();
      },
      document));
  const auto cut = testing::ParseJson(document);
  ASSERT_TRUE(cut) << document;
  const auto& kept = (*cut)["categories"]["messages"];
  ASSERT_EQ(kept.items.size(), 1u);
  ASSERT_EQ(kept[0]["messages"].items.size(), 1u);
  EXPECT_EQ(kept[0]["messages"][0]["text"].text, "kept");
  EXPECT_EQ((*cut)["categories"]["contacts"].items.size(), 0u);
}

}  // namespace
}  // namespace kestrio
