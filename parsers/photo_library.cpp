#include "parsers/photo_library.h"

#include <unordered_map>

#include "base/text.h"
#include "base/time_text.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"

namespace kestrio {
namespace {

constexpr std::string_view kAssetTables[] = {"ZASSET", "ZGENERICASSET"};
constexpr std::string_view kAttributesTable = "ZADDITIONALASSETATTRIBUTES";
// Bare folder names ("100APPLE") lie below this one.
constexpr std::string_view kMediaFolder = "Media/";
constexpr std::string_view kDcimFolder = "Media/DCIM/";

// A part of a path: no control character (NUL included), well-formed UTF-8, and not a part
// that moves up or stays where it is.
bool SafePart(std::string_view part) {
  if (part.empty() || part == "." || part == "..") return false;
  for (const char c : part) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return IsValidUtf8(part);
}

bool SafeFolder(std::string_view directory) {
  if (directory.empty()) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = directory.find('/', start);
    const std::string_view part = directory.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!SafePart(part)) return false;  // also an empty part: a leading, doubled or last "/"
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::int64_t IntOr0(const FieldValue& value) { return value.Integer().value_or(0); }

// The text of a text value, or empty (NULL, a number, a blob, a lost column).
std::string_view TextOf(const FieldValue& value) { return value.Text(); }

// Display text: well-formed UTF-8 without control characters, else empty.
std::string DisplayText(const FieldValue& value) {
  std::string_view text = value.Text();
  text = text.substr(0, text.find('\0'));
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return {};
  }
  return IsValidUtf8(text) ? std::string(text) : std::string();
}

// A date column: empty for NULL or a lost column; `notANumber` set for text and blobs.
std::string DateText(const FieldValue& value, bool& notANumber) {
  notANumber = value.kind == FieldValue::Kind::kText || value.kind == FieldValue::Kind::kBlob;
  const std::optional<double> seconds = value.Number();
  if (!seconds) return {};
  const std::optional<std::int64_t> whole = WholeSeconds(*seconds);
  return whole ? AppleTimeText(*whole) : std::string();
}

struct AssetColumns {
  explicit AssetColumns(const TableSchema& s)
      : directory(s.Find("ZDIRECTORY")),
        fileName(s.Find("ZFILENAME")),
        dateCreated(s.Find("ZDATECREATED")),
        trashedState(s.Find("ZTRASHEDSTATE")),
        trashedDate(s.Find("ZTRASHEDDATE")),
        hidden(s.Find("ZHIDDEN")),
        attributes(s.Find("ZADDITIONALATTRIBUTES")) {}
  std::uint32_t directory, fileName, dateCreated, trashedState, trashedDate, hidden, attributes;
};

// Original file names of the live attribute rows, by the row's Z_PK and by the asset it
// names.
struct OriginalNames {
  std::unordered_map<std::int64_t, std::string> byRow;
  std::unordered_map<std::int64_t, std::string> byAsset;
};

class LibraryReader {
 public:
  LibraryReader(TableReader& reader, FindingsSink* findings)
      : reader_(reader), findings_(findings) {}

  void Note(std::string where, std::string why) {
    Report(findings_, {std::string(kPhotoLibraryLabel), "asset", std::move(where), std::move(why)});
  }

  void ReadOriginalNames(OriginalNames& names) {
    const TableSchema* s = reader_.Schema(kAttributesTable);
    if (s == nullptr) return;  // an old library keeps none; a CREATE that fails is a finding
    const std::uint32_t name = s->Find("ZORIGINALFILENAME");
    const std::uint32_t asset = s->Find("ZASSET");
    if (name == TableSchema::kMissing) return;
    DecodedRecord record;
    reader_.ScanTable(kAttributesTable, [&](const RecordView& view) {
      if (view.carved) return kResultInvalid;
      if (DecodeTableRecord(reader_, view, record) != kResultOk) return kResultInvalid;
      std::string text = DisplayText(s->Field(record, name, false));
      if (text.empty()) return kResultInvalid;
      names.byRow.try_emplace(static_cast<std::int64_t>(record.rowId), text);
      if (asset != TableSchema::kMissing) {
        names.byAsset.try_emplace(IntOr0(s->Field(record, asset, false)), std::move(text));
      }
      return kResultOk;
    });
  }

