#include "scan/selection_model.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "base/text.h"

namespace kestrio {
namespace {

constexpr std::uint64_t kMinimumItemSize = 1024;

// The counted size of an item: the 32-bit field's range, and never below 1024.
std::uint32_t CountedSize(std::uint64_t size) {
  size = std::min<std::uint64_t>(size, std::numeric_limits<std::uint32_t>::max());
  return static_cast<std::uint32_t>(std::max(size, kMinimumItemSize));
}

std::uint64_t TextSize(std::string_view a, std::string_view b = {}) {
  return std::uint64_t{Utf8Length(a)} + Utf8Length(b);
}

void Step(std::uint32_t& value, bool up, std::uint32_t limit) {
  if (up) {
    if (value < limit) ++value;
  } else if (value > 0) {
    --value;
  }
}

}  // namespace

struct SelectionModel::Category {
  CategoryCode code = kCodeCameraRoll;
  std::vector<std::unique_ptr<Counter>> counters;  // [0] is the category's own
  std::vector<std::unique_ptr<SelectionEntry>> owned;
  SelectionEntry* group = nullptr;
  std::map<std::string, SelectionEntry*> apps;  // App Photos and App Videos only
  std::vector<SelectionEntry*> items;           // in list order
  Counter* counter() const { return counters.front().get(); }
};

SelectionModel::SelectionModel() { Reset(); }
SelectionModel::~SelectionModel() = default;

void SelectionModel::Reset() {
  for (auto& category : categories_) category.reset();
  byItem_.clear();
  hidden_.clear();
  entries_.clear();
  totalSize_ = 0;
  tickedSize_ = 0;
  root_ = std::make_unique<Counter>();
}

SelectionModel::Category* SelectionModel::Find(std::int32_t code) const {
  if (code < kCodeCameraRoll || code > kCodeWhatsAppAttachments) return nullptr;
  return categories_[static_cast<std::size_t>(code)].get();
}

SelectionModel::Category* SelectionModel::StartCategory(CategoryCode code, const void* container,
                                                        std::size_t count) {
  DropCategory(code);
  auto category = std::make_unique<Category>();
  category->code = code;
  auto& counter = *category->counters.emplace_back(std::make_unique<Counter>());
  counter.total = counter.ticked = static_cast<std::uint32_t>(count);
  counter.parent = root_.get();
  root_->children.push_back(&counter);

  auto& group = *category->owned.emplace_back(std::make_unique<SelectionEntry>());
  group.group = 1;
  group.counter = &counter;
  group.item = container;
  category->group = &group;
  byItem_[container] = &group;
  entries_.push_back(&group);

  Category* result = category.get();
  categories_[static_cast<std::size_t>(code)] = std::move(category);
  return result;
}

void SelectionModel::AddItem(Category& category, SelectionEntry& group, const void* item,
                             std::uint64_t size, bool deleted) {
  auto& entry = *category.owned.emplace_back(std::make_unique<SelectionEntry>());
  const std::uint32_t counted = CountedSize(size);
  entry.deleted = deleted ? 1 : 0;
  entry.categoryCode = category.code;
  entry.size = static_cast<std::int32_t>(counted);
  entry.counter = group.counter;
  entry.item = item;
  group.children.push_back(&entry);
  category.items.push_back(&entry);
  byItem_[item] = &entry;
  entries_.push_back(&entry);
  totalSize_ += counted;
  tickedSize_ += counted;
}

void SelectionModel::FinishCategory(Category& category) {
  root_->total += category.counter()->total;
  root_->ticked += category.counter()->ticked;
}

void SelectionModel::DropCategory(CategoryCode code) {
  Category* category = Find(code);
  if (category == nullptr) return;
  std::unordered_set<const SelectionEntry*> dropped;
  for (const auto& entry : category->owned) {
    dropped.insert(entry.get());
    const auto found = byItem_.find(entry->item);
    if (found != byItem_.end() && found->second == entry.get()) byItem_.erase(found);
    hidden_.erase(entry.get());
  }
  std::erase_if(entries_, [&](const SelectionEntry* entry) { return dropped.contains(entry); });
  for (const SelectionEntry* item : category->items) {
    totalSize_ -= std::min<std::uint64_t>(totalSize_, EntrySize(*item));
    if (item->ticked != 0) tickedSize_ -= std::min<std::uint64_t>(tickedSize_, EntrySize(*item));
  }
  std::erase(root_->children, category->counter());
  categories_[static_cast<std::size_t>(code)].reset();
  ResumRoot();
}

void SelectionModel::BuildFiles(CategoryCode code, const std::vector<FileRecord>& files) {
  if (code != kCodeCameraRoll && code != kCodePhotoStream && code != kCodeWhatsAppAttachments) {
    return;
  }
  Category& category = *StartCategory(code, &files, files.size());
  // A Camera Roll file in "Recently Deleted" counts as deleted.
  for (const FileRecord& file : files)
    AddItem(category, *category.group, &file, file.size, file.deleted);
  FinishCategory(category);
}

void SelectionModel::BuildAttachments(const std::vector<AttachmentFileRecord>& files) {
  Category& category = *StartCategory(kCodeMessageAttachments, &files, files.size());
  for (const auto& file : files) AddItem(category, *category.group, &file, file.size, false);
  FinishCategory(category);
}

void SelectionModel::BuildAppFiles(CategoryCode code, const AppFileMap& byApp) {
  if (code != kCodeAppPhotos && code != kCodeAppVideos) return;
  std::size_t count = 0;
  for (const auto& [app, files] : byApp) count += files.size();
  Category& category = *StartCategory(code, &byApp, count);
  for (const auto& appEntry : byApp) {
    auto& counter = *category.counters.emplace_back(std::make_unique<Counter>());
    counter.total = counter.ticked = static_cast<std::uint32_t>(appEntry.second.size());
    counter.parent = category.counter();
    category.counter()->children.push_back(&counter);

    auto& group = *category.owned.emplace_back(std::make_unique<SelectionEntry>());
    group.group = 1;
    group.counter = &counter;
    group.item = &appEntry;
    category.group->children.push_back(&group);
    category.apps[appEntry.first] = &group;
    byItem_[&appEntry] = &group;
    entries_.push_back(&group);
    for (const AppFileRecord& file : appEntry.second) {
      AddItem(category, group, &file, file.size, false);
    }
  }
  FinishCategory(category);
}

void SelectionModel::BuildConversations(const std::vector<MessageRecord>& rows) {
  Category& category = *StartCategory(kCodeMessages, &rows, rows.size());
  for (const auto& row : rows)
    AddItem(category, *category.group, &row, TextSize(row.text), row.deleted);
  FinishCategory(category);
}

void SelectionModel::BuildContacts(const std::vector<ContactRecord>& contacts) {
  Category& category = *StartCategory(kCodeContacts, &contacts, contacts.size());
  for (const auto& contact : contacts) {
    AddItem(category, *category.group, &contact, TextSize(contact.phones, contact.fullName),
            contact.deleted);
  }
  FinishCategory(category);
}

void SelectionModel::BuildCalls(const std::vector<CallRecord>& calls) {
  Category& category = *StartCategory(kCodeCallHistory, &calls, calls.size());
  for (const auto& call : calls) {
    AddItem(category, *category.group, &call, TextSize(call.number, call.contactName),
            call.deleted);
  }
  FinishCategory(category);
}

void SelectionModel::BuildNotes(const std::vector<NoteRecord>& notes) {
  Category& category = *StartCategory(kCodeNotes, &notes, notes.size());
  for (const auto& note : notes) {
    AddItem(category, *category.group, &note, TextSize(note.body), note.deleted);
  }
  FinishCategory(category);
}

void SelectionModel::BuildWhatsAppChats(const std::vector<WhatsAppMessageRecord>& rows) {
  Category& category = *StartCategory(kCodeWhatsApp, &rows, rows.size());
  for (const auto& row : rows)
    AddItem(category, *category.group, &row, TextSize(row.text), row.deleted);
  FinishCategory(category);
}

void SelectionModel::SetTicked(SelectionEntry& entry, bool ticked) {
  if ((entry.ticked != 0) == ticked) return;
  entry.ticked = ticked ? 1 : 0;
  const bool hidden = hidden_.contains(&entry);
  for (Counter* counter = entry.counter; counter != nullptr; counter = counter->parent) {
    Step(counter->ticked, ticked, counter->total);
    if (hidden) Step(counter->tickedFiltered, ticked, counter->filtered);
  }
  const std::uint64_t size = EntrySize(entry);
  if (ticked) {
    tickedSize_ = std::min(tickedSize_ + size, totalSize_);
  } else {
    tickedSize_ -= std::min(tickedSize_, size);
  }
}

void SelectionModel::TickGroup(Category& category, SelectionEntry& group, bool ticked) {
  for (SelectionEntry* child : group.children) {
    if (child->group != 0) {
      TickGroup(category, *child, ticked);
    } else {
      SetTicked(*child, ticked);
    }
  }
  group.ticked = ticked ? 1 : 0;
}

// A group is ticked while anything below it is; an empty group keeps the state it was given.
void SelectionModel::RefreshGroupFlags(Category& category) {
  auto refresh = [](SelectionEntry& group) {
    if (group.counter->total > 0) group.ticked = group.counter->ticked > 0 ? 1 : 0;
  };
  for (auto& [app, group] : category.apps) refresh(*group);
  refresh(*category.group);
}

bool SelectionModel::TickItem(const void* item, bool ticked) {
  const auto found = byItem_.find(item);
  if (found == byItem_.end()) return false;
  SelectionEntry& entry = *found->second;
  for (auto& category : categories_) {
    if (category == nullptr) continue;
    const bool owns = entry.group == 0
                          ? entry.categoryCode == category->code
                          : std::any_of(category->owned.begin(), category->owned.end(),
                                        [&](const auto& owned) { return owned.get() == &entry; });
    if (!owns) continue;
    if (entry.group != 0) {
      TickGroup(*category, entry, ticked);
    } else {
      SetTicked(entry, ticked);
    }
    RefreshGroupFlags(*category);
    return true;
  }
  return false;
}

void SelectionModel::TickCategory(CategoryCode code, bool ticked) {
  Category* category = Find(code);
  if (category == nullptr) return;
  TickGroup(*category, *category->group, ticked);
  RefreshGroupFlags(*category);
}

void SelectionModel::TickApp(CategoryCode code, const std::string& app, bool ticked) {
  Category* category = Find(code);
  if (category == nullptr) return;
  const auto found = category->apps.find(app);
  if (found == category->apps.end()) return;
  TickGroup(*category, *found->second, ticked);
  RefreshGroupFlags(*category);
}

void SelectionModel::ApplyFilter(CategoryCode code, bool deletedOnly) {
  Category* category = Find(code);
  if (category == nullptr) return;
  for (SelectionEntry* entry : category->items) {
    if (entry->deleted != 0 || hidden_.contains(entry) == deletedOnly) continue;
    if (deletedOnly) {
      hidden_.insert(entry);
    } else {
      hidden_.erase(entry);
    }
    for (Counter* counter = entry->counter; counter != nullptr; counter = counter->parent) {
      Step(counter->filtered, deletedOnly, counter->total);
      if (entry->ticked != 0) Step(counter->tickedFiltered, deletedOnly, counter->filtered);
    }
  }
}

bool SelectionModel::Hidden(const void* item) const {
  const SelectionEntry* entry = EntryOf(item);
  return entry != nullptr && hidden_.contains(entry);
}

void SelectionModel::ResumRoot() {
  Counter sum;
  for (const Counter* child : root_->children) {
    sum.total += child->total;
    sum.ticked += child->ticked;
    sum.filtered += child->filtered;
    sum.tickedFiltered += child->tickedFiltered;
  }
  root_->total = sum.total;
  root_->ticked = sum.ticked;
  root_->filtered = sum.filtered;
  root_->tickedFiltered = sum.tickedFiltered;
}

TickState SelectionModel::CategoryTickState(CategoryCode code) const {
  const Category* category = Find(code);
  if (category == nullptr) return TickState::kNone;
  const Counter& counter = *category->counter();
  if (counter.total == 0) return category->group->ticked != 0 ? TickState::kAll : TickState::kNone;
  if (counter.ticked == 0) return TickState::kNone;
  return counter.ticked >= counter.total ? TickState::kAll : TickState::kSome;
}

const Counter* SelectionModel::CategoryCounter(CategoryCode code) const {
  const Category* category = Find(code);
  return category == nullptr ? nullptr : category->counter();
}

StatisticsText SelectionModel::Text() const {
  const std::uint32_t shown =
      root_->ticked > root_->tickedFiltered ? root_->ticked - root_->tickedFiltered : 0;
  return {tickedSize_, shown, totalSize_, root_->total};
}

bool SelectionModel::CanRecover() const { return root_->ticked > root_->tickedFiltered; }

const SelectionEntry* SelectionModel::EntryOf(const void* item) const {
  const auto found = byItem_.find(item);
  return found == byItem_.end() ? nullptr : found->second;
}

std::uint32_t SelectionModel::TickedItemCount() const { return root_->ticked; }

}  // namespace kestrio
