#include "output/reports.h"

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <system_error>

#include "backup/media_files.h"
#include "base/text.h"
#include "base/text_file.h"
#include "output/formatters.h"

namespace kestrio {
namespace {

constexpr std::string_view kTitlePlaceholder = "{|title|}";
constexpr std::string_view kContentPlaceholder = "{|content|}";
constexpr std::string_view kPersonPlaceholder = "{|person|}";
// A sender shown under this name in a backup is shown by number instead.
constexpr std::string_view kUnknownName = "Unknown";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Folder errors are not returned: the open that follows reports the reason.
void CreateParentFolders(const std::filesystem::path& path) {
  std::error_code ignored;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
}

FilePtr OpenForWriting(const std::filesystem::path& path, Result& error) {
  CreateParentFolders(path);
  FilePtr file(std::fopen(path.c_str(), "wb"));
  error = file ? kResultOk : LastSystemResult();
  return file;
}

Result WriteAndClose(FilePtr file, std::initializer_list<std::string_view> pieces) {
  Result result = kResultOk;
  for (const std::string_view piece : pieces) {
    if (result == kResultOk && !piece.empty() &&
        std::fwrite(piece.data(), 1, piece.size(), file.get()) != piece.size())
      result = LastSystemResult();
  }
  if (std::fclose(file.release()) != 0 && result == kResultOk) result = LastSystemResult();
  return result;
}

// Replaces each occurrence left to right; inserted text is never searched again, so a value
// holding the placeholder itself cannot loop.
std::string ReplaceAll(std::string_view text, std::string_view placeholder,
                       std::string_view value) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(placeholder, from)) != std::string_view::npos;
       from = at + placeholder.size()) {
    out.append(text.substr(from, at - from)).append(value);
  }
  out.append(text.substr(from));
  return out;
}

// The name and number a message is shown under: the conversation's contact and address, or
// WhatsApp's sender.
std::string_view NameOf(const MessageRecord& m) { return m.contactName; }
std::string_view NumberOf(const MessageRecord& m) { return m.address; }
std::string_view NameOf(const WhatsAppMessageRecord& m) { return m.senderName; }
std::string_view NumberOf(const WhatsAppMessageRecord& m) { return m.senderId; }

// What a message shows as its content: the text, then an edit mark, each attachment and the
// tapbacks it got. A plain message shows its text alone.
std::string ContentOf(const MessageRecord& m) {
  if (!m.edited && m.attachments.empty() && m.reactions.empty()) return m.text;
  std::string content = m.text;
  if (m.edited && !m.unsent) content += " (edited)";
  for (const std::string& path : m.attachments) {
    if (!content.empty()) content += '\n';
    content.append("Attachment: ").append(path);
  }
  if (!m.reactions.empty()) {
    if (!content.empty()) content += '\n';
    content += m.reactions;
  }
  return content;
}
const std::string& ContentOf(const WhatsAppMessageRecord& m) { return m.text; }

// Where a report page of a WhatsApp chat ("WhatsApp Message/<chat>/<page>.html") finds the
// recovered copy of an attachment ("WhatsApp Attachments/<name>"), as a URL path: every byte
// but the unreserved ones percent-encoded, so that no name can end the attribute or add a
// folder ("/"). Listed names always end in ".<type>", so none is a dot segment.
std::string AttachmentLink(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string link = "../../WhatsApp%20Attachments/";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '~' || byte == '.') {
      link += c;
    } else {
      link.append({'%', kHex[byte >> 4], kHex[byte & 0x0F]});
    }
  }
  return link;
}

void AppendMediaHtml(std::string&, const MessageRecord&) {}

// A WhatsApp message's file: a picture shown inline, any other file named with a link to
// it; a file the scan did not find among WhatsApp's files named by its path (unless the text
// already is it).
void AppendMediaHtml(std::string& body, const WhatsAppMessageRecord& m) {
  if (!m.mediaFile.empty()) {
    const std::string_view file = m.mediaFile;
    const std::size_t dot = file.rfind('.');
    const std::string extension =
        dot == std::string_view::npos ? std::string() : AsciiLower(file.substr(dot + 1));
    const std::string link = AttachmentLink(m.mediaFile);
    if (IsListedExtension(kPictureExtensions, extension)) {
      body.append("<br /><img class=\"media\" src=\"").append(link).append("\" alt=\"");
      body.append(HtmlEscape(m.mediaFile)).append("\" />");
    } else {
      body.append("<br /><a class=\"media\" href=\"").append(link).append("\">");
      body.append(HtmlEscape(m.mediaFile)).append("</a>");
    }
    return;
  }
  if (!m.mediaPath.empty() && m.text != m.mediaPath) {
    body.append("<br /><span class=\"media\">File: ");
    body.append(HtmlText(m.mediaPath)).append("</span>");
  }
}

