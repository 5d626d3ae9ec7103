// What the preview pane shows for the row selected in an item list: a stored file (picture,
// sound or video, copied out first), a note as coloured text runs, a conversation or a chat as
// message bubbles, or a contact as a card. Everything here is plain data built from the scan's
// results; the desktop pane only draws it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/item_list.h"
#include "scan/scan_run.h"

namespace kestrio {

// Which of its two faces the pane shows: rich text (notes, pictures) or a list (bubbles, the
// contact card); hidden for categories without a preview.
enum class PreviewArea { kHidden, kText, kList };

// The face a category's list opens with, before a row is selected: the file categories and
// Notes text, Messages and WhatsApp the list; Contacts (until a card is shown), App Photos,
// App Videos (whose list shows apps first) and Call History none.
PreviewArea CategoryPreviewArea(CategoryCode code);

enum class PreviewContent { kNone, kFile, kNote, kConversation, kChat, kContact };

// What selecting `row` of `list` shows. The app list of App Photos and App Videos and the
// call list show nothing; the files of one app are files.
PreviewContent ContentOfRow(const ItemList& list, std::size_t row);

struct PreviewFile {
  std::filesystem::path path;  // the stored file
  std::string name;            // as the list shows it
};

// The stored file of a file row; nothing for rows of other kinds.
std::optional<PreviewFile> FileOfRow(const ItemList& list, std::size_t row);

// A piece of text with its colour (0xRRGGBB), or the text box's own colour.
inline constexpr std::uint32_t kDefaultColour = 0xFFFFFFFF;
inline constexpr std::uint32_t kSeparatorColour = 0xD7D7D7;
inline constexpr std::uint32_t kHeadingColour = 0x404040;
inline constexpr std::uint32_t kDeletedColour = 0xF37302;

struct TextRun {
  std::string text;
  std::uint32_t colour = kDefaultColour;
};

// A note as the text box shows it: a separator line, "Title:" and the title, the folder when
// the note has one, a lock line for a password-protected note, "Note:" and the body. The
// headings are in the deleted colour for a deleted note.
std::vector<TextRun> NoteRuns(const NoteRecord& note);

struct Bubble {
  bool sent = false;     // the owner's own message: drawn on the right
  bool deleted = false;  // drawn in the deleted colour
  std::string header;    // "<date> Me:" or "<date> <sender>:"
  std::string text;
  // Stored files of the message's attachments that are pictures and are in the backup, for
  // thumbnails.
  std::vector<std::filesystem::path> pictures;
};

// The messages of the conversation a Messages row stands for, in stored order. A sender
// without a name in the address book is shown by its number.
std::vector<Bubble> ConversationBubbles(const ScanResults& results, const MessageRecord& row);
// The messages of the chat a WhatsApp row stands for; a sender without a name by its number.
std::vector<Bubble> ChatBubbles(const ScanResults& results, const WhatsAppMessageRecord& row);

// One line of a contact card, shown only when the contact has that field: the names of its
// label and value controls, and the value (lines joined by line feeds, as stored).
struct CardLine {
  std::string_view labelControl;
  std::string_view valueControl;
  std::string value;
};

// The card's label and value controls, in the card's order: phones, e-mail, address, web
// page, social, company.
struct CardControls {
  std::string_view label;
  std::string_view value;
};
inline constexpr CardControls kCardControls[] = {
    {"LblPhoneDesc", "TxtPhone"}, {"LblEmailDesc", "TxtEmail"},   {"LblAddressDesc", "TxtAddress"},
    {"LblUrlDesc", "TxtUrl"},     {"LblSocialDesc", "TxtSocial"}, {"LblCompanyDesc", "TxtCompany"}};

struct ContactCard {
  std::string name;
  bool deleted = false;
  std::vector<CardLine> lines;  // phones, e-mail, address, web page, social, company
};

ContactCard CardOf(const ContactRecord& contact);

}  // namespace kestrio
