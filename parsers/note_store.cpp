#include "parsers/note_store.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/inflate.h"
#include "base/text.h"
#include "base/time_text.h"
#include "parsers/protobuf.h"
#include "parsers/table_shapes.h"
#include "parsers/typedstream.h"
#include "sqlite/table_schema.h"

namespace kestrio {
namespace {

constexpr std::string_view kLabel = "NoteStore.sqlite";
constexpr std::string_view kObjects = "ZICCLOUDSYNCINGOBJECT";
constexpr std::string_view kNoteData = "ZICNOTEDATA";
constexpr std::string_view kEncryptedPrefix = "bplist";
constexpr std::uint32_t kMissing = TableSchema::kMissing;
constexpr std::int64_t kTrashFolderType = 1;

std::optional<std::int64_t> IntOf(const FieldValue& value) {
  if (value.kind != FieldValue::Kind::kInteger) return std::nullopt;
  return value.integer;
}

// Names and titles: valid UTF-8 up to the first NUL; anything else reads as empty.
std::string TextOf(const FieldValue& value) {
  if (value.kind != FieldValue::Kind::kText) return {};
  const std::string_view text = value.Text();
  if (!IsValidUtf8(text)) return {};
  return std::string(text.substr(0, text.find('\0')));
}

std::optional<double> DateOf(const FieldValue& value) {
  if (value.kind != FieldValue::Kind::kReal && value.kind != FieldValue::Kind::kInteger)
    return std::nullopt;
  return value.Number();
}

std::string DateText(std::optional<double> seconds) {
  if (!seconds) return {};
  const auto whole = WholeSeconds(*seconds);
  return whole ? AppleTimeText(*whole) : std::string();
}

// The digits after `prefix` in `name` as a number (-1 for none); nothing when `name` is not
// `prefix` followed by digits only.
std::optional<int> SuffixNumber(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size() || !EqualsIgnoreCase(name.substr(0, prefix.size()), prefix))
    return std::nullopt;
  const std::string_view digits = name.substr(prefix.size());
  if (digits.empty()) return -1;
  if (digits.size() > 4) return std::nullopt;
  int number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  return number;
}

bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

// The first line of a text, as Notes shows a note's title.
std::string FirstLine(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \n");
  if (start == std::string_view::npos) return {};
  text = text.substr(start);
  return std::string(text.substr(0, text.find('\n')));
}

// The columns of ZICCLOUDSYNCINGOBJECT this reader uses, looked up once.
struct ObjectColumns {
  explicit ObjectColumns(const TableSchema& s) : schema(s) {
    entity = s.Find("Z_ENT");
    noteTitle = s.Find("ZTITLE1");
    folderTitle = s.Find("ZTITLE2");
    identifier = s.Find("ZIDENTIFIER");
    folderType = s.Find("ZFOLDERTYPE");
    folder = s.Find("ZFOLDER");
    noteData = s.Find("ZNOTEDATA");
    marked = s.Find("ZMARKEDFORDELETION");
    locked = s.Find("ZISPASSWORDPROTECTED");
    modified = s.Find("ZMODIFICATIONDATE1");
    if (modified == kMissing) modified = s.Find("ZMODIFICATIONDATE");
    for (std::uint32_t i = 0; i < s.ColumnCount(); ++i) {
      if (const auto suffix = SuffixNumber(s.columns[i].name, "ZCREATIONDATE"))
        created.emplace_back(i, *suffix);
    }
  }

  const TableSchema& schema;
  std::uint32_t entity, noteTitle, folderTitle, identifier, folderType, folder, noteData, marked,
      locked, modified;
  std::vector<std::pair<std::uint32_t, int>> created;  // ZCREATIONDATE<n>: index, n (-1: none)
};

// One record of ZICCLOUDSYNCINGOBJECT, as far as notes and folders need it.
struct ObjectRow {
  std::optional<std::int64_t> key;  // Z_PK (live records only)
  std::optional<std::int64_t> entity;
  std::string noteTitle, folderTitle, identifier;
  std::optional<std::int64_t> folderType, folder, noteData;
  bool marked = false;
  bool locked = false;
  std::vector<std::optional<double>> created;  // per ObjectColumns::created
  std::optional<double> modified;
  bool carved = false;
  bool deleted = false;
};

// One record of ZICNOTEDATA, its body decoded.
struct DataRow {
  std::optional<std::int64_t> key;
  std::optional<std::int64_t> note;
  bool hasData = false;
  NoteBody body;
  bool carved = false;
  bool deleted = false;
  bool used = false;
};

class NoteStoreReader {
 public:
  NoteStoreReader(TableReader& reader, FindingsSink* findings)
      : reader_(reader), findings_(findings) {}

