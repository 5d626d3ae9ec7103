#include "output/print_page.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include "base/settings.h"
#include "output/formatters.h"
#include "output/reports.h"

namespace kestrio {
namespace {

constexpr std::string_view kContentPlaceholder = "{|content|}";

// One "<p><span>Label:</span>value</p>" line; the value escaped, its line feeds kept.
void Line(std::string& out, std::string_view label, std::string_view value) {
  out += "<p><span>";
  out += label;
  out += "</span>";
  out += HtmlText(value);
  out += "</p>\r\n";
}

bool Ticked(const SelectionModel& selection, const void* item) {
  const SelectionEntry* entry = selection.EntryOf(item);
  return entry != nullptr && entry->ticked != 0;
}

// Walks the rows of a category: the ticked ones that pass the deleted filter.
template <typename Record, typename Print>
Result EachRecord(const std::vector<Record>& rows, const SelectionModel& selection,
                  bool deletedOnly, const std::function<bool()>& cancelled, Print print) {
  for (const Record& record : rows) {
    if (cancelled && cancelled()) return kResultStopped;
    if ((deletedOnly && !record.deleted) || !Ticked(selection, &record)) continue;
    if (const Result result = print(record); result != kResultOk) return result;
  }
  return kResultOk;
}

Result PrintConversations(const ScanResults& results, const SelectionModel& selection,
                          bool deletedOnly, std::string& out,
                          const std::function<bool()>& cancelled) {
  return EachRecord(results.conversationRows, selection, deletedOnly, cancelled,
                    [&](const MessageRecord& row) {
                      const auto found = results.messages.find(row.conversationId);
                      if (found == results.messages.end()) return kResultOk;
                      for (const MessageRecord& m : found->second) {
                        if (cancelled && cancelled()) return kResultStopped;
                        const bool named = !m.contactName.empty() && m.contactName != "Unknown";
                        const std::string who =
                            named ? m.contactName.str() + "(" + m.address + ")" : m.address.str();
                        out += "<div>\r\n";
                        Line(out, m.isFromMe ? "To:" : "From:", who);
                        Line(out, "Date:", m.dateText);
                        Line(out, "Content:", m.text);
                        out += "</div>\r\n";
                      }
                      return kResultOk;
                    });
}

Result PrintChats(const ScanResults& results, const SelectionModel& selection, bool deletedOnly,
                  std::string& out, const std::function<bool()>& cancelled) {
  return EachRecord(
      results.whatsAppRows, selection, deletedOnly, cancelled,
      [&](const WhatsAppMessageRecord& row) {
        out += "<div>\r\n";
        Line(out, "Chats:", row.partnerName);
        Line(out, "Name:", row.chatNames.empty() ? row.senderName : row.chatNames);
        Line(out, "Phone Number:", row.chatIds.empty() ? row.senderId : row.chatIds);
        out += "<p><span>Content:</span></p>\r\n";
        const auto found = results.whatsApp.find(row.sessionId);
        if (found != results.whatsApp.end()) {
          for (const WhatsAppMessageRecord& m : found->second) {
            if (cancelled && cancelled()) return kResultStopped;
            out += "<p>";
            out += HtmlText(m.isFromMe ? std::string_view("Me") : std::string_view(m.senderName));
            out += " (";
            out += HtmlText(m.dateText);
            out += "): ";
            out += HtmlText(m.text);
            out += "</p>";
          }
        }
        out += "</div>\r\n";
        return kResultOk;
      });
}

}  // namespace

Result LoadPrintTemplate(const std::filesystem::path& programFolder, PrintTemplate& out) {
  out = {};
  std::ifstream file(programFolder / "template" / "Print.html", std::ios::binary);
  if (!file) return LastSystemResult();
  const std::string whole((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return LastSystemResult();
  const std::size_t content = whole.find(kContentPlaceholder);
  if (content == std::string::npos) return kResultInvalid;
  out.head = whole.substr(0, content);
  out.tail = whole.substr(content + kContentPlaceholder.size());
  return kResultOk;
}

Result BuildPrintContent(const ScanResults& results, const SelectionModel& selection,
                         CategoryCode code, bool deletedOnly, std::string& out,
                         const std::function<bool()>& cancelled) {
  switch (code) {
    case kCodeMessages:
      return PrintConversations(results, selection, deletedOnly, out, cancelled);
    case kCodeWhatsApp:
      return PrintChats(results, selection, deletedOnly, out, cancelled);
    case kCodeContacts:
      return EachRecord(results.contacts, selection, deletedOnly, cancelled,
                        [&](const ContactRecord& c) {
                          out += "<div>\r\n";
                          Line(out, "Name:", c.fullName);
                          Line(out, "Phone Number:", c.phones);
                          Line(out, "Company:", c.company);
                          Line(out, "Email:", c.email);
                          Line(out, "URL:", c.homePage);
                          out += "</div>\r\n";
                          return kResultOk;
                        });
    case kCodeCallHistory:
      return EachRecord(results.callHistory, selection, deletedOnly, cancelled,
                        [&](const CallRecord& call) {
                          out += "<div>\r\n";
                          Line(out, "Name:", call.contactName);
                          Line(out, "Phone Number:", call.number);
                          Line(out, "Date:", call.dateText);
                          Line(out, "Type:", call.isIncoming ? "Incoming" : "Outgoing");
                          Line(out, "Duration:", CallDurationText(call));
                          out += "</div>\r\n";
                          return kResultOk;
                        });
    case kCodeNotes:
      return EachRecord(results.notes, selection, deletedOnly, cancelled,
                        [&](const NoteRecord& note) {
                          out += "<div>\r\n";
                          Line(out, "Title:", note.title);
                          Line(out, "Date:", note.dateText);
                          Line(out, "Notes:", note.body);
                          out += "</div>\r\n";
                          return kResultOk;
                        });
    default:
      return kResultOk;  // files have no page of their own
  }
}

std::filesystem::path PrintPagePath(const std::filesystem::path& programFolder) {
  std::error_code ignored;
  const std::filesystem::path own = programFolder / "Print";
  std::filesystem::create_directories(own, ignored);
  if (::access(own.c_str(), W_OK) == 0) return own / "page";
  return UserConfigFolder() / "Print" / "page";
}

Result WritePrintPage(const std::filesystem::path& path, const PrintTemplate& page,
                      const std::string& content) {
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return LastSystemResult();
  file << page.head << content << page.tail;
  file.flush();
  return file ? kResultOk : LastSystemResult();
}

}  // namespace kestrio
