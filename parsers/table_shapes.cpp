#include "parsers/table_shapes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "base/signature_set.h"
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

// Rows whose values after column 0 are equal: a 64-bit hash of those columns' serial types,
// as the varints SQLite writes, then their value bytes, then the number of columns. Column 0
// is left out because a freed record's freeblock header may have taken its serial type. With
// the count the stream says where the types end and, through them, how long the values are,
// so the zero padding of the last word is not ambiguous. The bytes are taken eight at a time,
// whatever the column boundaries: an intact cell's types and values are each one run of its
// page, hashed in two strides.
class RowSignature {
 public:
  void Add(Bytes bytes) {
    const std::uint8_t* at = bytes.data();
    std::size_t left = bytes.size();
    if (held_ != 0) {
      const std::size_t take = std::min(left, 8 - held_);
      std::memcpy(pending_ + held_, at, take);
      held_ += take;
      at += take;
      left -= take;
      if (held_ < 8) return;
      Mix(Load(pending_));
      held_ = 0;
    }
    for (; left >= 8; at += 8, left -= 8) Mix(Load(at));
    std::memcpy(pending_, at, left);
    held_ = left;
  }
  // Adds `type` as the varint SQLite writes for it.
  void AddSerialType(std::uint64_t type) {
    std::uint8_t varint[9];
    Add(Bytes(varint, EncodeVarint(type, varint)));
  }
  std::uint64_t Value(std::uint64_t columns) {
    if (held_ != 0) {
      std::memset(pending_ + held_, 0, 8 - held_);
      Mix(Load(pending_));
      held_ = 0;
    }
    Mix(columns);
    return hash_;
  }

  // The shortest form of `v`: seven bits a byte from the high end, and a ninth byte of eight
  // bits for values above 56 bits.
  static std::size_t EncodeVarint(std::uint64_t v, std::uint8_t out[9]) {
    if (v < 0x80) {
      out[0] = static_cast<std::uint8_t>(v);
      return 1;
    }
    if (v >> 56 != 0) {
      out[8] = static_cast<std::uint8_t>(v);
      v >>= 8;
      for (int i = 7; i >= 0; --i, v >>= 7) out[i] = static_cast<std::uint8_t>(0x80 | (v & 0x7F));
      return 9;
    }
    std::size_t length = 1;
    while (length < 8 && v >> (7 * length) != 0) ++length;
    for (std::size_t i = 0; i < length; ++i) {
      const auto group = static_cast<std::uint8_t>((v >> (7 * (length - 1 - i))) & 0x7F);
      out[i] = static_cast<std::uint8_t>(group | (i + 1 < length ? 0x80 : 0));
    }
    return length;
  }

 private:
  static std::uint64_t Load(const std::uint8_t* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  }
  void Mix(std::uint64_t v) {
    hash_ = (hash_ ^ v) * 0x9E3779B97F4A7C15ULL;
    hash_ ^= hash_ >> 29;
  }
  std::uint64_t hash_ = 0xcbf29ce484222325ULL;
  std::uint8_t pending_[8] = {};
  std::size_t held_ = 0;
};

std::uint64_t SignatureOf(const DecodedRecord& record) {
  const std::uint32_t first = std::max<std::uint32_t>(record.firstColumn, 1);
  const std::uint32_t end = record.EndColumn();
  RowSignature signature;
  // The types are spelled into a buffer and hashed a buffer at a time.
  std::uint8_t types[32 * 9];
  std::size_t held = 0;
  for (std::uint32_t i = first; i < end; ++i) {
    if (held > sizeof types - 9) {
      signature.Add(Bytes(types, held));
      held = 0;
    }
    held += RowSignature::EncodeVarint(record.Column(i)->serialType, types + held);
  }
  signature.Add(Bytes(types, held));
  // A record read from one page has its values side by side: one run to hash.
  const std::uint8_t* runStart = nullptr;
  const std::uint8_t* runEnd = nullptr;
  bool oneRun = true;
  for (std::uint32_t i = first; i < end && oneRun; ++i) {
    const Bytes value = record.Column(i)->value;
    if (value.empty()) continue;
    if (runStart == nullptr) {
      runStart = value.data();
    } else if (value.data() != runEnd) {
      oneRun = false;
    }
    runEnd = value.data() + value.size();
  }
  if (oneRun) {
    if (runStart != nullptr) signature.Add(Bytes(runStart, runEnd));
  } else {
    for (std::uint32_t i = first; i < end; ++i) signature.Add(record.Column(i)->value);
  }
  return signature.Value(end > first ? end - first : 0);
}

