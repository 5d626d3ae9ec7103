// What the result page lists for one category: its layout (columns with their titles, widths,
// alignment and cut rule), one row per listed item in the order the scan gave, each row's
// texts, icon and deleted mark, a column sort and the deleted-only filter. The desktop list
// is a thin model over this; the print pages read the same texts.
//
// Rows point into the scan's result containers, which must stay where they are (and
// unchanged) while the list lives. Texts are made when asked for, so a list of 100,000 rows
// costs one index per row.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_run.h"
#include "scan/selection_model.h"

namespace kestrio {

enum class ListLayout {
  kFiles,          // Camera Roll, Photo Stream
  kApps,           // App Photos, App Videos: one row per app
  kAppFiles,       // the files of one app
  kConversations,  // Messages: one row per conversation
  kAttachments,    // Messages Attachments, WhatsApp Attachments
  kContacts,
  kCalls,
  kNotes,
  kChats,  // WhatsApp: one row per chat
};

struct ListColumn {
  std::string_view title;
  int width = 0;         // pixels; 0 takes the rest of the row
  bool centred = false;  // horizontally centred
  bool cut = false;      // one line, cut with an ellipsis at the end
};

// A row's icon: files and apps have one, records only when they are deleted.
enum class RowIcon { kNone, kPhoto, kVideo, kFolder, kDeleted };

class ItemList {
 public:
  // The rows of a category, as the tree node shows them (the apps for App Photos and App
  // Videos). A code outside 1..11 gives an empty list of files.
  ItemList(const ScanResults& results, CategoryCode code);
  // The files of one app of App Photos or App Videos (empty when the app has none).
  ItemList(const ScanResults& results, CategoryCode code, const std::string& app);

  ListLayout Layout() const { return layout_; }
  CategoryCode Code() const { return code_; }
  // The visible columns, first to last (one to six of them).
  std::span<const ListColumn> Columns() const;
  // Rows shown: all of them, or the deleted ones while deleted-only is on.
  std::size_t RowCount() const { return shown_.size(); }
  // The selection key of a row: the record, or the app's map entry in the app list.
  const void* Item(std::size_t row) const;
  bool Deleted(std::size_t row) const;
  RowIcon Icon(std::size_t row) const;
  std::string Text(std::size_t row, std::size_t column) const;
  // The app a row of the app list stands for (empty in other layouts).
  std::string_view App(std::size_t row) const;
  // The row showing `item`, or RowCount() when none does.
  std::size_t RowOf(const void* item) const;

  // Sorts the rows by a column's value (sizes and durations by number, texts byte for byte),
  // stably; `column` outside the columns restores the scan's order.
  void SortBy(std::size_t column, bool descending);
  // Deleted-only: only the rows of deleted records are shown, in the lists that have them
  // (see Filterable); elsewhere every row stays shown.
  void SetDeletedOnly(bool on);
  bool DeletedOnly() const { return deletedOnly_; }
  // Rows of deleted records, shown or not.
  std::size_t DeletedCount() const { return deletedCount_; }
  // Whether the deleted-only filter applies to this list: Messages, Contacts, Call History,
  // Notes, WhatsApp, and Camera Roll and Photo Stream, whose photos in "Recently Deleted" are
  // marked deleted.
  bool Filterable() const;

 private:
  void Finish();
  std::uint32_t Index(std::size_t row) const { return shown_[row]; }
  bool DeletedAt(std::uint32_t index) const;
  const void* ItemAt(std::uint32_t index) const;
  std::string_view Field(std::uint32_t index, std::size_t column) const;
  // Sizes and durations, for the columns that sort by number.
  bool NumericColumn(std::size_t column) const;
  std::int64_t Number(std::uint32_t index, std::size_t column) const;

  ListLayout layout_;
  CategoryCode code_;
  const ScanResults& results_;
  const std::vector<FileRecord>* files_ = nullptr;
  const std::vector<AttachmentFileRecord>* attachments_ = nullptr;
  const AppFileMap* apps_ = nullptr;
  std::vector<const AppFileMap::value_type*> appRows_;
  const std::vector<AppFileRecord>* appFiles_ = nullptr;
  std::size_t size_ = 0;
  std::vector<std::uint32_t> order_;  // the sorted order of every row
  std::vector<std::uint32_t> shown_;  // order_ less what the filter hides
  std::size_t deletedCount_ = 0;
  bool deletedOnly_ = false;
};

// The count a tree node shows: conversations, chats and apps where the list has one row per
// conversation, chat or app; items elsewhere.
std::size_t ListedCount(const ScanResults& results, CategoryCode code);

// The scan category a code's items come from, and the code of a scan category.
ScanCategory CategoryOfCode(CategoryCode code);
CategoryCode CodeOfCategory(ScanCategory category);

}  // namespace kestrio