  Result ReadAssets(std::string_view table, const TableSchema& s, const OriginalNames& names,
                    PhotoLibrary& library) {
    const AssetColumns c(s);
    if (c.directory == TableSchema::kMissing || c.fileName == TableSchema::kMissing) {
      Note("table " + std::string(table),
           "has no column ZDIRECTORY or ZFILENAME; the library names no files");
      return kResultLayoutUnknown;
    }
    for (const auto& [index, column] :
         {std::pair{c.dateCreated, "ZDATECREATED"}, std::pair{c.trashedState, "ZTRASHEDSTATE"},
          std::pair{c.hidden, "ZHIDDEN"}}) {
      if (index == TableSchema::kMissing) {
        Note("table " + std::string(table),
             "has no column " + std::string(column) + "; read without it");
      }
    }
    std::uint64_t unusable = 0, firstUnusable = 0, textDates = 0, firstTextDate = 0;
    DecodedRecord record;
    reader_.ScanTable(table, [&](const RecordView& view) {
      if (DecodeTableRecord(reader_, view, record) != kResultOk) return kResultInvalid;
      const bool carved = view.carved;
      PhotoAsset asset;
      asset.relativePath = AssetRelativePath(TextOf(s.Field(record, c.directory, carved)),
                                             TextOf(s.Field(record, c.fileName, carved)));
      if (asset.relativePath.empty()) {
        if (!carved && unusable++ == 0) firstUnusable = record.rowId;
        return kResultInvalid;
      }
      bool textDate = false;
      asset.dateText = DateText(s.Field(record, c.dateCreated, carved), textDate);
      bool ignored = false;
      asset.trashedDateText = DateText(s.Field(record, c.trashedDate, carved), ignored);
      asset.trashed = IntOr0(s.Field(record, c.trashedState, carved)) == 1;
      asset.hidden = IntOr0(s.Field(record, c.hidden, carved)) == 1;
      if (carved) {
        library.carved.push_back(std::move(asset));
        return kResultOk;
      }
      if (textDate && textDates++ == 0) firstTextDate = record.rowId;
      asset.rowId = static_cast<std::int64_t>(record.rowId);
      const std::int64_t attributes = IntOr0(s.Field(record, c.attributes, false));
      if (const auto found = names.byRow.find(attributes);
          attributes != 0 && found != names.byRow.end()) {
        asset.originalName = found->second;
      } else if (const auto back = names.byAsset.find(asset.rowId); back != names.byAsset.end()) {
        asset.originalName = back->second;
      }
      library.assets.push_back(std::move(asset));
      return kResultOk;
    });
    if (unusable != 0) {
      Note("table " + std::string(table) + " row " + std::to_string(firstUnusable),
           std::to_string(unusable) +
               " rows whose ZDIRECTORY or ZFILENAME is no safe file path (missing, \"..\", a "
               "leading \"/\", control characters); left out");
    }
    if (textDates != 0) {
      Note("table " + std::string(table) + " row " + std::to_string(firstTextDate),
           std::to_string(textDates) +
               " rows whose ZDATECREATED is not a number; their files are shown without a date");
    }
    if (!library.carved.empty()) {
      Note("table " + std::string(table),
           std::to_string(library.carved.size()) +
               " asset rows found in the free space (removed from the library, or older "
               "versions of live rows); they mark no file");
    }
    return kResultOk;
  }

 private:
  TableReader& reader_;
  FindingsSink* findings_;
};

}  // namespace

std::string AssetRelativePath(std::string_view directory, std::string_view fileName) {
  if (!SafePart(fileName) || fileName.find('/') != std::string_view::npos) return {};
  if (!SafeFolder(directory)) return {};
  const bool bare = directory.find('/') == std::string_view::npos;
  std::string path(bare ? kDcimFolder : kMediaFolder);
  path.append(directory).push_back('/');
  path.append(fileName);
  return path;
}

Result ReadPhotoLibrary(const std::filesystem::path& path, PhotoLibrary& library,
                        FindingsSink* findings) {
  library = {};
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(path, kPhotoLibraryLabel); opened != kResultOk)
    return opened;
  LibraryReader read(reader, findings);
  std::string_view table;
  for (const std::string_view name : kAssetTables) {
    if (reader.HasTable(name)) {
      table = name;
      break;
    }
  }
  if (table.empty()) {
    read.Note("tables", "has neither ZASSET nor ZGENERICASSET (layout not recognised)");
    return kResultLayoutUnknown;
  }
  library.table = std::string(table);
  const TableSchema* schema = reader.Schema(table);
  if (schema == nullptr) return kResultLayoutUnknown;  // the unreadable CREATE is a finding
  OriginalNames names;
  read.ReadOriginalNames(names);
  return read.ReadAssets(table, *schema, names, library);
}

}  // namespace kestrio