  Result Read(std::vector<NoteRecord>& out) {
    const bool hasObjects = reader_.HasTable(kObjects);
    const bool hasData = reader_.HasTable(kNoteData);
    if (!hasObjects && !hasData) {
      Report(findings_, {std::string(kLabel), "table", "ZICCLOUDSYNCINGOBJECT, ZICNOTEDATA",
                         "missing: the notes layout is not recognised"});
      return kResultLayoutUnknown;
    }
    ReadEntities();
    if (const TableSchema* s = reader_.Schema(kObjects)) ReadObjects(*s);
    if (const TableSchema* s = reader_.Schema(kNoteData)) ReadNoteData(*s);
    ReadFolderLinks();
    Build(out);
    return kResultOk;
  }

 private:
  void Finding(std::string what, std::string where, std::string why) {
    Report(findings_, {std::string(kLabel), std::move(what), std::move(where), std::move(why)});
  }

  void Missing(std::string_view table, std::string_view column) {
    Finding("column", "table " + std::string(table),
            "has no column " + std::string(column) + "; read without it");
  }

  template <typename Visit>
  void Scan(std::string_view table, Visit visit) {
    ScanDecoded(reader_, table, visit);
  }

  // Z_PRIMARYKEY: the entity numbers of notes and folders.
  void ReadEntities() {
    const TableSchema* s = reader_.Schema("Z_PRIMARYKEY");
    const std::uint32_t ent = s ? s->Find("Z_ENT") : kMissing;
    const std::uint32_t name = s ? s->Find("Z_NAME") : kMissing;
    if (s && ent != kMissing && name != kMissing) {
      Scan("Z_PRIMARYKEY", [&](const RecordView& view, const DecodedRecord& record) {
        if (view.carved) return false;
        const std::string entityName = TextOf(s->Field(record, name, false));
        const auto number = IntOf(s->Field(record, ent, false));
        if (!number) return false;
        if (entityName == "ICNote") noteEntity_ = number;
        if (entityName == "ICFolder") folderEntity_ = number;
        return true;
      });
    }
    if (!noteEntity_) {
      Finding("table", "table Z_PRIMARYKEY",
              "names no ICNote entity; notes are told from other objects by their columns");
    }
  }

  void ReadObjects(const TableSchema& schema) {
    const ObjectColumns c(schema);
    if (c.noteTitle == kMissing) Missing(kObjects, "ZTITLE1");
    if (c.noteData == kMissing) Missing(kObjects, "ZNOTEDATA");
    if (c.created.empty()) Missing(kObjects, "ZCREATIONDATE");
    createdColumns_ = c.created;
    Scan(kObjects, [&](const RecordView& view, const DecodedRecord& record) {
      const bool carved = view.carved;
      auto field = [&](std::uint32_t index) { return schema.Field(record, index, carved); };
      ObjectRow row;
      row.carved = carved;
      row.deleted = view.deleted;
      if (!carved) row.key = static_cast<std::int64_t>(record.rowId);
      row.entity = IntOf(field(c.entity));
      row.noteTitle = TextOf(field(c.noteTitle));
      row.folderTitle = TextOf(field(c.folderTitle));
      row.identifier = TextOf(field(c.identifier));
      row.folderType = IntOf(field(c.folderType));
      row.folder = IntOf(field(c.folder));
      row.noteData = IntOf(field(c.noteData));
      row.marked = IntOf(field(c.marked)).value_or(0) == 1;
      row.locked = IntOf(field(c.locked)).value_or(0) == 1;
      row.modified = DateOf(field(c.modified));
      for (const auto& [index, suffix] : c.created) row.created.push_back(DateOf(field(index)));
      if (carved && !Plausible(row)) return false;
      objects_.push_back(std::move(row));
      return true;
    });
  }

  // A carved record is kept when it reads as a note or a folder of this database.
  bool Plausible(const ObjectRow& row) const {
    if (noteEntity_ || folderEntity_) {
      if (!row.entity || (row.entity != noteEntity_ && row.entity != folderEntity_)) return false;
    }
    return IsNote(row) ? !row.noteTitle.empty() || row.noteData.has_value()
                       : !row.folderTitle.empty() || !row.identifier.empty();
  }

  bool IsNote(const ObjectRow& row) const {
    if (noteEntity_ && row.entity) return *row.entity == *noteEntity_;
    if (folderEntity_ && row.entity && *row.entity == *folderEntity_) return false;
    return row.noteData.has_value() || !row.noteTitle.empty();
  }