template <typename Record>
bool HasUsableName(const Record& m) {
  return !NameOf(m).empty() && NameOf(m) != kUnknownName;
}

template <typename Record>
void AppendMessageHtml(std::string& body, const Record& m) {
  body += "<div class=\"date\">Date: ";
  body += HtmlText(m.dateText);
  if (m.isFromMe) {
    body += " Me:</div>\r\n";
    body += m.deleted ? "<div class=\"del_send_msg\">" : "<div class=\"send_msg\">";
  } else {
    body += ' ';
    body += HtmlText(HasUsableName(m) ? NameOf(m) : NumberOf(m));
    body += ":</div>\r\n";
    body += m.deleted ? "<div class=\"del_recv_msg\">" : "<div class=\"recv_msg\">";
  }
  body += HtmlText(ContentOf(m));
  AppendMediaHtml(body, m);
  body += "</div>\r\n";
}

template <typename Record>
Result WriteChatHtml(const std::filesystem::path& path, std::string_view personHead,
                     std::string_view tail, const std::vector<Record>& messages,
                     const CopyProgress& progress) {
  Result result = kResultOk;
  FilePtr file = OpenForWriting(path, result);
  if (!file) {
    if (progress) progress(100, result, path);
    return result;
  }
  std::string body;
  Result answer = kResultOk;
  for (std::size_t i = 0; i < messages.size() && answer == kResultOk; ++i) {
    AppendMessageHtml(body, messages[i]);
    if (progress)
      answer =
          progress(static_cast<std::int32_t>((i + 1) * 100 / messages.size()), kResultOk, path);
  }
  result = WriteAndClose(std::move(file), {personHead, body, tail});
  if (answer != kResultOk) {
    if (progress) progress(100, answer, path);
    return answer;
  }
  return result;
}

// "%10s: %s\n": the label right-aligned in ten columns.
void AppendLabelled(std::string& out, std::string_view label, std::string_view value) {
  if (label.size() < 10) out.append(10 - label.size(), ' ');
  out.append(label).append(": ").append(value).append("\n");
}

template <typename Record>
Result WriteChatText(const std::filesystem::path& path, const std::vector<Record>& messages) {
  CreateParentFolders(path);
  TextFileWriter file;
  if (const Result opened = file.Open(path); opened != kResultOk) return opened;
  std::string block;
  for (const Record& m : messages) {
    std::string who(NumberOf(m));
    // A name without a number (the owner's own WhatsApp messages) gets no empty brackets.
    if (HasUsableName(m))
      who = who.empty() ? std::string(NameOf(m)) : std::string(NameOf(m)) + "(" + who + ")";
    block.clear();
    AppendLabelled(block, m.isFromMe ? "To" : "From", who);
    AppendLabelled(block, "Data", m.dateText);
    AppendLabelled(block, "Content", ContentOf(m));
    block += '\n';
    if (const Result written = file.Write(block); written != kResultOk) return written;
  }
  return file.Close();
}

// RFC 4180: quoted only when the field holds a comma, a double quote, CR or LF.
void AppendCsvField(std::string& line, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    line += field;
    return;
  }
  line += '"';
  for (const char c : field) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

void AppendCells(std::string& rows, std::initializer_list<std::string_view> cells) {
  rows += "\t<tr>";
  for (const std::string_view cell : cells)
    rows.append("<td>").append(HtmlText(cell)).append("</td>");
  rows += "</tr>\r\n";
}

}  // namespace

std::string_view TemplateRelativePath(ReportTemplate t) {
  switch (t) {
    case ReportTemplate::kCallHistory:
      return "template/CallHistory.html";
    case ReportTemplate::kNotes:
      return "template/Notes.html";
    case ReportTemplate::kContacts:
      return "template/contacts.html";
    case ReportTemplate::kMessages:
      return "template/Sms.html";
    case ReportTemplate::kWhatsApp:
      return "template/WhatsApp.html";
  }
  return {};
}

