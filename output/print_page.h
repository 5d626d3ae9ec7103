// The print page: the ticked records of one category as one HTML page, made of the
// template "template/Print.html" split at its "{|content|}" and, between its halves, one
// "<div>" block per record ("<p><span>Name:</span>...</p>" lines), texts escaped as every
// report's are. Conversations and WhatsApp chats print every message of a ticked
// conversation or chat. Files print nothing: their page is the template alone.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "base/result.h"
#include "scan/scan_run.h"
#include "scan/selection_model.h"

namespace kestrio {

struct PrintTemplate {
  std::string head;  // before the first "{|content|}"
  std::string tail;  // after it
};

// Reads programFolder/template/Print.html. A missing or unreadable template, or one without
// "{|content|}", gives empty halves (the page is then the records alone) and its result.
Result LoadPrintTemplate(const std::filesystem::path& programFolder, PrintTemplate& out);

// Appends the records of `code` to `content`, in the list's order (the order the scan gave):
// those whose selection entry is ticked and, with `deletedOnly`, whose deleted mark is set
// (a conversation or chat by its own mark; then all its messages). `cancelled` is asked
// before each record and each message: when it answers true the build stops with
// kResultStopped. 0 otherwise.
Result BuildPrintContent(const ScanResults& results, const SelectionModel& selection,
                         CategoryCode code, bool deletedOnly, std::string& content,
                         const std::function<bool()>& cancelled = {});

// Where the page is written: programFolder/Print/page when that folder can be made and
// written, else the user's configuration folder's Kestrio/Print/page.
std::filesystem::path PrintPagePath(const std::filesystem::path& programFolder);

// Writes head + content + tail to `path` (its folder made first, the file truncated). 0 or
// a system error.
Result WritePrintPage(const std::filesystem::path& path, const PrintTemplate& page,
                      const std::string& content);

}  // namespace kestrio