  bool IsFolder(const ObjectRow& row) const {
    if (folderEntity_ && row.entity) return *row.entity == *folderEntity_;
    return !IsNote(row) && (row.folderType.has_value() || !row.folderTitle.empty());
  }

  void ReadNoteData(const TableSchema& schema) {
    const std::uint32_t note = schema.Find("ZNOTE");
    const std::uint32_t data = schema.Find("ZDATA");
    if (data == kMissing) return Missing(kNoteData, "ZDATA");
    if (note == kMissing) Missing(kNoteData, "ZNOTE");
    Scan(kNoteData, [&](const RecordView& view, const DecodedRecord& record) {
      DataRow row;
      row.carved = view.carved;
      row.deleted = view.deleted;
      if (!view.carved) row.key = static_cast<std::int64_t>(record.rowId);
      row.note = IntOf(schema.Field(record, note, view.carved));
      const FieldValue value = schema.Field(record, data, view.carved);
      if (value.kind == FieldValue::Kind::kBlob && !value.bytes.empty()) {
        row.hasData = true;
        row.body = DecodeNoteBody(value.bytes);
        // A carved record that does not hold a note body is not kept.
        if (view.carved && row.body.kind == NoteBody::Kind::kUnreadable) return false;
      } else if (view.carved) {
        return false;
      }
      data_.push_back(std::move(row));
      return true;
    });
  }

  // Folder membership before iOS 11.2: the join table Z_<n>NOTES with columns
  // Z_<n>FOLDERS and Z_<m>NOTES.
  void ReadFolderLinks() {
    std::vector<SchemaObject> objects;
    ReadSchema(reader_.Sqlite(), objects);
    for (const SchemaObject& object : objects) {
      const std::string_view name = object.name;
      if (object.type != "table" || !EndsWithIgnoreCase(name, "NOTES")) continue;
      const auto entity = SuffixNumber(name.substr(0, name.size() - 5), "Z_");
      if (!entity || *entity < 0) continue;
      const TableSchema* s = reader_.Schema(object.name);
      if (!s) continue;
      std::uint32_t folders = kMissing, notes = kMissing;
      for (std::uint32_t i = 0; i < s->ColumnCount(); ++i) {
        const std::string& name = s->columns[i].name;
        if (!StartsWithIgnoreCase(name, "Z_")) continue;
        if (EndsWithIgnoreCase(name, "FOLDERS")) folders = i;
        if (EndsWithIgnoreCase(name, "NOTES")) notes = i;
      }
      if (folders == kMissing || notes == kMissing) continue;
      Scan(object.name, [&](const RecordView& view, const DecodedRecord& record) {
        if (view.carved) return false;
        const auto folder = IntOf(s->Field(record, folders, false));
        const auto note = IntOf(s->Field(record, notes, false));
        if (!folder || !note) return false;
        folderOfNote_.emplace(*note, *folder);
        return true;
      });
    }
  }

  // The creation-date column the notes use: among ZCREATIONDATE<n>, the one set on the most
  // notes that have a body, the highest suffix on a tie.
  std::optional<std::size_t> CreationColumn(const std::vector<const ObjectRow*>& notes) const {
    std::optional<std::size_t> best;
    std::size_t bestCount = 0;
    for (std::size_t k = 0; k < createdColumns_.size(); ++k) {
      std::size_t count = 0;
      for (const ObjectRow* row : notes) {
        if (row->noteData && k < row->created.size() && row->created[k]) ++count;
      }
      if (!best || count > bestCount ||
          (count == bestCount && createdColumns_[k].second > createdColumns_[*best].second)) {
        best = k;
        bestCount = count;
      }
    }
    return best;
  }

  void ReportBody(const DataRow& data, std::string_view why) {
    Finding("note body",
            data.key ? "ZICNOTEDATA row " + std::to_string(*data.key)
                     : std::string("carved ZICNOTEDATA record"),
            std::string(why));
  }

  // Takes the body of `data` into `note`.
  void TakeBody(DataRow& data, NoteRecord& note) {
    data.used = true;
    if (data.key) note.bodyKey = static_cast<std::uint32_t>(*data.key);
    if (!data.hasData) return;
    switch (data.body.kind) {
      case NoteBody::Kind::kEncrypted:
        if (!note.locked) ReportBody(data, "is encrypted, but its note is not marked locked");
        note.locked = true;
        return;
      case NoteBody::Kind::kUnreadable:
        ReportBody(data, data.body.problem);
        return;
      case NoteBody::Kind::kText:
        if (note.locked) {
          // Not encrypted after all: the text is readable, so the note is not shown locked.
          ReportBody(data, "holds plain text, but its note is marked locked; the text is shown");
          note.locked = false;
        }
        if (data.body.cut) ReportBody(data, data.body.problem);
        note.body = data.body.text;
        return;
    }
  }