std::string_view TemplateTitle(ReportTemplate t) {
  switch (t) {
    case ReportTemplate::kCallHistory:
      return "iPhone's Call History of ";
    case ReportTemplate::kNotes:
      return "iPhone's Notes of ";
    case ReportTemplate::kContacts:
      return "iPhone's Contacts of ";
    case ReportTemplate::kMessages:
      return "iPhone's Messages of ";
    case ReportTemplate::kWhatsApp:
      return "iPhone's WhatsApp Messages of ";
  }
  return {};
}

Result LoadTemplate(ReportTemplate t, const std::filesystem::path& programFolder,
                    std::string_view deviceName, LoadedTemplate& out) {
  const std::filesystem::path path = programFolder / TemplateRelativePath(t);
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return LastSystemResult();
  std::string whole;
  char buffer[16384];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) whole.append(buffer, n);
  // A folder opens on Linux; its read fails with EISDIR.
  if (std::ferror(file.get())) return LastSystemResult();

  const std::size_t content = whole.find(kContentPlaceholder);
  if (content == std::string::npos) return kResultInvalid;
  std::string title(TemplateTitle(t));
  title += deviceName;
  out.head =
      ReplaceAll(std::string_view(whole).substr(0, content), kTitlePlaceholder, HtmlEscape(title));
  out.tail = whole.substr(content + kContentPlaceholder.size());
  out.whole = std::move(whole);
  return kResultOk;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string HtmlText(std::string_view text) { return ReplaceAll(HtmlEscape(text), "\n", "<br />"); }

std::string FillPerson(std::string_view head, std::string_view name, std::string_view number) {
  std::string person = "Name: ";
  person.append(name).append(", Phone: ").append(number);
  return ReplaceAll(head, kPersonPlaceholder, HtmlEscape(person));
}

Result WriteConversationHtml(const std::filesystem::path& path, std::string_view personHead,
                             std::string_view tail, const std::vector<MessageRecord>& messages,
                             const CopyProgress& progress) {
  return WriteChatHtml(path, personHead, tail, messages, progress);
}

Result WriteWhatsAppHtml(const std::filesystem::path& path, std::string_view personHead,
                         std::string_view tail, const std::vector<WhatsAppMessageRecord>& messages,
                         const CopyProgress& progress) {
  return WriteChatHtml(path, personHead, tail, messages, progress);
}

Result WriteConversationText(const std::filesystem::path& path,
                             const std::vector<MessageRecord>& messages) {
  return WriteChatText(path, messages);
}

Result WriteWhatsAppText(const std::filesystem::path& path,
                         const std::vector<WhatsAppMessageRecord>& messages) {
  return WriteChatText(path, messages);
}

Result WriteWhatsAppCsv(const std::filesystem::path& path,
                        const std::vector<WhatsAppMessageRecord>& messages) {
  CreateParentFolders(path);
  TextFileWriter file;
  if (const Result opened = file.Open(path); opened != kResultOk) return opened;
  if (const Result written = file.Write("Chats,Name/Phone,Date,Type,Content\n");
      written != kResultOk)
    return written;
  std::string line;
  for (const WhatsAppMessageRecord& m : messages) {
    line.clear();
    AppendCsvField(line, m.senderName);
    line += ',';
    AppendCsvField(line, m.senderId);
    line += ',';
    AppendCsvField(line, m.dateText);
    line += m.isFromMe ? ",Send," : ",Received,";
    AppendCsvField(line, m.text);
    line += '\n';
    if (const Result written = file.Write(line); written != kResultOk) return written;
  }
  return file.Close();
}

void AppendContactRow(std::string& rows, const ContactRecord& contact) {
  AppendCells(rows, {contact.fullName, contact.phones, contact.email, contact.postalAddress,
                     contact.homePage, contact.social, contact.company});
}

void AppendCallRow(std::string& rows, const CallRecord& call) {
  AppendCells(rows, {call.contactName, call.number, call.dateText,
                     call.isIncoming ? "Incoming" : "Outgoing", CallKindText(call),
                     CallDurationText(call)});
}

void AppendNoteRow(std::string& rows, const NoteRecord& note) {
  AppendCells(rows,
              {note.title, note.folder, note.dateText, note.locked ? kLockedNoteText : note.body});
}

Result WriteSummaryReport(const std::filesystem::path& path, const LoadedTemplate& t,
                          std::string_view rows) {
  Result result = kResultOk;
  FilePtr file = OpenForWriting(path, result);
  if (!file) return result;
  return WriteAndClose(std::move(file), {t.head, rows, t.tail});
}

}  // namespace kestrio
