// The selection model of the result page: one selection entry per listed item and per group
// (category, app), counters of found, ticked and filtered items per category and per app, and
// the total and ticked sizes that the statistics label shows.
//
// Threads: a category is built on the scan worker while the UI thread may read or tick the
// categories built before it. Nothing in here locks; the owner serialises the calls (the
// result page posts the build hand-off and the UI's ticks through one lock or one thread).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "backup/media_files.h"
#include "parsers/calls.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/notes.h"
#include "parsers/whatsapp.h"

namespace kestrio {

// The same alias as the scan run's (which may include this header).
using AppFileMap = std::map<std::string, std::vector<AppFileRecord>>;

// The categories of the tree; the recovery run dispatches on these.
enum CategoryCode : std::int32_t {
  kCodeCameraRoll = 1,
  kCodePhotoStream = 2,
  kCodeAppPhotos = 3,
  kCodeAppVideos = 4,
  kCodeMessages = 5,
  kCodeMessageAttachments = 6,
  kCodeContacts = 7,
  kCodeCallHistory = 8,
  kCodeNotes = 9,
  kCodeWhatsApp = 10,
  kCodeWhatsAppAttachments = 11
};

// One per category, one per app of App Photos and App Videos, and the root above them.
struct Counter {
  std::uint32_t total = 0, ticked = 0, filtered = 0, tickedFiltered = 0;
  Counter* parent = nullptr;
  std::vector<Counter*> children;
};

struct SelectionEntry {
  std::int32_t group = 0;  // 1 for a category or app group
  std::int32_t ticked = 1;
  std::int32_t deleted = 0;       // the record's flag (a file: in "Recently Deleted")
  std::int32_t reserved = 0;      // always 0
  std::int32_t categoryCode = 0;  // 0 for groups
  // Bytes counted for the item, at least 1024; the bits of an unsigned 32-bit count (a file
  // of 2 GB or more reads negative here: use EntrySize).
  std::int32_t size = 0;
  std::vector<SelectionEntry*> children;  // groups only
  // An item: the counter of its category or app. A group: its own counter.
  Counter* counter = nullptr;
  const void* item = nullptr;  // the record, or the container / app map entry of a group
};

inline std::uint32_t EntrySize(const SelectionEntry& entry) {
  return static_cast<std::uint32_t>(entry.size);
}

// The check box of a category: unticked, half-selected, ticked.
enum class TickState { kNone, kSome, kAll };

// The four values of the statistics label, in its order.
struct StatisticsText {
  std::uint64_t tickedSize;
  std::uint32_t tickedCount;  // ticked minus ticked-but-filtered, never below 0
  std::uint64_t totalSize;
  std::uint32_t totalCount;
};

class SelectionModel {
 public:
  SelectionModel();
  ~SelectionModel();
  SelectionModel(const SelectionModel&) = delete;
  SelectionModel& operator=(const SelectionModel&) = delete;

  // Drops every entry and counter and starts over with a fresh root.
  void Reset();

  // The builds, one per category hand-off. Items are keyed by their addresses in the given
  // containers, which must stay where they are until the next Reset or rebuild. A category
  // built again replaces its earlier build. A code that does not belong to the build's
  // record type is ignored (the recovery run would read the item as the wrong type).
  void BuildFiles(CategoryCode code, const std::vector<FileRecord>& files);  // 1, 2, 11
  void BuildAttachments(const std::vector<AttachmentFileRecord>& files);
  void BuildAppFiles(CategoryCode code, const AppFileMap& byApp);   // 3, 4
  void BuildConversations(const std::vector<MessageRecord>& rows);  // from ConversationRows
  void BuildContacts(const std::vector<ContactRecord>& contacts);
  void BuildCalls(const std::vector<CallRecord>& calls);
  void BuildNotes(const std::vector<NoteRecord>& notes);
  void BuildWhatsAppChats(const std::vector<WhatsAppMessageRecord>& rows);  // WhatsAppChatRows

  // Ticks or unticks one item, or everything below a group when `item` is a group's key
  // (the container, or an app's map entry). False when nothing is keyed by `item`.
  bool TickItem(const void* item, bool ticked);
  void TickCategory(CategoryCode code, bool ticked);
  void TickApp(CategoryCode code, const std::string& app, bool ticked);

  // Deleted-only on: every shown item of the category whose record is not deleted is hidden
  // and counted as filtered (and ticked filtered when ticked) up its counters. Off: those
  // items are shown again and uncounted. Hidden items stay ticked and are still recovered.
  void ApplyFilter(CategoryCode code, bool deletedOnly);
  bool Hidden(const void* item) const;

  // The root's four counts as the sums over the categories.
  void ResumRoot();

  TickState CategoryTickState(CategoryCode code) const;
  const Counter* Root() const { return root_.get(); }
  const Counter* CategoryCounter(CategoryCode code) const;  // null until built
  std::uint64_t TotalSize() const { return totalSize_; }
  std::uint64_t TickedSize() const { return tickedSize_; }
  StatisticsText Text() const;
  // "BtnRecovery" may be enabled (the run's own state aside).
  bool CanRecover() const;

  // Every entry, groups and items, in build order: category by category; an app category as
  // its group, then each app's group followed by its files. The recovery run exports the
  // entries with group 0, ticked 1 and reserved 0.
  const std::vector<const SelectionEntry*>& Entries() const { return entries_; }
  const SelectionEntry* EntryOf(const void* item) const;
  std::uint32_t TickedItemCount() const;

 private:
  struct Category;

  Category* StartCategory(CategoryCode code, const void* container, std::size_t count);
  void AddItem(Category& category, SelectionEntry& group, const void* item, std::uint64_t size,
               bool deleted);
  void FinishCategory(Category& category);
  void DropCategory(CategoryCode code);
  void SetTicked(SelectionEntry& entry, bool ticked);
  void TickGroup(Category& category, SelectionEntry& group, bool ticked);
  void RefreshGroupFlags(Category& category);
  Category* Find(std::int32_t code) const;

  std::unique_ptr<Counter> root_;
  std::array<std::unique_ptr<Category>, 12> categories_;  // by code; 0 unused
  std::unordered_map<const void*, SelectionEntry*> byItem_;
  std::unordered_set<const SelectionEntry*> hidden_;
  std::vector<const SelectionEntry*> entries_;
  std::uint64_t totalSize_ = 0;
  std::uint64_t tickedSize_ = 0;
};

}  // namespace kestrio
