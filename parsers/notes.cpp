#include "parsers/notes.h"

#include <deque>
#include <unordered_map>
#include <utility>

#include "base/text.h"
#include "base/time_text.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

// The layouts assumed when the file's own schema cannot be read (the real iOS 6 to 9 ones).
constexpr std::string_view kFallbackNoteSql =
    "CREATE TABLE ZNOTE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCONTAINSCJK "
    "INTEGER, ZCONTENTTYPE INTEGER, ZDELETEDFLAG INTEGER, ZEXTERNALFLAGS INTEGER, "
    "ZEXTERNALSEQUENCENUMBER INTEGER, ZEXTERNALSERVERINTID INTEGER, ZINTEGERID INTEGER, "
    "ZISBOOKKEEPINGENTRY INTEGER, ZBODY INTEGER, ZSTORE INTEGER, ZCREATIONDATE TIMESTAMP, "
    "ZMODIFICATIONDATE TIMESTAMP, ZAUTHOR VARCHAR, ZGUID VARCHAR, ZSERVERID VARCHAR, ZSUMMARY "
    "VARCHAR, ZTITLE VARCHAR )";
constexpr std::string_view kFallbackBodySql =
    "CREATE TABLE ZNOTEBODY ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZOWNER "
    "INTEGER, ZCONTENT VARCHAR, ZEXTERNALCONTENTREF VARCHAR, ZEXTERNALREPRESENTATION BLOB )";
constexpr std::string_view kFallbackStoreSql =
    "CREATE TABLE ZSTORE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZACCOUNT "
    "INTEGER, ZEXTERNALIDENTIFIER VARCHAR, ZNAME VARCHAR, ZSYNCANCHOR VARCHAR )";
constexpr std::string_view kLabel = "notes.sqlite";

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

// Text up to the first NUL when it is valid UTF-8; false for text that is not. Columns that
// are not text give an empty text.
bool TextOf(const FieldValue& value, std::string& out) {
  out.clear();
  if (value.kind != FieldValue::Kind::kText) return true;
  const std::string_view text = value.Text();
  if (!IsValidUtf8(text)) return false;
  out.assign(text.substr(0, text.find('\0')));
  return true;
}

// Core Data writes dates as doubles; whole seconds of any number type are taken.
std::string DateTextOf(const FieldValue& value) {
  const auto seconds = value.Number();
  if (!seconds) return {};
  const auto whole = WholeSeconds(*seconds);
  return whole ? AppleTimeText(*whole) : std::string();
}

void Missing(FindingsSink* findings, std::string_view table, std::string_view column) {
  Report(findings, {std::string(kLabel), "column", "table " + std::string(table),
                    "has no column " + std::string(column) + "; read without it"});
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
  if (const Result opened = reader.OpenDatabase(notesDbPath, kLabel); opened != kResultOk)
    return opened;

  // Folder names by ZSTORE row.
  std::unordered_map<std::int64_t, std::string> folders;
  if (reader.HasTable("ZSTORE")) {
    const TableSchema& s = reader.SchemaOr("ZSTORE", kFallbackStoreSql);
    const std::uint32_t name = s.Find("ZNAME");
    DecodedRecord record;
    if (name != TableSchema::kMissing) {
      reader.ScanTable("ZSTORE", [&](const RecordView& view) {
        if (view.carved || DecodeTableRecord(reader, view, record) != kResultOk)
          return kResultInvalid;
        std::string text;
        if (!TextOf(s.Field(record, name, false), text)) return kResultInvalid;
        folders[static_cast<std::int64_t>(record.rowId)] = std::move(text);
        return kResultOk;
      });
    }
  }

  std::vector<NoteRecord> bodies;
  {
    const TableSchema& s = reader.SchemaOr("ZNOTEBODY", kFallbackBodySql);
    const std::uint32_t content = s.Find("ZCONTENT");
    if (content == TableSchema::kMissing) Missing(findings, "ZNOTEBODY", "ZCONTENT");
    DecodedRecord record;
    reader.ScanTable("ZNOTEBODY", [&](const RecordView& view) {
      if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
      NoteRecord note;
      if (!TextOf(s.Field(record, content, view.carved), note.body)) return kResultInvalid;
      note.deleted = view.deleted;
      note.bodyKey = view.carved ? 0 : static_cast<std::uint32_t>(record.rowId);
      bodies.push_back(std::move(note));
      return kResultOk;
    });
  }
  std::vector<NoteRecord> rows;
  std::vector<bool> flagged;  // ZDELETEDFLAG set: deleted by the user, still in the table
  {
    const TableSchema& s = reader.SchemaOr("ZNOTE", kFallbackNoteSql);
    const std::uint32_t title = s.Find("ZTITLE");
    const std::uint32_t body = s.Find("ZBODY");
    const std::uint32_t store = s.Find("ZSTORE");
    const std::uint32_t created = s.Find("ZCREATIONDATE");
    const std::uint32_t modified = s.Find("ZMODIFICATIONDATE");
    const std::uint32_t deletedFlag = s.Find("ZDELETEDFLAG");
    if (title == TableSchema::kMissing) Missing(findings, "ZNOTE", "ZTITLE");
    if (body == TableSchema::kMissing) Missing(findings, "ZNOTE", "ZBODY");
    DecodedRecord record;
    reader.ScanTable("ZNOTE", [&](const RecordView& view) {
      if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
      auto field = [&](std::uint32_t index) { return s.Field(record, index, view.carved); };
      NoteRecord note;
      if (!TextOf(field(title), note.title)) return kResultInvalid;
      const bool flag = field(deletedFlag).Integer().value_or(0) == 1;
      note.deleted = view.deleted || flag;
      note.bodyKey = static_cast<std::uint32_t>(field(body).Integer().value_or(0));
      note.dateText = DateTextOf(field(created));
      note.modifiedText = DateTextOf(field(modified));
      if (const auto folder = field(store).Integer()) {
        if (auto it = folders.find(*folder); it != folders.end()) note.folder = it->second;
      }
      rows.push_back(std::move(note));
      flagged.push_back(flag);
      return kResultOk;
    });
  }

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
    body.modifiedText = rows[i].modifiedText;
    body.folder = rows[i].folder;
    body.deleted = body.deleted || flagged[i];
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
