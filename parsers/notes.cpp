#include "parsers/notes.h"

#include <deque>
#include <unordered_map>
#include <utility>

#include "base/time_text.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

constexpr std::uint32_t kBodyTextColumn = 4;
constexpr std::uint32_t kNoteBodyKeyColumn = 11;
constexpr std::uint32_t kNoteDateColumn = 14;
constexpr std::uint32_t kNoteTitleColumn = 19;

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
    out.append(text, start, at - start).append(to);
    start = at + from.size();
  }
  out.append(text, start, std::string::npos);
  text = std::move(out);
}

Result DecodeBody(TableReader& reader, const RecordView& view, std::vector<NoteRecord>& out) {
  DecodedRecord record;
  if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
  NoteRecord note;
  if (!LenientText(record.Column(kBodyTextColumn), note.body)) return kResultInvalid;
  note.deleted = view.deleted;
  note.bodyKey = view.carved ? 0 : static_cast<std::uint32_t>(record.rowId);
  out.push_back(std::move(note));
  return kResultOk;
}

Result DecodeNote(TableReader& reader, const RecordView& view, std::vector<NoteRecord>& out) {
  DecodedRecord record;
  if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
  NoteRecord note;
  if (!LenientText(record.Column(kNoteTitleColumn), note.title)) return kResultInvalid;
  note.deleted = view.deleted;
  note.bodyKey = static_cast<std::uint32_t>(IntegerOr0(record.Column(kNoteBodyKeyColumn)));
  // Core Data writes dates as doubles; whole seconds of any number type are taken.
  if (auto seconds = ColumnSeconds(record.Column(kNoteDateColumn))) {
    note.dateText = AppleTimeText(*seconds);
  }
  out.push_back(std::move(note));
  return kResultOk;
}

}  // namespace

std::string CleanNoteText(std::string text) {
  static constexpr std::pair<std::string_view, std::string_view> kReplacements[] = {
      {"&#39;", "'"}, {"&quot;", "\""}, {"&lt;", "<"},  {"&gt;", ">"},  {"&nbsp;", " "},
      {"&amp;", "&"}, {"<div>", "\n"},  {"</div>", ""}, {"<br>", "\n"},
  };
  for (const auto& [from, to] : kReplacements) ReplaceAll(text, from, to);
  return text;
}

Result ParseNotes(const std::filesystem::path& notesDbPath, std::vector<NoteRecord>& notes,
                  FindingsSink* findings) {
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(notesDbPath, "notes.sqlite"); opened != kResultOk)
    return opened;
  std::vector<NoteRecord> bodies;
  reader.ScanTable("ZNOTEBODY",
                   [&](const RecordView& view) { return DecodeBody(reader, view, bodies); });
  std::vector<NoteRecord> rows;
  reader.ScanTable("ZNOTE", [&](const RecordView& view) { return DecodeNote(reader, view, rows); });

  // Each body takes the title and date of the first note row that names it and is not taken.
  std::unordered_map<std::uint32_t, std::deque<std::size_t>> rowsByKey;
  for (std::size_t i = 0; i < rows.size(); ++i) rowsByKey[rows[i].bodyKey].push_back(i);
  std::vector<bool> used(rows.size(), false);
  for (NoteRecord& body : bodies) {
    auto it = rowsByKey.find(body.bodyKey);
    if (it == rowsByKey.end() || it->second.empty()) continue;
    const std::size_t i = it->second.front();
    it->second.pop_front();
    body.title = rows[i].title;
    body.dateText = rows[i].dateText;
    used[i] = true;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!used[i] && (!rows[i].title.empty() || !rows[i].body.empty()))
      bodies.push_back(std::move(rows[i]));
  }
  std::vector<NoteRecord> result;
  for (NoteRecord& note : bodies) {
    if (note.body.empty() && note.title.empty()) continue;
    note.body = CleanNoteText(std::move(note.body));
    note.title = CleanNoteText(std::move(note.title));
    result.push_back(std::move(note));
  }
  notes = std::move(result);
  return kResultOk;
}

}  // namespace kestrio