// The signature of an intact cell whose record lies whole on its page; nothing for a cell
// that overflows or does not parse. A header that spells a serial type longer than needed
// (SQLite never does) is hashed as SignatureOf would spell it.
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
  std::size_t typesFrom = 0;  // where column 1's serial type starts
  std::uint64_t body = header->value;
  std::uint64_t valuesFrom = 0;  // where column 1's value starts
  std::uint64_t columns = 0;
  bool canonical = true;
  for (; typePos < types.size(); ++columns) {
    if (columns == 1) {
      typesFrom = typePos;
      valuesFrom = body;
    }
    std::uint64_t type = types[typePos];
    if (type < 0x80) {
      ++typePos;
    } else {
      const auto field = ReadTerminatedVarint(types, typePos);
      if (!field) return std::nullopt;
      type = field->value;
      typePos += field->length;
      std::uint8_t shortest[9];
      canonical = canonical && RowSignature::EncodeVarint(type, shortest) == field->length;
    }
    body += SerialTypeSize(type);
    if (body > record->size()) return std::nullopt;
  }
  RowSignature signature;
  if (columns < 2) return signature.Value(0);
  if (canonical) {
    signature.Add(types.subspan(typesFrom));
  } else {
    for (std::size_t at = typesFrom; at < types.size();) {
      const auto field = ReadTerminatedVarint(types, at);
      if (!field) return std::nullopt;
      signature.AddSerialType(field->value);
      at += field->length;
    }
  }
  signature.Add(record->subspan(static_cast<std::size_t>(valuesFrom),
                                static_cast<std::size_t>(body - valuesFrom)));
  return signature.Value(columns - 1);
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
  // The signatures of the live rows the decoder kept, sorted once the first deleted record
  // is looked up (the live rows all come first: if one comes later, they are sorted again),
  // and those of the deleted records it kept. A list, not a set, costs the live rows of a large
  // table 8 bytes each.
  std::vector<std::uint64_t> live;
  std::size_t sorted = 0;  // how many of `live` are sorted
  SignatureSet keptDeleted;
  const auto isLive = [&](std::uint64_t signature) {
    if (sorted != live.size()) {
      std::sort(live.begin(), live.end());
      sorted = live.size();
    }
    return std::binary_search(live.begin(), live.end(), signature);
  };
  const auto isEarlierLive = [&](std::uint64_t signature) {
    return std::any_of(earlierLive_.begin(), earlierLive_.end(), [&](const auto& list) {
      return std::binary_search(list.begin(), list.end(), signature);
    });
  };
  const std::uint32_t usable = sqlite_.UsableSize();
  const bool filter = CurrentShape().columnCount >= kFewestFilteredColumns;
  const RecordDecoder filtered = [&](const RecordView& view) {
    if (!filter) return decoder(view);
    if (!view.deleted) {
      const Result result = decoder(view);
      if (result == kResultOk) {
        if (const auto signature = CellSignature(view.bytes, usable)) live.push_back(*signature);
      }
      return result;
    }
    std::optional<std::uint64_t> signature;
    bool decoded = false;
    if (view.carved) {
      decoded = DecodeTableRecord(*this, view, predecoded_) == kResultOk;
      if (decoded) signature = SignatureOf(predecoded_);
    } else {
      signature = CellSignature(view.bytes, usable);
    }
    if (signature && (keptDeleted.Contains(*signature) || isLive(*signature) ||
                      (view.freePage && isEarlierLive(*signature))))
      return kResultInvalid;
    if (decoded) predecodedView_ = &view;
    const Result result = decoder(view);
    predecodedView_ = nullptr;
    if (result == kResultOk && signature) keptDeleted.Insert(*signature);
    return result;
  };
  const Result scanned = sqlite_.ScanTable(
      currentTable_, [this] { return CurrentShape(); }, filtered);
  if (!live.empty()) {
    if (sorted != live.size()) std::sort(live.begin(), live.end());
    earlierLive_.push_back(std::move(live));
  }
  return scanned;
}

Result DecodeTableRecord(const TableReader& reader, const RecordView& view, DecodedRecord& out) {
  // An intact cell carries its own record header: no shape to look up per row.
  if (!view.carved) return DecodeRecord(reader.Sqlite(), view, CarvedRun{}, out);
  if (reader.predecodedView_ == &view) {
    reader.predecodedView_ = nullptr;
    std::swap(out, reader.predecoded_);
    return kResultOk;
  }
  if (const TableSchema* schema = reader.CurrentSchema()) {
    return DecodeCarvedRecord(*schema, view, reader.Sqlite().TextEncoding(), out,
                              reader.CarvedChecks())
               ? kResultOk
               : kResultInvalid;
  }
  return DecodeTableRecord(reader.Sqlite(), view, reader.CurrentShape(), out);
}

}  // namespace kestrio
