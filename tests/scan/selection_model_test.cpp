#include "scan/selection_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/list_order.h"

namespace kestrio {
namespace {

std::string Repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

template <typename Record>
Record Sized(std::uint32_t size) {
  Record record;
  record.size = size;
  return record;
}

TEST(Statistics, FreshBuildCountsEveryItemTickedWithTheFloorOf1024) {
  SelectionModel stats;
  const std::vector<FileRecord> photos = {Sized<FileRecord>(10), Sized<FileRecord>(5000)};
  std::vector<ContactRecord> contacts(2);
  contacts[0].fullName = "0123456789";             // 10 bytes
  contacts[1].fullName = Repeat("\xC3\xA9", 600);  // 600 characters in 1200 bytes
  contacts[1].phones = Repeat("5", 500);
  contacts[1].deleted = true;
  stats.BuildFiles(kCodeCameraRoll, photos);
  stats.BuildContacts(contacts);

  EXPECT_EQ(stats.TotalSize(), 1024u + 5000u + 1024u + 1100u);
  EXPECT_EQ(stats.TickedSize(), stats.TotalSize());
  const StatisticsText text = stats.Text();
  EXPECT_EQ(text.tickedCount, 4u);
  EXPECT_EQ(text.totalCount, 4u);
  EXPECT_EQ(stats.TickedItemCount(), 4u);
  EXPECT_EQ(EntrySize(*stats.EntryOf(&contacts[0])), 1024u);
  EXPECT_EQ(stats.EntryOf(&contacts[1])->deleted, 1);
  EXPECT_EQ(stats.EntryOf(&contacts[1])->categoryCode, kCodeContacts);
  EXPECT_EQ(stats.Entries().size(), 6u);  // two groups and four items
  EXPECT_TRUE(stats.CanRecover());

  // A file of 3 GB keeps its size in the 64-bit sums.
  const std::vector<FileRecord> big = {Sized<FileRecord>(3'000'000'000u)};
  stats.BuildFiles(kCodeWhatsAppAttachments, big);
  EXPECT_EQ(stats.TotalSize(), 1024u + 5000u + 1024u + 1100u + 3'000'000'000u);
  EXPECT_TRUE(stats.TickItem(&big[0], false));
  EXPECT_EQ(stats.TickedSize(), 1024u + 5000u + 1024u + 1100u);
}

TEST(Statistics, TickingRowsMovesTheCategoryStateAndStaysInRange) {
  SelectionModel stats;
  const std::vector<NoteRecord> notes(3);
  stats.BuildNotes(notes);
  EXPECT_EQ(stats.CategoryTickState(kCodeNotes), TickState::kAll);

  stats.TickCategory(kCodeNotes, false);
  EXPECT_EQ(stats.CategoryTickState(kCodeNotes), TickState::kNone);
  EXPECT_EQ(stats.TickedSize(), 0u);
  EXPECT_TRUE(stats.TickItem(&notes[0], false));  // already unticked
  EXPECT_EQ(stats.CategoryCounter(kCodeNotes)->ticked, 0u);
  EXPECT_FALSE(stats.CanRecover());

  for (const NoteRecord& note : notes) {
    EXPECT_NE(stats.CategoryTickState(kCodeNotes), TickState::kAll);
    EXPECT_TRUE(stats.TickItem(&note, true));
    EXPECT_TRUE(stats.TickItem(&note, true));  // twice changes nothing
  }
  EXPECT_EQ(stats.CategoryTickState(kCodeNotes), TickState::kAll);
  EXPECT_EQ(stats.Root()->ticked, 3u);
  EXPECT_EQ(stats.TickedSize(), 3u * 1024u);

  EXPECT_TRUE(stats.TickItem(&notes[1], false));
  EXPECT_EQ(stats.CategoryTickState(kCodeNotes), TickState::kSome);
  EXPECT_EQ(stats.Text().tickedCount, 2u);
  EXPECT_FALSE(stats.TickItem(&stats, true));
  EXPECT_EQ(stats.CategoryTickState(kCodeCallHistory), TickState::kNone);  // never built
}

TEST(Statistics, AppGroupsSitBetweenTheCategoryAndItsFiles) {
  SelectionModel stats;
  AppFileMap byApp;
  byApp["camera"] = {Sized<AppFileRecord>(2048), Sized<AppFileRecord>(4096)};
  byApp["other"] = {Sized<AppFileRecord>(100)};
  stats.BuildAppFiles(kCodeAppPhotos, byApp);

  const Counter* category = stats.CategoryCounter(kCodeAppPhotos);
  ASSERT_NE(category, nullptr);
  ASSERT_EQ(category->children.size(), 2u);
  EXPECT_EQ(category->total, 3u);
  EXPECT_EQ(category->children[0]->total, 2u);
  const auto& camera = byApp["camera"];
  EXPECT_EQ(stats.EntryOf(&camera[0])->counter, category->children[0]);
  const std::vector<const SelectionEntry*>& entries = stats.Entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[1], stats.EntryOf(&*byApp.find("camera")));
  EXPECT_EQ(entries[2], stats.EntryOf(&camera[0]));
  EXPECT_EQ(entries[4]->group, 1);

  stats.TickApp(kCodeAppPhotos, "camera", false);
  EXPECT_EQ(category->children[0]->ticked, 0u);
  EXPECT_EQ(stats.Root()->ticked, 1u);
  EXPECT_EQ(stats.TickedSize(), 1024u);
  EXPECT_EQ(stats.CategoryTickState(kCodeAppPhotos), TickState::kSome);
  EXPECT_EQ(entries[1]->ticked, 0);

  // An app row's check box is keyed by the app's map entry.
  EXPECT_TRUE(stats.TickItem(&*byApp.find("camera"), true));
  EXPECT_EQ(stats.CategoryTickState(kCodeAppPhotos), TickState::kAll);
  EXPECT_EQ(stats.TickedSize(), stats.TotalSize());

  // Files never go into a category whose items the recovery run reads as another type.
  const std::vector<FileRecord> files(1);
  stats.BuildFiles(kCodeMessages, files);
  EXPECT_EQ(stats.CategoryCounter(kCodeMessages), nullptr);
}

TEST(Statistics, DeletedOnlyFilterHidesLiveRecordsFromTheCounts) {
  SelectionModel stats;
  std::vector<CallRecord> calls(3);
  calls[2].deleted = true;
  stats.BuildCalls(calls);
  stats.TickItem(&calls[2], false);  // only the two live calls stay ticked

  stats.ApplyFilter(kCodeCallHistory, true);
  stats.ApplyFilter(kCodeCallHistory, true);  // a second call hides nothing more
  stats.ResumRoot();
  const Counter* counter = stats.CategoryCounter(kCodeCallHistory);
  EXPECT_EQ(counter->filtered, 2u);
  EXPECT_EQ(counter->tickedFiltered, 2u);
  EXPECT_EQ(stats.Root()->tickedFiltered, 2u);
  EXPECT_TRUE(stats.Hidden(&calls[0]));
  EXPECT_FALSE(stats.Hidden(&calls[2]));
  EXPECT_EQ(stats.Text().tickedCount, 0u);
  EXPECT_FALSE(stats.CanRecover());
  EXPECT_EQ(stats.TickedItemCount(), 2u);  // hidden items are still recovered

  // Ticks while hidden keep the ticked-filtered count in step.
  stats.TickCategory(kCodeCallHistory, false);
  EXPECT_EQ(counter->tickedFiltered, 0u);
  stats.TickItem(&calls[0], true);
  stats.TickItem(&calls[2], true);
  EXPECT_EQ(counter->tickedFiltered, 1u);
  EXPECT_EQ(stats.Text().tickedCount, 1u);
  EXPECT_TRUE(stats.CanRecover());

  stats.ApplyFilter(kCodeCallHistory, false);
  stats.ResumRoot();
  EXPECT_EQ(counter->filtered, 0u);
  EXPECT_EQ(counter->tickedFiltered, 0u);
  EXPECT_EQ(stats.Root()->filtered, 0u);
  EXPECT_EQ(stats.Text().tickedCount, 2u);
}

TEST(Statistics, RebuildAndResetStartOver) {
  SelectionModel stats;
  const std::vector<ContactRecord> first(2);
  const std::vector<ContactRecord> second(3);
  stats.BuildContacts(first);
  stats.TickItem(&first[0], false);
  stats.BuildContacts(second);
  EXPECT_EQ(stats.Root()->total, 3u);
  EXPECT_EQ(stats.Root()->ticked, 3u);
  EXPECT_EQ(stats.TotalSize(), 3u * 1024u);
  EXPECT_EQ(stats.TickedSize(), stats.TotalSize());
  EXPECT_EQ(stats.Entries().size(), 4u);
  EXPECT_EQ(stats.EntryOf(&first[1]), nullptr);

  stats.Reset();
  EXPECT_EQ(stats.Root()->total, 0u);
  EXPECT_EQ(stats.TotalSize(), 0u);
  EXPECT_TRUE(stats.Entries().empty());
  EXPECT_EQ(stats.CategoryCounter(kCodeContacts), nullptr);
  EXPECT_FALSE(stats.TickItem(&second[0], false));
}

MessageRecord Message(std::string text, bool deleted = false) {
  MessageRecord message;
  message.text = std::move(text);
  message.deleted = deleted;
  return message;
}

TEST(ListOrder, ConversationWithADeletedMessageIsADeletedRowListedFirst) {
  ConversationMap conversations;
  conversations[1] = {Message("a1"), Message("a2")};
  conversations[2] = {Message("b1"), Message("b2", true), Message("b3"), Message("b4")};
  conversations[3] = {};
  conversations[4] = {Message("c1")};
  const std::vector<MessageRecord> rows = ConversationRows(conversations);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].text, "b4");
  EXPECT_TRUE(rows[0].deleted);
  EXPECT_EQ(rows[1].text, "a2");
  EXPECT_EQ(rows[2].text, "c1");
  EXPECT_FALSE(rows[2].deleted);

  WhatsAppConversationMap chats;
  chats[7].resize(2);
  chats[7][1].text = "last";
  chats[9].resize(1);
  chats[9][0].deleted = true;
  const std::vector<WhatsAppMessageRecord> chatRows = WhatsAppChatRows(chats);
  ASSERT_EQ(chatRows.size(), 2u);
  EXPECT_TRUE(chatRows[0].deleted);
  EXPECT_EQ(chatRows[1].text, "last");
}

TEST(ListOrder, CallsByDateDescendingThenDeletedFirst) {
  auto call = [](std::string date, std::string number, bool deleted) {
    CallRecord record;
    record.dateText = std::move(date);
    record.number = std::move(number);
    record.deleted = deleted;
    return record;
  };
  std::vector<CallRecord> calls = {
      call("2023-01-02 10:00:00", "1", false), call("2023-05-01 09:00:00", "2", false),
      call("2023-01-02 10:00:00", "3", true),  call("2022-12-31 23:59:59", "4", true),
      call("2023-01-02 10:00:00", "5", false),
  };
  OrderCalls(calls);
  std::string numbers;
  for (const CallRecord& record : calls) numbers += record.number;
  EXPECT_EQ(numbers, "34215");
}

TEST(ListOrder, ContactsAndNotesPutDeletedFirstKeepingTheirOrder) {
  std::vector<ContactRecord> contacts(4);
  for (int i = 0; i < 4; ++i) contacts[i].fullName = std::to_string(i);
  contacts[1].deleted = contacts[3].deleted = true;
  OrderContacts(contacts);
  EXPECT_EQ(
      contacts[0].fullName + contacts[1].fullName + contacts[2].fullName + contacts[3].fullName,
      "1302");

  std::vector<NoteRecord> notes(3);
  for (int i = 0; i < 3; ++i) notes[i].title = std::to_string(i);
  notes[2].deleted = true;
  OrderNotes(notes);
  EXPECT_EQ(notes[0].title + notes[1].title + notes[2].title, "201");
}

}  // namespace
}  // namespace kestrio