  void Build(std::vector<NoteRecord>& out) {
    std::unordered_map<std::int64_t, const ObjectRow*> folders;
    std::unordered_set<std::int64_t> trash;
    std::vector<const ObjectRow*> notes;
    std::unordered_set<std::string> liveIdentifiers;
    for (const ObjectRow& row : objects_) {
      if (IsNote(row)) {
        notes.push_back(&row);
        if (!row.carved && !row.identifier.empty()) liveIdentifiers.insert(row.identifier);
      } else if (IsFolder(row) && row.key) {
        folders.emplace(*row.key, &row);
        if (row.folderType == kTrashFolderType || row.identifier.starts_with("TrashFolder-"))
          trash.insert(*row.key);
      }
    }
    std::unordered_map<std::int64_t, std::size_t> dataByKey;
    std::unordered_multimap<std::int64_t, std::size_t> dataByNote;
    for (std::size_t i = 0; i < data_.size(); ++i) {
      if (data_[i].key) dataByKey.emplace(*data_[i].key, i);
      if (data_[i].note) dataByNote.emplace(*data_[i].note, i);
    }
    // The first unused body whose ZNOTE names `note`, live records before carved ones.
    auto bodyOfNote = [&](std::int64_t note) -> DataRow* {
      DataRow* found = nullptr;
      auto [from, to] = dataByNote.equal_range(note);
      for (auto it = from; it != to; ++it) {
        DataRow& d = data_[it->second];
        if (!d.used && (!found || (found->carved && !d.carved))) found = &d;
      }
      return found;
    };
    const std::optional<std::size_t> createdColumn = CreationColumn(notes);
    std::unordered_set<std::string> carvedIdentifiers;
    std::unordered_map<std::int64_t, std::size_t> recordOfNote;  // Z_PK -> index in `out`
    // Carved note records without a body, by title: a carved body whose first line is the
    // title is theirs (neither record keeps the Z_PK the two were linked by).
    std::unordered_multimap<std::string, std::size_t> carvedWithoutBody;
    const std::size_t first = out.size();
    for (const ObjectRow* row : notes) {
      // A carved copy of a note that is still there (an older version of its record).
      if (row->carved && !row->identifier.empty() &&
          (liveIdentifiers.contains(row->identifier) ||
           !carvedIdentifiers.insert(row->identifier).second))
        continue;
      NoteRecord note;
      note.title = row->noteTitle;
      note.locked = row->locked;
      if (createdColumn && *createdColumn < row->created.size())
        note.dateText = DateText(row->created[*createdColumn]);
      note.modifiedText = DateText(row->modified);
      std::optional<std::int64_t> folder = row->folder;
      if (!folder && row->key) {
        if (auto it = folderOfNote_.find(*row->key); it != folderOfNote_.end()) folder = it->second;
      }
      bool inTrash = false;
      if (folder) {
        if (auto it = folders.find(*folder); it != folders.end()) {
          note.folder = it->second->folderTitle;
          inTrash = trash.contains(*folder);
        } else if (!row->carved) {
          Finding("note", "ZICCLOUDSYNCINGOBJECT row " + std::to_string(row->key.value_or(0)),
                  "its folder " + std::to_string(*folder) + " is not in the database");
        }
      }
      note.deleted = row->carved || row->deleted || row->marked || inTrash;
      DataRow* data = nullptr;
      if (row->noteData) {
        if (auto it = dataByKey.find(*row->noteData);
            it != dataByKey.end() && !data_[it->second].used)
          data = &data_[it->second];
      }
      if (!data && row->key) data = bodyOfNote(*row->key);
      if (data) TakeBody(*data, note);
      if (row->key) recordOfNote.emplace(*row->key, out.size());
      if (row->carved && !data) carvedWithoutBody.emplace(note.title, out.size());
      out.push_back(std::move(note));
    }
    // Bodies no note row took: a carved body whose note is known fills that note when it has
    // no body row; one whose note record was carved too finds it by its title; the others are
    // notes of their own, titled by their first line.
    std::set<std::string> bodies;
    for (std::size_t i = first; i < out.size(); ++i) {
      if (!out[i].body.empty()) bodies.insert(out[i].body);
    }
    for (DataRow& data : data_) {
      if (data.used || !data.hasData) continue;
      if (data.body.kind == NoteBody::Kind::kText && data.body.text.empty()) continue;
      if (data.body.kind == NoteBody::Kind::kText && bodies.contains(data.body.text)) continue;
      if (data.note) {
        if (auto it = recordOfNote.find(*data.note); it != recordOfNote.end()) {
          NoteRecord& note = out[it->second];
          // A note with a body of its own keeps it: this one is an earlier version.
          if (note.bodyKey == 0 && note.body.empty() && !note.locked) {
            TakeBody(data, note);
            bodies.insert(note.body);
          }
          continue;
        }
        if (!data.carved) {
          Finding("note body", "ZICNOTEDATA row " + std::to_string(data.key.value_or(0)),
                  "its note " + std::to_string(*data.note) +
                      " is not in the database; listed as a deleted note");
        }
      }
      if (data.body.kind == NoteBody::Kind::kUnreadable) {
        ReportBody(data, data.body.problem);
        continue;
      }
      if (data.carved && data.body.kind == NoteBody::Kind::kText) {
        auto [from, to] = carvedWithoutBody.equal_range(FirstLine(data.body.text));
        auto it = std::find_if(from, to, [&](const auto& entry) {
          return out[entry.second].body.empty() && !out[entry.second].locked;
        });
        if (it != to) {
          TakeBody(data, out[it->second]);
          bodies.insert(out[it->second].body);
          continue;
        }
      }
      NoteRecord note;
      note.locked = data.body.kind == NoteBody::Kind::kEncrypted;
      note.deleted = true;
      TakeBody(data, note);
      note.title = FirstLine(note.body);
      bodies.insert(note.body);
      out.push_back(std::move(note));
    }
  }

