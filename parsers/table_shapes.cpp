#include "parsers/table_shapes.h"

#include "base/text.h"

namespace kestrio {
namespace {

// The message table's records start their body with a 36-character guid, which a freed
// record found in a freeblock still holds whole.
constexpr std::size_t kMessageGuidLength = 36;

}  // namespace

std::uint32_t TableColumnCount(std::string_view table, const LearnedLayout& learned) {
  struct Fixed {
    std::string_view name;
    std::uint32_t columns;
  };
  static constexpr Fixed kTables[] = {
      {"ZNOTEBODY", 7},
      {"ZNOTE", 19},
      {"handle", 5},
      {"attachment", 9},
      {"message_attachment_join", 2},
      {"call", 13},
      {"Friend", 13},
      {"tb_c2cTables", 1},
      {"ZWACHATSESSION", 25},
      {"ZWAGROUPMEMBER", 13},
      {"ZWAMEDIAITEM", 24},
      {"ZCALLRECORD", 18},
      {"ZWAMESSAGE", 34},
      {"ZWACONTACT", 11},
      {"ZWAPHONE", 9},
  };
  if (EqualsIgnoreCase(table, "message")) return learned.messageColumnCount;
  if (EqualsIgnoreCase(table, "ABPersonFullTextSearch_content")) {
    // The layout has 24 or 25 columns. The column count of a live row says which; the
    // serial-type byte count alone cannot tell 25 one-byte types from 24 with a long text.
    const std::uint32_t seen = learned.contactColumnCount;
    return (seen == 24 || seen == 25) ? seen : (learned.contactIndexVariant > 25 ? 25 : 24);
  }
  for (const Fixed& fixed : kTables) {
    if (EqualsIgnoreCase(table, fixed.name)) return fixed.columns;
  }
  if (table.starts_with("Chat_")) return 9;
  if (table.starts_with("tb_c2cMsg")) return 50;
  return 0;
}

TableShape ShapeOf(std::string_view table, const LearnedLayout& learned) {
  TableShape shape;
  shape.columnCount = TableColumnCount(table, learned);
  shape.learnedColumnCount = shape.columnCount;
  shape.nonZeroBodyPrefix = EqualsIgnoreCase(table, "message") ? kMessageGuidLength : 0;
  return shape;
}

Result TableReader::OpenDatabase(const std::filesystem::path& path, std::string_view label) {
  schemaLoaded_ = false;
  schemas_.clear();
  byName_.clear();
  label_ = label.empty() ? path.filename().string() : std::string(label);
  return sqlite_.OpenDatabase(path, label);
}

Result TableReader::Open(std::unique_ptr<PageSource> source, std::string_view label) {
  schemaLoaded_ = false;
  schemas_.clear();
  byName_.clear();
  label_ = std::string(label);
  return sqlite_.Open(std::move(source), label);
}

void TableReader::LoadSchema() {
  if (schemaLoaded_) return;
  schemaLoaded_ = true;
  std::vector<SchemaObject> objects;
  ReadSchema(sqlite_, objects);  // a page that cannot be read is the page scans' finding
  for (const SchemaObject& object : objects) {
    if (object.type != "table" || object.name.empty()) continue;
    auto parsed = ParseCreateTable(object.sql);
    if (!parsed) {
      // Virtual tables (CREATE VIRTUAL TABLE ... USING fts4) have no column list of their
      // own; their content lives in shadow tables that are ordinary ones.
      if (!StartsWithIgnoreCase(object.sql, "CREATE VIRTUAL")) {
        Report(findings_, {label_, "table", "table " + object.name,
                           "CREATE statement does not parse; read by the assumed layout"});
      }
      schemas_.try_emplace(AsciiLower(object.name));
      continue;
    }
    schemas_[AsciiLower(object.name)] = std::make_unique<TableSchema>(std::move(*parsed));
  }
}

const TableSchema* TableReader::Schema(std::string_view table) {
  if (!sqlite_.IsOpen()) return nullptr;
  LoadSchema();
  std::string key = AsciiLower(table);
  const auto it = schemas_.find(key);
  if (it == schemas_.end() || !it->second) return nullptr;
  byName_.insert(std::move(key));
  return it->second.get();
}

bool TableReader::HasTable(std::string_view table) {
  if (!sqlite_.IsOpen()) return false;
  LoadSchema();
  return schemas_.contains(AsciiLower(table));
}

const TableSchema& TableReader::SchemaOr(std::string_view table, std::string_view fallback) {
  if (const TableSchema* own = Schema(table)) return *own;
  auto& kept = fallbacks_[std::string(fallback)];
  if (!kept) {
    auto parsed = ParseCreateTable(fallback);
    kept = std::make_unique<TableSchema>(parsed ? std::move(*parsed) : TableSchema{});
  }
  return *kept;
}

TableShape TableReader::CurrentShape() const {
  TableShape shape = ShapeOf(currentTable_, learned_);
  const std::string key = AsciiLower(currentTable_);
  const auto it = schemas_.find(key);
  if (it != schemas_.end() && it->second && byName_.contains(key)) {
    shape.columnCount = it->second->ColumnCount();
    shape.learnedColumnCount = shape.columnCount;
    // The 36-character guid opens the body only where it is the first column after the rowid
    // (iOS 5's message table starts with the address).
    if (shape.nonZeroBodyPrefix != 0 && it->second->Find("guid") != 1) shape.nonZeroBodyPrefix = 0;
  }
  return shape;
}

Result TableReader::ScanTable(std::string_view table, const RecordDecoder& decoder) {
  currentTable_ = std::string(table);
  if (sqlite_.IsOpen()) LoadSchema();
  return sqlite_.ScanTable(
      currentTable_, [this] { return CurrentShape(); }, decoder);
}

Result DecodeTableRecord(const TableReader& reader, const RecordView& view, DecodedRecord& out) {
  return DecodeTableRecord(reader.Sqlite(), view, reader.CurrentShape(), out);
}

}  // namespace kestrio
