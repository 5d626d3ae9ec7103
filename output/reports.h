// The reports a recovery run writes: HTML pages filled from templates, plain-text transcripts
// and the WhatsApp CSV.
//
// Templates are HTML files beside the program, read as raw UTF-8 bytes. They hold three
// placeholders:
//   "{|title|}"    in the head: the page title, the template's title text and the device name
//   "{|content|}"  exactly once: the first occurrence splits head from tail; the records go
//                  between them
//   "{|person|}"   in the head of the message and WhatsApp templates: "Name: ..., Phone: ..."
// Everything inserted into HTML is escaped (& < > "), and in record texts each line feed
// becomes "<br />"; backup texts are never trusted to be markup.
//
// HTML files are raw bytes without a byte-order mark; their lines end in "\r\n". TXT and CSV
// files are UTF-8 with a byte-order mark and CR LF line ends (TextFileWriter).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_copy.h"
#include "base/result.h"
#include "parsers/calls.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/notes.h"
#include "parsers/whatsapp.h"

namespace kestrio {

// In the order the recovery run loads them.
enum class ReportTemplate { kCallHistory, kNotes, kContacts, kMessages, kWhatsApp };

// Below the program folder: "template/CallHistory.html", "template/Notes.html",
// "template/contacts.html", "template/Sms.html", "template/WhatsApp.html".
std::string_view TemplateRelativePath(ReportTemplate t);
// The text put in front of the device name in the title, ending in a blank
// ("iPhone's Call History of ").
std::string_view TemplateTitle(ReportTemplate t);

struct LoadedTemplate {
  std::string whole;  // the file as read
  std::string head;   // before the first "{|content|}", titles filled in
  std::string tail;   // after it, unchanged
};

// Reads programFolder / TemplateRelativePath(t) and fills every "{|title|}" of the head with
// the escaped title text + device name. 0; the system error when the file does not open or
// read; kResultInvalid when it holds no "{|content|}" (`out` is then left as it was).
Result LoadTemplate(ReportTemplate t, const std::filesystem::path& programFolder,
                    std::string_view deviceName, LoadedTemplate& out);

// & < > " as &amp; &lt; &gt; &quot;.
std::string HtmlEscape(std::string_view text);
// HtmlEscape, then each "\n" as "<br />".
std::string HtmlText(std::string_view text);

// The head with every "{|person|}" replaced by the escaped "Name: <name>, Phone: <number>".
std::string FillPerson(std::string_view head, std::string_view name, std::string_view number);

// One conversation page: personHead, one date line and one text block per message, tail.
// The folder of `path` is created first. After each message `progress` gets
// ((index + 1) * 100 / count, 0, path); a non-zero answer ends the loop, and the page is still
// written with the messages so far. When the file does not open or the loop was ended,
// `progress` gets (100, that error or answer, path) once more. Returns 0, that error or
// answer, or a system error of the write (not reported: the last message already reported
// 100). No messages: head and tail only, no report.
Result WriteConversationHtml(const std::filesystem::path& path, std::string_view personHead,
                             std::string_view tail, const std::vector<MessageRecord>& messages,
                             const CopyProgress& progress);
Result WriteWhatsAppHtml(const std::filesystem::path& path, std::string_view personHead,
                         std::string_view tail, const std::vector<WhatsAppMessageRecord>& messages,
                         const CopyProgress& progress);

// Transcripts: per message "        To: <who>" (sent) or "      From: <who>", then
// "      Data: <date>", "   Content: <text>" and an empty line; who is "name(number)", or the
// number alone when the name is empty or "Unknown". 0 or a system error.
Result WriteConversationText(const std::filesystem::path& path,
                             const std::vector<MessageRecord>& messages);
Result WriteWhatsAppText(const std::filesystem::path& path,
                         const std::vector<WhatsAppMessageRecord>& messages);

// "Chats,Name/Phone,Date,Type,Content", then per message sender name, sender number, date,
// "Send" or "Received" and the text; a field holding a comma, a double quote, CR or LF is
// quoted with its quotes doubled. 0 or a system error.
Result WriteWhatsAppCsv(const std::filesystem::path& path,
                        const std::vector<WhatsAppMessageRecord>& messages);

// One "\t<tr><td>...</td>...</tr>\r\n" row appended to `rows`.
// Contact: name, phones (one per line, so "<br />" between them), e-mail, postal address,
// home page, social profile, company.
void AppendContactRow(std::string& rows, const ContactRecord& contact);
// Call: name, number, date, "Incoming" or "Outgoing", the duration ("Missed" for an incoming
// and "Canceled" for an outgoing call of 0 seconds).
void AppendCallRow(std::string& rows, const CallRecord& call);
// What a locked note shows in place of its text.
inline constexpr std::string_view kLockedNoteText =
    "Locked note: the text is encrypted with the note's password";

// Note: title, folder, date, body (kLockedNoteText for a locked note).
void AppendNoteRow(std::string& rows, const NoteRecord& note);

// head + rows + tail into `path` (its folder created first, the file truncated). 0 or a
// system error.
Result WriteSummaryReport(const std::filesystem::path& path, const LoadedTemplate& t,
                          std::string_view rows);

}  // namespace kestrio