  TableReader& reader_;
  FindingsSink* findings_;
  std::optional<std::int64_t> noteEntity_, folderEntity_;
  std::vector<std::pair<std::uint32_t, int>> createdColumns_;
  std::vector<ObjectRow> objects_;
  std::vector<DataRow> data_;
  std::unordered_map<std::int64_t, std::int64_t> folderOfNote_;
};

}  // namespace

NoteBody DecodeNoteBody(Bytes data, std::size_t limit) {
  NoteBody body;
  if (AsText(data).starts_with(kEncryptedPrefix)) {
    body.kind = NoteBody::Kind::kEncrypted;
    return body;
  }
  const Inflated inflated = InflateStream(data, limit);
  if (inflated.bytes.empty()) {
    body.problem =
        std::string("is not a readable gzip stream (") + InflatedStatusText(inflated.status) + ")";
    return body;
  }
  const Bytes message(reinterpret_cast<const std::uint8_t*>(inflated.bytes.data()),
                      inflated.bytes.size());
  // Root field 2 (the document), in it field 3 (the note).
  static constexpr std::array<std::uint32_t, 2> kNotePath = {2, 3};
  const protobuf::PathResult note = protobuf::FindPath(message, kNotePath, true);
  if (note.status != protobuf::PathStatus::kFound) {
    body.problem = inflated.Complete()
                       ? "holds no note text in its protobuf"
                       : std::string("gzip stream is ") + InflatedStatusText(inflated.status) +
                             " before the note text";
    return body;
  }
  static constexpr std::array<std::uint32_t, 1> kTextPath = {2};
  const protobuf::PathResult text = protobuf::FindPath(note.bytes, kTextPath, true);
  body.kind = NoteBody::Kind::kText;
  if (text.status == protobuf::PathStatus::kFound) {
    body.text = WithoutObjectMarkers(ToValidUtf8(AsText(text.bytes)));
  }
  // A cut stream that still gave the whole text is not cut for the reader of the note.
  const bool textCut = note.cut || text.cut || text.status == protobuf::PathStatus::kMalformed;
  if (!inflated.Complete() && (textCut || text.status != protobuf::PathStatus::kFound)) {
    body.cut = true;
    body.problem = std::string("gzip stream is ") + InflatedStatusText(inflated.status) +
                   "; the text is kept as far as it inflated";
  } else if (textCut) {
    body.cut = true;
    body.problem =
        "protobuf field runs past the end of its message; the text is kept as far as "
        "it goes";
  }
  return body;
}

Result ParseNoteStore(const std::filesystem::path& path, std::vector<NoteRecord>& notes,
                      FindingsSink* findings) {
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(path, kLabel); opened != kResultOk) return opened;
  std::vector<NoteRecord> found;
  NoteStoreReader store(reader, findings);
  const Result read = store.Read(found);
  for (NoteRecord& note : found) {
    if (note.title.empty() && note.body.empty() && !note.locked) continue;
    notes.push_back(std::move(note));
  }
  return read;
}

}  // namespace kestrio
