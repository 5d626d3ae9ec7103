#include "parsers/table_shapes.h"

#include <algorithm>
#include <optional>

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
  earlierLive_.clear();
  label_ = label.empty() ? path.filename().string() : std::string(label);
  return sqlite_.OpenDatabase(path, label);
}

Result TableReader::Open(std::unique_ptr<PageSource> source, std::string_view label) {
  schemaLoaded_ = false;
  schemas_.clear();
  byName_.clear();
  earlierLive_.clear();
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

namespace {

// Rows whose values after column 0 are equal: a 64-bit hash of those columns' serial types
// and value bytes. Column 0 is left out because a freed record's freeblock header may have
// taken its serial type.
class RowSignature {
 public:
  void Add(std::uint64_t serialType, Bytes value) {
    Mix(serialType);
    for (std::uint8_t b : value) Mix(b);
  }
  std::uint64_t Value() const { return hash_; }

 private:
  void Mix(std::uint64_t v) {
    hash_ ^= v;
    hash_ *= 0x100000001b3ULL;
  }
  std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

std::uint64_t SignatureOf(const DecodedRecord& record) {
  RowSignature signature;
  for (std::uint32_t i = std::max<std::uint32_t>(record.firstColumn, 1); i < record.EndColumn();
       ++i) {
    const RecordColumn& column = *record.Column(i);
    signature.Add(column.serialType, column.value);
  }
  return signature.Value();
}

// The signature of an intact cell whose record lies whole on its page; nothing for a cell
// that overflows or does not parse.
std::optional<std::uint64_t> CellSignature(Bytes cell, std::uint32_t usable) {
  const auto payload = ReadTerminatedVarint(cell, 0);
  if (!payload) return std::nullopt;
  const auto rowId = ReadTerminatedVarint(cell, payload->length);
  if (!rowId) return std::nullopt;
  if (LocalPayloadSize(payload->value, usable) < payload->value) return std::nullopt;
  const auto record = SubSpan(cell, payload->length + rowId->length, payload->value);
  if (!record) return std::nullopt;
  const auto header = ReadTerminatedVarint(*record, 0);
  if (!header || header->value > record->size() || header->value < header->length)
    return std::nullopt;
  const Bytes types = record->first(static_cast<std::size_t>(header->value));
  std::size_t typePos = header->length;
  std::size_t body = static_cast<std::size_t>(header->value);
  RowSignature signature;
  for (std::uint32_t column = 0; typePos < types.size(); ++column) {
    const auto type = ReadTerminatedVarint(types, typePos);
    if (!type) return std::nullopt;
    typePos += type->length;
    const auto value = SubSpan(*record, body, SerialTypeSize(type->value));
    if (!value) return std::nullopt;
    body += value->size();
    if (column > 0) signature.Add(type->value, *value);
  }
  return signature.Value();
}

constexpr std::uint32_t kFewestFilteredColumns = 3;

}  // namespace

Result TableReader::ScanTable(std::string_view table, const RecordDecoder& decoder) {
  currentTable_ = std::string(table);
  currentSchema_ = nullptr;
  if (sqlite_.IsOpen()) {
    LoadSchema();
    const std::string key = AsciiLower(table);
    const auto it = schemas_.find(key);
    if (it != schemas_.end() && it->second && byName_.contains(key))
      currentSchema_ = it->second.get();
  }
  // Live signatures are collected while the live rows come (they all come first) and sorted
  // once the first deleted record arrives.
  std::vector<std::uint64_t> live;
  bool sorted = false;
  std::unordered_set<std::uint64_t> deleted;
  DecodedRecord record;
  const std::uint32_t usable = sqlite_.UsableSize();
  const bool filter = CurrentShape().columnCount >= kFewestFilteredColumns;
  const RecordDecoder filtered = [&](const RecordView& view) {
    if (!filter) return decoder(view);
    if (!view.deleted) {
      const Result kept = decoder(view);
      if (kept == kResultOk) {
        if (const auto signature = CellSignature(view.bytes, usable)) live.push_back(*signature);
      }
      return kept;
    }
    if (!sorted) {
      std::sort(live.begin(), live.end());
      sorted = true;
    }
    std::optional<std::uint64_t> signature;
    if (view.carved) {
      if (DecodeTableRecord(*this, view, record) == kResultOk) signature = SignatureOf(record);
    } else {
      signature = CellSignature(view.bytes, usable);
    }
    if (signature &&
        (std::binary_search(live.begin(), live.end(), *signature) || deleted.contains(*signature) ||
         (view.freePage &&
          std::binary_search(earlierLive_.begin(), earlierLive_.end(), *signature))))
      return kResultInvalid;
    const Result kept = decoder(view);
    if (kept == kResultOk && signature) deleted.insert(*signature);
    return kept;
  };
  const Result scanned = sqlite_.ScanTable(
      currentTable_, [this] { return CurrentShape(); }, filtered);
  std::sort(live.begin(), live.end());
  const auto middle = static_cast<std::ptrdiff_t>(earlierLive_.size());
  earlierLive_.insert(earlierLive_.end(), live.begin(), live.end());
  std::inplace_merge(earlierLive_.begin(), earlierLive_.begin() + middle, earlierLive_.end());
  return scanned;
}

Result DecodeTableRecord(const TableReader& reader, const RecordView& view, DecodedRecord& out) {
  if (view.carved) {
    if (const TableSchema* schema = reader.CurrentSchema()) {
      return DecodeCarvedRecord(*schema, view, reader.Sqlite().TextEncoding(), out,
                                reader.CarvedChecks())
                 ? kResultOk
                 : kResultInvalid;
    }
  }
  return DecodeTableRecord(reader.Sqlite(), view, reader.CurrentShape(), out);
}

}  // namespace kestrio
