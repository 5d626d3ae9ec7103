#include "output/preview.h"

#include <unordered_map>

#include "backup/media_files.h"
#include "base/text.h"

namespace kestrio {

namespace {

constexpr std::string_view kAttachmentFolder = "Library/SMS/Attachments/";

// The part of a message attachment's path from "Library/SMS/Attachments/" on: the database
// stores "~/Library/SMS/Attachments/..." or "/var/mobile/Library/SMS/Attachments/...", the
// backup's index "MediaDomain-Library/SMS/Attachments/...".
std::string_view AttachmentTail(std::string_view path) {
  const std::size_t at = path.find(kAttachmentFolder);
  return at == std::string_view::npos ? std::string_view() : path.substr(at);
}

bool IsPicture(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  return IsListedExtension(kPictureExtensions, AsciiLower(name.substr(dot + 1)));
}

// A message's bubble without its pictures: side, mark, "<date> <sender>:" and text. A sender
// without a name is shown by `number`.
template <typename Record>
Bubble BubbleOf(const Record& message, std::string_view name, std::string_view number) {
  Bubble bubble;
  bubble.sent = message.isFromMe;
  bubble.deleted = message.deleted;
  const std::string_view date = message.dateText;
  const std::string_view who = message.isFromMe ? "Me" : name.empty() ? number : name;
  bubble.header.append(date).append(1, ' ').append(who).append(1, ':');
  bubble.text = message.text;
  return bubble;
}

}  // namespace

PreviewArea CategoryPreviewArea(CategoryCode code) {
  switch (code) {
    case kCodeCameraRoll:
    case kCodePhotoStream:
    case kCodeMessageAttachments:
    case kCodeWhatsAppAttachments:
    case kCodeNotes:
      return PreviewArea::kText;
    case kCodeMessages:
    case kCodeWhatsApp:
      return PreviewArea::kList;
    case kCodeContacts:  // the pane opens with the first card
    case kCodeAppPhotos:
    case kCodeAppVideos:
    case kCodeCallHistory:
      break;
  }
  return PreviewArea::kHidden;
}

PreviewContent ContentOfRow(const ItemList& list, std::size_t row) {
  if (row >= list.RowCount()) return PreviewContent::kNone;
  switch (list.Layout()) {
    case ListLayout::kFiles:
    case ListLayout::kAttachments:
    case ListLayout::kAppFiles:
      return PreviewContent::kFile;
    case ListLayout::kNotes:
      return PreviewContent::kNote;
    case ListLayout::kConversations:
      return PreviewContent::kConversation;
    case ListLayout::kChats:
      return PreviewContent::kChat;
    case ListLayout::kContacts:
      return PreviewContent::kContact;
    case ListLayout::kApps:
    case ListLayout::kCalls:
      break;
  }
  return PreviewContent::kNone;
}

std::optional<PreviewFile> FileOfRow(const ItemList& list, std::size_t row) {
  if (ContentOfRow(list, row) != PreviewContent::kFile) return std::nullopt;
  const void* item = list.Item(row);
  switch (list.Layout()) {
    case ListLayout::kFiles: {
      const auto& file = *static_cast<const FileRecord*>(item);
      return PreviewFile{file.path, file.name};
    }
    case ListLayout::kAttachments: {
      // WhatsApp's attachments are FileRecords, the messages' AttachmentFileRecords.
      if (list.Code() == kCodeWhatsAppAttachments) {
        const auto& file = *static_cast<const FileRecord*>(item);
        return PreviewFile{file.path, file.name};
      }
      const auto& file = *static_cast<const AttachmentFileRecord*>(item);
      return PreviewFile{file.path, file.name};
    }
    case ListLayout::kAppFiles: {
      const auto& file = *static_cast<const AppFileRecord*>(item);
      return PreviewFile{file.path, file.name};
    }
    default:
      return std::nullopt;
  }
}

std::vector<TextRun> NoteRuns(const NoteRecord& note) {
  const std::uint32_t heading = note.deleted ? kDeletedColour : kHeadingColour;
  std::vector<TextRun> runs;
  runs.push_back({"  ---------------------------------------------------  \n", kSeparatorColour});
  runs.push_back({"Title:\n", heading});
  runs.push_back({"    " + note.title + "\n"});
  if (!note.folder.empty()) {
    runs.push_back({"Folder:\n", heading});
    runs.push_back({"    " + note.folder + "\n"});
  }
  if (note.locked) {
    runs.push_back({"Locked:\n", heading});
    runs.push_back({"    The note is protected with a password; its text is encrypted.\n"});
  }
  runs.push_back({"Note:\n ", heading});
  runs.push_back({"    " + note.body});
  return runs;
}

std::vector<Bubble> ConversationBubbles(const ScanResults& results, const MessageRecord& row) {
  std::vector<Bubble> bubbles;
  const auto conversation = results.messages.find(row.conversationId);
  if (conversation == results.messages.end()) return bubbles;

  std::unordered_map<std::string_view, const AttachmentFileRecord*> stored;
  for (const AttachmentFileRecord& file : results.messageAttachments) {
    const std::string_view tail = AttachmentTail(file.key);
    if (!tail.empty()) stored.emplace(tail, &file);
  }

  for (const MessageRecord& message : conversation->second) {
    Bubble bubble = BubbleOf(message, message.contactName, message.address);
    for (const std::string& path : message.attachments) {
      // `stored` has no empty key, so a path outside the attachments folder finds nothing.
      const auto found = stored.find(AttachmentTail(path));
      if (found != stored.end() && IsPicture(path)) bubble.pictures.push_back(found->second->path);
    }
    bubbles.push_back(std::move(bubble));
  }
  return bubbles;
}

std::vector<Bubble> ChatBubbles(const ScanResults& results, const WhatsAppMessageRecord& row) {
  std::vector<Bubble> bubbles;
  const auto chat = results.whatsApp.find(row.sessionId);
  if (chat == results.whatsApp.end()) return bubbles;

  std::unordered_map<std::string_view, const FileRecord*> stored;
  for (const FileRecord& file : results.whatsAppAttachments) {
    if (file.sessionId == row.sessionId) stored.emplace(file.name, &file);
  }

  for (const WhatsAppMessageRecord& message : chat->second) {
    Bubble bubble = BubbleOf(message, message.senderName, message.senderId);
    if (!message.mediaFile.empty() && IsPicture(message.mediaFile)) {
      const auto found = stored.find(message.mediaFile);
      if (found != stored.end()) bubble.pictures.push_back(found->second->path);
    }
    bubbles.push_back(std::move(bubble));
  }
  return bubbles;
}

ContactCard CardOf(const ContactRecord& contact) {
  ContactCard card;
  card.name = contact.fullName;
  card.deleted = contact.deleted;
  const std::string* fields[] = {&contact.phones,   &contact.email,  &contact.postalAddress,
                                 &contact.homePage, &contact.social, &contact.company};
  static_assert(std::size(fields) == std::size(kCardControls));
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    if (!fields[i]->empty())
      card.lines.push_back({kCardControls[i].label, kCardControls[i].value, *fields[i]});
  }
  return card;
}

}  // namespace kestrio
