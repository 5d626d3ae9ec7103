// The result lists: every row keyed as the selection model keys it, the texts a user reads
// (call states, chat fall-backs), number-aware sorting, and the deleted-only filter.
#include "output/item_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/output/scanned_results.h"

namespace kestrio {
namespace {

using testing::Scanned;

std::vector<std::string> Column(const ItemList& list, std::size_t column) {
  std::vector<std::string> texts;
  for (std::size_t row = 0; row < list.RowCount(); ++row) texts.push_back(list.Text(row, column));
  return texts;
}

TEST(ItemList, EveryRowIsTheItemTheSelectionTicksAndTheTreeCountsItsRows) {
  Scanned s;
  for (int c = kCodeCameraRoll; c <= kCodeWhatsAppAttachments; ++c) {
    const auto code = static_cast<CategoryCode>(c);
    const ItemList list(s.r, code);
    SCOPED_TRACE(c);
    EXPECT_EQ(list.RowCount(), ListedCount(s.r, code));
    EXPECT_EQ(CodeOfCategory(CategoryOfCode(code)), code);
    for (std::size_t row = 0; row < list.RowCount(); ++row) {
      const SelectionEntry* entry = s.selection.EntryOf(list.Item(row));
      ASSERT_NE(entry, nullptr) << row;
      EXPECT_EQ(entry->deleted != 0, list.Deleted(row));
      // The app list's rows are the apps' groups; every other row is one item of the code.
      EXPECT_EQ(entry->group, list.Layout() == ListLayout::kApps ? 1 : 0);
      if (entry->group == 0) {
        EXPECT_EQ(entry->categoryCode, c);
      }
    }
  }
  // Two conversations, two apps with photos, one with videos; the files of one app.
  EXPECT_EQ(ListedCount(s.r, kCodeMessages), 2u);
  EXPECT_EQ(ListedCount(s.r, kCodeAppPhotos), 1u);
  const ItemList apps(s.r, kCodeAppPhotos);
  EXPECT_EQ(apps.App(0), "WhatsApp");
  EXPECT_EQ(apps.Text(0, 1), "Folder");
  EXPECT_EQ(apps.Icon(0), RowIcon::kFolder);
  const ItemList files(s.r, kCodeAppPhotos, "WhatsApp");
  ASSERT_EQ(files.RowCount(), 2u);
  EXPECT_EQ(s.selection.EntryOf(files.Item(1))->categoryCode, kCodeAppPhotos);
  EXPECT_EQ(Column(files, 1), (std::vector<std::string>{"WhatsApp", "WhatsApp"}));
  EXPECT_EQ(ItemList(s.r, kCodeAppPhotos, "no such app").RowCount(), 0u);
  EXPECT_EQ(ItemList(s.r, static_cast<CategoryCode>(99)).RowCount(), 0u);
}

TEST(ItemList, TextsOfCallsChatsAndFiles) {
  Scanned s;
  // Newest first: the answered call, the canceled outgoing one (deleted), the missed one.
  const ItemList calls(s.r, kCodeCallHistory);
  ASSERT_EQ(calls.Columns().size(), 6u);
  EXPECT_EQ(Column(calls, 1), (std::vector<std::string>{"200", "300", "100"}));  // deleted first
  EXPECT_EQ(Column(calls, 3), (std::vector<std::string>{"Outgoing", "Incoming", "Incoming"}));
  EXPECT_EQ(Column(calls, 4), (std::vector<std::string>{"Canceled", "1 Hour 1 Min", "Missed"}));
  EXPECT_EQ(Column(calls, 5), (std::vector<std::string>{"Deleted", "Normal", "Normal"}));
  EXPECT_EQ(calls.Icon(0), RowIcon::kDeleted);
  EXPECT_EQ(calls.Icon(1), RowIcon::kNone);

  // A chat without member lists shows its sender.
  const ItemList chats(s.r, kCodeWhatsApp);
  EXPECT_EQ(chats.Text(0, 0), "Team");
  EXPECT_EQ(chats.Text(0, 1), "Lena");
  EXPECT_EQ(chats.Text(0, 2), "4915100");

  // A conversation is its last message, deleted when any message is; cut columns are marked.
  const ItemList conversations(s.r, kCodeMessages);
  EXPECT_TRUE(conversations.Deleted(0));
  EXPECT_EQ(conversations.Text(0, 3), "gone");
  EXPECT_TRUE(conversations.Columns()[3].cut);
  EXPECT_FALSE(conversations.Columns()[0].cut);

  const ItemList attachments(s.r, kCodeMessageAttachments);
  EXPECT_EQ(attachments.Icon(0), RowIcon::kVideo);  // clip.MOV
  EXPECT_EQ(attachments.Icon(1), RowIcon::kPhoto);
  const ItemList photos(s.r, kCodeCameraRoll);
  EXPECT_EQ(Column(photos, 1), (std::vector<std::string>{"2.00 KB", "900 Bytes", "1.00 MB"}));
  EXPECT_EQ(photos.Icon(1), RowIcon::kDeleted);  // in Recently Deleted
  EXPECT_EQ(photos.Text(7, 0), "");              // outside the rows
}

TEST(ItemList, SortsSizesByNumberStablyAndKeepsTheFilter) {
  Scanned s;
  ItemList photos(s.r, kCodeCameraRoll);
  photos.SortBy(1, false);  // as text "2.00 KB" would come before "900 Bytes"
  EXPECT_EQ(Column(photos, 0),
            (std::vector<std::string>{"IMG_0001.MOV", "IMG_0002.HEIC", "IMG_0003.JPG"}));
  photos.SortBy(0, true);
  EXPECT_EQ(Column(photos, 0),
            (std::vector<std::string>{"IMG_0003.JPG", "IMG_0002.HEIC", "IMG_0001.MOV"}));
  photos.SortBy(9, false);  // back to the scan's order
  EXPECT_EQ(photos.Text(0, 0), "IMG_0002.HEIC");

  // Missed calls sort below every call with a duration.
  ItemList calls(s.r, kCodeCallHistory);
  calls.SortBy(4, true);
  EXPECT_EQ(Column(calls, 1), (std::vector<std::string>{"300", "200", "100"}));

  // Equal keys keep their order; the filter survives a sort and a sort survives the filter.
  ItemList contacts(s.r, kCodeContacts);
  contacts.SetDeletedOnly(true);
  EXPECT_EQ(Column(contacts, 0), (std::vector<std::string>{"Ben"}));
  EXPECT_EQ(contacts.DeletedCount(), 1u);
  contacts.SortBy(0, true);
  EXPECT_EQ(Column(contacts, 0), (std::vector<std::string>{"Ben"}));
  contacts.SetDeletedOnly(false);
  EXPECT_EQ(Column(contacts, 0), (std::vector<std::string>{"Cleo", "Ben", "Ava"}));
  EXPECT_EQ(contacts.RowOf(&s.r.contacts[0]), 1u);  // Ben, deleted first in the scan's order
}

TEST(ItemList, DeletedOnlyShowsExactlyTheDeletedRecordsWhereThereAreAny) {
  Scanned s;
  for (CategoryCode code : {kCodeMessages, kCodeContacts, kCodeCallHistory, kCodeNotes,
                            kCodeWhatsApp, kCodeCameraRoll}) {
    ItemList list(s.r, code);
    ASSERT_TRUE(list.Filterable()) << code;
    const std::size_t all = list.RowCount();
    list.SetDeletedOnly(true);
    EXPECT_EQ(list.RowCount(), list.DeletedCount()) << code;
    for (std::size_t row = 0; row < list.RowCount(); ++row) EXPECT_TRUE(list.Deleted(row));
    list.SetDeletedOnly(false);
    EXPECT_EQ(list.RowCount(), all);
  }
  // Lists without a deleted mark of their own stay whole.
  ItemList apps(s.r, kCodeAppPhotos);
  apps.SetDeletedOnly(true);
  EXPECT_FALSE(apps.DeletedOnly());
  EXPECT_EQ(apps.RowCount(), 1u);
}

}  // namespace
}  // namespace kestrio
