#include "output/item_list.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "output/formatters.h"

namespace kestrio {
namespace {

// The columns of each layout, in the order of ListLayout. Hidden columns are left out. A
// date is given the room its "2020-01-31 10:00:00" takes in the list's font.
constexpr ListColumn kFileColumns[] = {{"File Name", 200}, {"File Size", 0}};
constexpr ListColumn kAppColumns[] = {{"App Name", 300}, {"Type", 0}};
constexpr ListColumn kAppFileColumns[] = {{"File Name", 200}, {"App Name", 200}, {"Size", 0}};
constexpr ListColumn kConversationColumns[] = {
    {"User Name", 130}, {"Phone Number", 120}, {"Date", 160}, {"Message", 0, false, true}};
constexpr ListColumn kAttachmentColumns[] = {{"File Name", 300}, {"File Size", 0}};
constexpr ListColumn kContactColumns[] = {{"Name", 100, true, true},
                                          {"Company", 100, false, true},
                                          {"Phone", 100, true, true},
                                          {"Email", 100, true, true},
                                          {"Home Page", 0, false, true}};
constexpr ListColumn kCallColumns[] = {{"User Name", 150},   {"Phone Number", 150}, {"Date", 160},
                                       {"Call Status", 100}, {"Duration", 100},     {"Status", 0}};
constexpr ListColumn kNoteColumns[] = {
    {"Title", 100, false, true}, {"Date", 160}, {"Note", 0, false, true}};
constexpr ListColumn kChatColumns[] = {
    {"Chats", 150, false, true}, {"Name", 150, true, true}, {"Phone", 0, true, true}};

ListLayout LayoutOf(CategoryCode code) {
  switch (code) {
    case kCodeAppPhotos:
    case kCodeAppVideos:
      return ListLayout::kApps;
    case kCodeMessages:
      return ListLayout::kConversations;
    case kCodeMessageAttachments:
    case kCodeWhatsAppAttachments:
      return ListLayout::kAttachments;
    case kCodeContacts:
      return ListLayout::kContacts;
    case kCodeCallHistory:
      return ListLayout::kCalls;
    case kCodeNotes:
      return ListLayout::kNotes;
    case kCodeWhatsApp:
      return ListLayout::kChats;
    default:
      return ListLayout::kFiles;
  }
}

const AppFileMap* AppsOf(const ScanResults& results, CategoryCode code) {
  if (code == kCodeAppPhotos) return &results.appPhotos;
  if (code == kCodeAppVideos) return &results.appVideos;
  return nullptr;
}

RowIcon IconOfName(std::string_view name) {
  return ClassifyAppFile(name) == AppMediaKind::kVideo ? RowIcon::kVideo : RowIcon::kPhoto;
}

}  // namespace

ScanCategory CategoryOfCode(CategoryCode code) {
  switch (code) {
    case kCodePhotoStream:
      return ScanCategory::kPhotoStream;
    case kCodeAppPhotos:
      return ScanCategory::kAppPhotos;
    case kCodeAppVideos:
      return ScanCategory::kAppVideos;
    case kCodeMessages:
      return ScanCategory::kMessages;
    case kCodeMessageAttachments:
      return ScanCategory::kMessageAttachments;
    case kCodeContacts:
      return ScanCategory::kContacts;
    case kCodeCallHistory:
      return ScanCategory::kCallHistory;
    case kCodeNotes:
      return ScanCategory::kNotes;
    case kCodeWhatsApp:
      return ScanCategory::kWhatsApp;
    case kCodeWhatsAppAttachments:
      return ScanCategory::kWhatsAppAttachments;
    default:
      return ScanCategory::kCameraRoll;
  }
}

CategoryCode CodeOfCategory(ScanCategory category) {
  for (int code = kCodeCameraRoll; code <= kCodeWhatsAppAttachments; ++code) {
    if (CategoryOfCode(static_cast<CategoryCode>(code)) == category)
      return static_cast<CategoryCode>(code);
  }
  return kCodeCameraRoll;
}

std::size_t ListedCount(const ScanResults& results, CategoryCode code) {
  switch (code) {
    case kCodeMessages:
      return results.conversationRows.size();
    case kCodeWhatsApp:
      return results.whatsAppRows.size();
    case kCodeAppPhotos:
      return results.appPhotos.size();
    case kCodeAppVideos:
      return results.appVideos.size();
    default:
      return code >= kCodeCameraRoll && code <= kCodeWhatsAppAttachments
                 ? results.Count(CategoryOfCode(code))
                 : 0;
  }
}

ItemList::ItemList(const ScanResults& results, CategoryCode code)
    : layout_(LayoutOf(code)), code_(code), results_(results) {
  switch (layout_) {
    case ListLayout::kFiles:
      files_ = code == kCodeCameraRoll    ? &results.cameraRoll
               : code == kCodePhotoStream ? &results.photoStream
                                          : nullptr;
      size_ = files_ ? files_->size() : 0;
      break;
    case ListLayout::kAttachments:
      if (code == kCodeMessageAttachments) {
        attachments_ = &results.messageAttachments;
        size_ = attachments_->size();
      } else {
        files_ = &results.whatsAppAttachments;
        size_ = files_->size();
      }
      break;
    case ListLayout::kApps:
      apps_ = AppsOf(results, code);
      for (const auto& entry : *apps_) appRows_.push_back(&entry);
      size_ = appRows_.size();
      break;
    case ListLayout::kConversations:
      size_ = results.conversationRows.size();
      break;
    case ListLayout::kContacts:
      size_ = results.contacts.size();
      break;
    case ListLayout::kCalls:
      size_ = results.callHistory.size();
      break;
    case ListLayout::kNotes:
      size_ = results.notes.size();
      break;
    case ListLayout::kChats:
      size_ = results.whatsAppRows.size();
      break;
    case ListLayout::kAppFiles:
      break;
  }
  Finish();
}

ItemList::ItemList(const ScanResults& results, CategoryCode code, const std::string& app)
    : layout_(ListLayout::kAppFiles), code_(code), results_(results) {
  if (const AppFileMap* apps = AppsOf(results, code)) {
    const auto found = apps->find(app);
    if (found != apps->end()) {
      appFiles_ = &found->second;
      size_ = appFiles_->size();
    }
  }
  Finish();
}

void ItemList::Finish() {
  order_.resize(size_);
  std::iota(order_.begin(), order_.end(), 0u);
  for (std::uint32_t i = 0; i < size_; ++i) deletedCount_ += DeletedAt(i) ? 1 : 0;
  shown_ = order_;
}

std::span<const ListColumn> ItemList::Columns() const {
  switch (layout_) {
    case ListLayout::kFiles:
      return kFileColumns;
    case ListLayout::kApps:
      return kAppColumns;
    case ListLayout::kAppFiles:
      return kAppFileColumns;
    case ListLayout::kConversations:
      return kConversationColumns;
    case ListLayout::kAttachments:
      return kAttachmentColumns;
    case ListLayout::kContacts:
      return kContactColumns;
    case ListLayout::kCalls:
      return kCallColumns;
    case ListLayout::kNotes:
      return kNoteColumns;
    case ListLayout::kChats:
      return kChatColumns;
  }
  return kFileColumns;
}

bool ItemList::Filterable() const {
  switch (layout_) {
    case ListLayout::kFiles:  // photos in "Recently Deleted" are marked deleted
    case ListLayout::kConversations:
    case ListLayout::kContacts:
    case ListLayout::kCalls:
    case ListLayout::kNotes:
    case ListLayout::kChats:
      return true;
    default:
      return false;
  }
}

bool ItemList::DeletedAt(std::uint32_t index) const {
  switch (layout_) {
    case ListLayout::kFiles:
      return (*files_)[index].deleted;
    case ListLayout::kAttachments:
      return files_ != nullptr && (*files_)[index].deleted;
    case ListLayout::kConversations:
      return results_.conversationRows[index].deleted;
    case ListLayout::kContacts:
      return results_.contacts[index].deleted;
    case ListLayout::kCalls:
      return results_.callHistory[index].deleted;
    case ListLayout::kNotes:
      return results_.notes[index].deleted;
    case ListLayout::kChats:
      return results_.whatsAppRows[index].deleted;
    case ListLayout::kApps:
    case ListLayout::kAppFiles:
      return false;
  }
  return false;
}

const void* ItemList::ItemAt(std::uint32_t index) const {
  switch (layout_) {
    case ListLayout::kFiles:
      return &(*files_)[index];
    case ListLayout::kAttachments:
      return files_ ? static_cast<const void*>(&(*files_)[index]) : &(*attachments_)[index];
    case ListLayout::kApps:
      return appRows_[index];
    case ListLayout::kAppFiles:
      return &(*appFiles_)[index];
    case ListLayout::kConversations:
      return &results_.conversationRows[index];
    case ListLayout::kContacts:
      return &results_.contacts[index];
    case ListLayout::kCalls:
      return &results_.callHistory[index];
    case ListLayout::kNotes:
      return &results_.notes[index];
    case ListLayout::kChats:
      return &results_.whatsAppRows[index];
  }
  return nullptr;
}

const void* ItemList::Item(std::size_t row) const {
  return row < shown_.size() ? ItemAt(Index(row)) : nullptr;
}

bool ItemList::Deleted(std::size_t row) const {
  return row < shown_.size() && DeletedAt(Index(row));
}

std::size_t ItemList::RowOf(const void* item) const {
  for (std::size_t row = 0; row < shown_.size(); ++row) {
    if (ItemAt(Index(row)) == item) return row;
  }
  return shown_.size();
}

RowIcon ItemList::Icon(std::size_t row) const {
  if (row >= shown_.size()) return RowIcon::kNone;
  const std::uint32_t index = Index(row);
  if (DeletedAt(index)) return RowIcon::kDeleted;
  switch (layout_) {
    case ListLayout::kApps:
      return RowIcon::kFolder;
    case ListLayout::kAppFiles:
      return code_ == kCodeAppVideos ? RowIcon::kVideo : RowIcon::kPhoto;
    case ListLayout::kFiles:
    case ListLayout::kAttachments:
      return IconOfName(files_ ? (*files_)[index].name : (*attachments_)[index].name);
    default:
      return RowIcon::kNone;
  }
}

std::string_view ItemList::App(std::size_t row) const {
  if (layout_ != ListLayout::kApps || row >= shown_.size()) return {};
  return appRows_[Index(row)]->first;
}

bool ItemList::NumericColumn(std::size_t column) const {
  switch (layout_) {
    case ListLayout::kFiles:
    case ListLayout::kAttachments:
      return column == 1;
    case ListLayout::kAppFiles:
      return column == 2;
    case ListLayout::kCalls:
      return column == 4;
    default:
      return false;
  }
}

std::int64_t ItemList::Number(std::uint32_t index, std::size_t column) const {
  switch (layout_) {
    case ListLayout::kFiles:
      return (*files_)[index].size;
    case ListLayout::kAttachments:
      return files_ ? (*files_)[index].size : (*attachments_)[index].size;
    case ListLayout::kAppFiles:
      return (*appFiles_)[index].size;
    case ListLayout::kCalls: {
      // Missed and canceled calls sort below every call that lasted.
      const CallRecord& call = results_.callHistory[index];
      return call.Missed() ? -1 : call.durationSeconds;
    }
    default:
      (void)column;
      return 0;
  }
}

// The text of a column where the record holds it as it is shown; empty for the columns that
// are formatted (sizes, durations).
std::string_view ItemList::Field(std::uint32_t index, std::size_t column) const {
  switch (layout_) {
    case ListLayout::kFiles:
    case ListLayout::kAttachments:
      if (column != 0) return {};
      return files_ ? std::string_view((*files_)[index].name)
                    : std::string_view((*attachments_)[index].name);
    case ListLayout::kApps:
      return column == 0 ? std::string_view(appRows_[index]->first) : "Folder";
    case ListLayout::kAppFiles: {
      const AppFileRecord& file = (*appFiles_)[index];
      return column == 0   ? std::string_view(file.name)
             : column == 1 ? std::string_view(file.app)
                           : std::string_view();
    }
    case ListLayout::kConversations: {
      // A group chat's last message may have no one's name: the chat's members then.
      const MessageRecord& m = results_.conversationRows[index];
      const std::string_view fields[] = {m.contactName.empty() ? m.conversation : m.contactName,
                                         m.address, m.dateText, m.text};
      return column < 4 ? fields[column] : std::string_view();
    }
    case ListLayout::kContacts: {
      const ContactRecord& c = results_.contacts[index];
      const std::string* fields[] = {&c.fullName, &c.company, &c.phones, &c.email, &c.homePage};
      return column < 5 ? std::string_view(*fields[column]) : std::string_view();
    }
    case ListLayout::kCalls: {
      const CallRecord& call = results_.callHistory[index];
      switch (column) {
        case 0:
          return call.contactName;
        case 1:
          return call.number;
        case 2:
          return call.dateText;
        case 3:
          return call.isIncoming ? "Incoming" : "Outgoing";
        case 5:
          return call.deleted ? "Deleted" : "Normal";
        default:
          return {};
      }
    }
    case ListLayout::kNotes: {
      const NoteRecord& note = results_.notes[index];
      const std::string* fields[] = {&note.title, &note.dateText, &note.body};
      return column < 3 ? std::string_view(*fields[column]) : std::string_view();
    }
    case ListLayout::kChats: {
      const WhatsAppMessageRecord& chat = results_.whatsAppRows[index];
      switch (column) {
        case 0:
          return chat.partnerName;
        case 1:
          return chat.chatNames.empty() ? chat.senderName : chat.chatNames;
        case 2:
          return chat.chatIds.empty() ? chat.senderId : chat.chatIds;
        default:
          return {};
      }
    }
  }
  return {};
}

std::string ItemList::Text(std::size_t row, std::size_t column) const {
  if (row >= shown_.size() || column >= Columns().size()) return {};
  const std::uint32_t index = Index(row);
  if (NumericColumn(column)) {
    if (layout_ == ListLayout::kCalls) return CallDurationText(results_.callHistory[index]);
    return FormatSize(Number(index, column));
  }
  return std::string(Field(index, column));
}

void ItemList::SortBy(std::size_t column, bool descending) {
  std::iota(order_.begin(), order_.end(), 0u);
  if (column < Columns().size()) {
    if (NumericColumn(column)) {
      std::vector<std::int64_t> keys(size_);
      for (std::uint32_t i = 0; i < size_; ++i) keys[i] = Number(i, column);
      std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return descending ? keys[b] < keys[a] : keys[a] < keys[b];
      });
    } else {
      std::vector<std::string_view> keys(size_);
      for (std::uint32_t i = 0; i < size_; ++i) keys[i] = Field(i, column);
      std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return descending ? keys[b] < keys[a] : keys[a] < keys[b];
      });
    }
  }
  SetDeletedOnly(deletedOnly_);
}

void ItemList::SetDeletedOnly(bool on) {
  deletedOnly_ = on && Filterable();
  if (!deletedOnly_) {
    shown_ = order_;
    return;
  }
  shown_.clear();
  shown_.reserve(deletedCount_);
  for (std::uint32_t index : order_) {
    if (DeletedAt(index)) shown_.push_back(index);
  }
}

}  // namespace kestrio
