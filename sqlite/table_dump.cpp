#include "sqlite/table_dump.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/signature_set.h"
#include "base/text.h"
#include "sqlite/btree_page.h"
#include "sqlite/raw_sqlite_reader.h"
#include "sqlite/record.h"
#include "sqlite/wal.h"

namespace kestrio {
namespace {

// A value as the store keeps it: its kind (1 byte), then an integer or a real as its 8 bytes,
// or a text or a blob as its length (4 bytes) and its bytes. The same bytes make the rows'
// signatures.
void AppendValue(std::string& out, const DumpValue& value) {
  out += static_cast<char>(value.kind);
  switch (value.kind) {
    case FieldValue::Kind::kInteger:
      out.append(reinterpret_cast<const char*>(&value.integer), sizeof value.integer);
      break;
    case FieldValue::Kind::kReal:
      out.append(reinterpret_cast<const char*>(&value.real), sizeof value.real);
      break;
    case FieldValue::Kind::kText:
    case FieldValue::Kind::kBlob: {
      const auto length = static_cast<std::uint32_t>(value.bytes.size());
      out.append(reinterpret_cast<const char*>(&length), sizeof length);
      out += value.bytes;
      break;
    }
    default:
      break;
  }
}

// Takes the first value of `in` off into `value`; false when `in` does not start with one.
bool TakeValue(std::string_view& in, DumpValue& value) {
  const auto take = [&in](void* to, std::size_t size) {
    if (in.size() < size) return false;
    std::memcpy(to, in.data(), size);
    in.remove_prefix(size);
    return true;
  };
  std::uint8_t kind = 0;
  if (!take(&kind, 1)) return false;
  value = DumpValue{};
  value.kind = static_cast<FieldValue::Kind>(kind);
  switch (value.kind) {
    case FieldValue::Kind::kInteger:
      return take(&value.integer, sizeof value.integer);
    case FieldValue::Kind::kReal:
      return take(&value.real, sizeof value.real);
    case FieldValue::Kind::kText:
    case FieldValue::Kind::kBlob: {
      std::uint32_t length = 0;
      if (!take(&length, sizeof length) || in.size() < length) return false;
      value.bytes.assign(in.substr(0, length));
      in.remove_prefix(length);
      return true;
    }
    default:
      return true;
  }
}

// A 64-bit hash of `key` and `extra` together (a row signature with its rowid or page).
std::uint64_t HashWith(std::uint64_t key, std::uint64_t extra) {
  char bytes[2 * sizeof(std::uint64_t)];
  std::memcpy(bytes, &key, sizeof key);
  std::memcpy(bytes + sizeof key, &extra, sizeof extra);
  return std::hash<std::string_view>{}(std::string_view(bytes, sizeof bytes));
}

struct TableWork {
  TableSchema schema;
  std::uint32_t rootPage = 0;
  std::vector<Affinity> affinity;
  DumpTable table;
  std::vector<std::uint64_t> signatures;  // of table.rows, in step with them
  // Signatures of the live rows: without rowid (against carved rows) and with it (against
  // earlier versions from the log); of the carved rows with their page.
  SignatureSet live;
  SignatureSet liveWithRowId;
  SignatureSet carvedSeen;

  // Removes the rows for which drop(row, signature) holds.
  template <typename Drop>
  void EraseRows(Drop drop) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
      if (drop(table.rows[i], signatures[i])) continue;
      table.rows[kept] = table.rows[i];
      signatures[kept] = signatures[i];
      ++kept;
    }
    table.rows.resize(kept);
    signatures.resize(kept);
  }
};

class Dumper {
 public:
  Dumper(const DumpOptions& options, DatabaseDump& out, FindingsSink* findings, std::string label)
      : options_(options), out_(out), findings_(findings), label_(std::move(label)) {}

  Result Run(const std::filesystem::path& path) {
    std::unique_ptr<FilePageSource> file;
    if (const Result opened = FilePageSource::Open(path, file); opened != kResultOk) return opened;
    std::unique_ptr<PageSource> source = std::move(file);
    if (options_.useWal) source = WithWal(path, std::move(source));
    reader_.ReportTo(findings_);
    if (const Result opened = reader_.Open(std::move(source), label_); opened != kResultOk)
      return opened;
    if (wal_ && reader_.PageSize() != wal_->Index().pageSize) {
      Say("write-ahead log", "header", "page size differs from the database's: not used");
      return Reopen(path);
    }
    return Read();
  }

 private:
  Result Reopen(const std::filesystem::path& path) {
    wal_ = nullptr;
    std::unique_ptr<FilePageSource> file;
    if (const Result opened = FilePageSource::Open(path, file); opened != kResultOk) return opened;
    if (const Result opened = reader_.Open(std::move(file), label_); opened != kResultOk)
      return opened;
    return Read();
  }

  void Say(std::string what, std::string where, std::string why) {
    Report(findings_, Finding{label_, std::move(what), std::move(where), std::move(why)});
  }

  std::unique_ptr<PageSource> WithWal(const std::filesystem::path& path,
                                      std::unique_ptr<PageSource> database) {
    std::filesystem::path walPath = path;
    walPath += "-wal";
    std::error_code error;
    if (!std::filesystem::is_regular_file(walPath, error)) return database;
    std::unique_ptr<FilePageSource> walFile;
    if (FilePageSource::Open(walPath, walFile) != kResultOk) {
      Say("write-ahead log", walPath.filename().string(), "unreadable: not used");
      return database;
    }
    if (walFile->Size() == 0) return database;
    WalIndex index;
    if (ReadWalIndex(*walFile, index, findings_, walPath.filename().string()) != kResultOk) {
      Say("write-ahead log", walPath.filename().string(), "not a valid log: not used");
      return database;
    }
    if (index.committedFrames == 0) return database;
    auto overlay =
        std::make_unique<WalPageSource>(std::move(database), std::move(walFile), std::move(index));
    wal_ = overlay.get();
    return overlay;
  }

  Result Read() {
    out_.pageSize = reader_.PageSize();
    out_.encoding = reader_.TextEncoding();
    out_.walUsed = wal_ != nullptr;
    std::vector<SchemaObject> objects;
    if (ReadSchema(reader_, objects) != kResultOk)
      Say("schema", "page 1", "not every page of the schema could be read");
    for (const SchemaObject& object : objects) {
      if (object.type != "table" || object.rootPage == 0) continue;
      if (!Wanted(object.name)) continue;
      std::optional<TableSchema> schema = ParseCreateTable(object.sql);
      if (!schema) {
        Say("table", "table " + object.name, "its CREATE statement does not parse: not read");
        continue;
      }
      TableWork work;
      work.schema = std::move(*schema);
      work.rootPage = object.rootPage;
      work.table.name = object.name;
      for (const SchemaColumn& column : work.schema.columns) {
        work.table.columns.push_back(column.name);
        work.affinity.push_back(column.affinity);
      }
      tables_.push_back(std::move(work));
    }
    for (std::size_t t = 0; t < tables_.size(); ++t) ScanTable(t);
    SettleFreePages();
    if (wal_) EarlierVersions();
    DroppedTables();
    for (TableWork& work : tables_) {
      std::stable_partition(work.table.rows.begin(), work.table.rows.end(),
                            [](const DumpRow& row) { return !row.deleted; });
      out_.tables.push_back(std::move(work.table));
    }
    for (DumpTable& table : dropped_) out_.tables.push_back(std::move(table));
    return kResultOk;
  }

  bool Wanted(std::string_view name) const {
    if (options_.tables.empty()) return true;
    return std::any_of(
        options_.tables.begin(), options_.tables.end(),
        [name](const std::string& wanted) { return EqualsIgnoreCase(wanted, name); });
  }

  DumpValue ValueOf(const FieldValue& field) const {
    DumpValue value;
    value.kind = field.kind;
    value.integer = field.integer;
    value.real = field.real;
    if (field.kind == FieldValue::Kind::kText) {
      value.bytes = DatabaseTextToUtf8(field.bytes, reader_.TextEncoding());
    } else if (field.kind == FieldValue::Kind::kBlob) {
      value.bytes.assign(reinterpret_cast<const char*>(field.bytes.data()), field.bytes.size());
    }
    return value;
  }

  // A value of column `i`: a REAL column stores whole numbers as integers to save space and
  // reads them back as reals.
  DumpValue ColumnValue(const TableWork& work, std::uint32_t i, const FieldValue& field) const {
    DumpValue value = ValueOf(field);
    if (work.affinity[i] == Affinity::kReal && value.kind == FieldValue::Kind::kInteger) {
      value.kind = FieldValue::Kind::kReal;
      value.real = static_cast<double>(value.integer);
    }
    return value;
  }

  // The signature of a row: a 64-bit hash of its values after the first column, without
  // rowid aliases (a table of one column: that column).
  std::uint64_t Signature(const TableWork& work, const std::vector<DumpValue>& values) {
    key_.clear();
    const std::size_t from = values.size() > 1 ? 1 : 0;
    for (std::size_t i = from; i < values.size(); ++i) {
      if (work.schema.columns[i].rowIdAlias) continue;
      AppendValue(key_, values[i]);
    }
    return std::hash<std::string_view>{}(key_);
  }

  // Puts `values` in the store for `row`.
  void Keep(const std::vector<DumpValue>& values, DumpRow& row) {
    bytes_.clear();
    for (const DumpValue& value : values) AppendValue(bytes_, value);
    row.valuesAt = out_.store->Append(bytes_);
    row.valuesLength = static_cast<std::uint32_t>(bytes_.size());
  }

  void AddTableRow(TableWork& work, DumpRow& row, std::uint64_t signature) {
    Keep(values_, row);
    work.table.rows.push_back(row);
    work.signatures.push_back(signature);
  }

  bool Plausible(const TableWork& work, const DecodedRecord& record) const {
    return CarvedRecordFits(work.schema, record, reader_.TextEncoding());
  }

  bool DecodeCarved(const TableWork& work, const RecordView& view, DecodedRecord& out) const {
    return DecodeCarvedRecord(work.schema, view, reader_.TextEncoding(), out);
  }

  RowSource SourceOf(const RecordView& view) const {
    if (view.freePage) return RowSource::kFreelist;
    if (!view.deleted)
      return wal_ && wal_->FromWal(view.page) ? RowSource::kWal : RowSource::kBtree;
    return view.origin == CarveOrigin::kFreeblock || view.origin == CarveOrigin::kStalePointer ||
                   view.origin == CarveOrigin::kWholeCell
               ? RowSource::kFreeblock
               : RowSource::kGap;
  }

  void ScanTable(std::size_t t) {
    TableWork& work = tables_[t];
    const std::uint32_t cc = work.schema.ColumnCount();
    const TableShape shape{cc, cc, 0};
    std::unordered_set<std::uint32_t> swept;
    const RecordDecoder decoder = [&](const RecordView& view) {
      if (view.freePage) claimedFree_.insert(view.page);
      if (swept.insert(view.page).second) {
        const Bytes page(view.bytes.data() - view.offset, view.offset + view.bytes.size());
        SweepFreeSpace(t, page, view.page, view.freePage);
      }
      DecodedRecord record;
      if (view.carved) {
        if (!DecodeCarved(work, view, record)) return kResultInvalid;
      } else {
        if (DecodeTableRecord(reader_, view, shape, record) != kResultOk) return kResultInvalid;
        if (view.deleted && !Plausible(work, record)) return kResultInvalid;
      }
      return AddRow(t, record, view.deleted, SourceOf(view), view.page,
                    view.carved
                        ? std::nullopt
                        : std::optional<std::int64_t>(static_cast<std::int64_t>(record.rowId)))
                 ? kResultOk
                 : kResultInvalid;
    };
    reader_.ScanTableAt(work.rootPage, shape, decoder);
    // Rows carved before the live rows of a later page were read may copy one of those.
    work.EraseRows([&](const DumpRow& row, std::uint64_t signature) {
      return row.deleted && work.live.Contains(signature);
    });
  }

  // Adds a row of table `t` unless it is a deleted copy of a live row or of a row found
  // before on the same page.
  bool AddRow(std::size_t t, const DecodedRecord& record, bool deleted, RowSource source,
              std::uint32_t pageIndex, std::optional<std::int64_t> rowId) {
    TableWork& work = tables_[t];
    DumpRow row;
    row.deleted = deleted;
    row.source = source;
    row.page = pageIndex + 1;
    row.rowId = rowId;
    DecodedRecord withRowId;
    const DecodedRecord* fields = &record;
    if (rowId && record.rowId != static_cast<std::uint64_t>(*rowId)) {
      withRowId.firstColumn = record.firstColumn;
      withRowId.columns = record.columns;
      withRowId.rowId = static_cast<std::uint64_t>(*rowId);
      fields = &withRowId;
    }
    values_.clear();
    for (std::uint32_t i = 0; i < work.schema.ColumnCount(); ++i)
      values_.push_back(ColumnValue(work, i, work.schema.Field(*fields, i, !rowId)));
    const std::uint64_t key = Signature(work, values_);
    if (!deleted) {
      owner_[pageIndex] = t;
      work.liveWithRowId.Insert(HashWith(key, static_cast<std::uint64_t>(rowId.value_or(0))));
      work.live.Insert(key);
    } else {
      if (work.live.Contains(key)) return false;
      // The same freed record found by two searches, or on a page read twice.
      if (!work.carvedSeen.Insert(HashWith(key, row.page))) return false;
    }
    AddTableRow(work, row, key);
    return true;
  }

  // Freed cells that kept their cell header: SQLite writes a freeblock header over the first
  // 4 bytes of a freed cell only, so when neighbouring freed cells merge into one freeblock,
  // or freed cells lie in the unallocated space, every cell after the first in that space is
  // whole. A cell counts when its payload length is exactly its record's header and values.
  void SweepFreeSpace(std::size_t t, Bytes page, std::uint32_t pageIndex, bool freePage) {
    const BtreePage btree{page, pageIndex == 0 ? kFirstPageHeaderOffset : 0};
    if (btree.Type() != kLeafTablePage) return;
    const RowSource source = freePage ? RowSource::kFreelist : RowSource::kFreeblock;
    std::size_t off = btree.FirstFreeblock();
    for (std::size_t guard = page.size() / 4 + 1; off != 0 && guard-- > 0;) {
      const auto next = ReadBe16(page, off);
      const auto size = ReadBe16(page, off + 2);
      if (!next || !size || *size < 4 || off + *size > page.size()) break;
      SweepRange(t, page, pageIndex, off + 4, off + *size, source);
      if (*next != 0 && *next <= off) break;  // the chain runs forward in an intact page
      off = *next;
    }
    const std::size_t gapStart = btree.PointerArrayStart() + 2 * std::size_t{btree.CellCount()};
    const std::size_t gapEnd = std::min<std::size_t>(btree.ContentStart(), page.size());
    if (gapStart < gapEnd)
      SweepRange(t, page, pageIndex, gapStart, gapEnd, freePage ? source : RowSource::kGap);
  }

  void SweepRange(std::size_t t, Bytes page, std::uint32_t pageIndex, std::size_t begin,
                  std::size_t end, RowSource source) {
    const TableWork& work = tables_[t];
    const std::uint32_t cc = work.schema.ColumnCount();
    const Bytes area = page.first(end);
    for (std::size_t pos = begin; pos + 3 < end;) {
      std::size_t used = 0;
      DecodedRecord record;
      if (IntactCell(area, pos, cc, record, used) && Plausible(work, record) &&
          AddRow(t, record, true, source, pageIndex, static_cast<std::int64_t>(record.rowId))) {
        pos += used;
      } else {
        ++pos;
      }
    }
  }

  // A whole leaf cell at `pos` of a table of `cc` columns that ends inside `area`; `used` is
  // its length.
  bool IntactCell(Bytes area, std::size_t pos, std::uint32_t cc, DecodedRecord& out,
                  std::size_t& used) const {
    const auto payload = ReadTerminatedVarint(area, pos);
    if (!payload || payload->length > 3 || payload->value < std::uint64_t{cc} + 1 ||
        payload->value > reader_.UsableSize() - 35)
      return false;
    const auto rowId = ReadTerminatedVarint(area, pos + payload->length);
    if (!rowId || rowId->value > static_cast<std::uint64_t>(INT64_MAX)) return false;
    const std::size_t headerAt = pos + payload->length + rowId->length;
    const auto header = ReadTerminatedVarint(area, headerAt);
    if (!header || header->length > 2 || header->value < std::uint64_t{cc} + header->length ||
        header->value > 9 * std::uint64_t{cc} + header->length)
      return false;
    const std::size_t typesAt = headerAt + header->length;
    const auto types = SubSpan(area, typesAt, header->value - header->length);
    if (!types || VarintRunLength(*types, cc) != types->size()) return false;
    if (!SplitSerialTypeRun(Tail(area, typesAt), 0, cc, 0, out)) return false;
    std::uint64_t total = header->value;
    for (const RecordColumn& column : out.columns) total += column.value.size();
    if (total != payload->value) return false;
    out.rowId = rowId->value;
    used = headerAt - pos + static_cast<std::size_t>(total);
    return true;
  }

  // A freelist page taken by more than one table stays with the one that found most rows.
  void SettleFreePages() {
    std::map<std::uint32_t, std::pair<std::size_t, std::size_t>> best;  // page -> (table, rows)
    std::map<std::pair<std::uint32_t, std::size_t>, std::size_t> counts;
    for (std::size_t t = 0; t < tables_.size(); ++t) {
      for (const DumpRow& row : tables_[t].table.rows) {
        if (row.source == RowSource::kFreelist) ++counts[{row.page, t}];
      }
    }
    for (const auto& [key, count] : counts) {
      auto [it, added] = best.try_emplace(key.first, key.second, count);
      if (!added && count > it->second.second) it->second = {key.second, count};
    }
    for (std::size_t t = 0; t < tables_.size(); ++t) {
      tables_[t].EraseRows([&](const DumpRow& row, std::uint64_t) {
        return row.source == RowSource::kFreelist && best[row.page].first != t;
      });
    }
  }

  // The table whose rows a page of an earlier version holds: the owner of the page in the
  // current state, else the first table of the width of the page's first cell.
  std::optional<std::size_t> TableOfPage(std::uint32_t pageIndex, const BtreePage& page) {
    if (const auto it = owner_.find(pageIndex); it != owner_.end()) return it->second;
    const std::vector<std::uint32_t> cells = CellOffsets(page);
    if (cells.empty()) return std::nullopt;
    DecodedRecord record;
    if (DecodeRecord(reader_, RecordView{Tail(page.bytes, cells.front()), false, true}, {},
                     record) != kResultOk)
      return std::nullopt;
    for (std::size_t t = 0; t < tables_.size(); ++t) {
      if (tables_[t].schema.ColumnCount() == record.columns.size()) return t;
    }
    return std::nullopt;
  }

  void EarlierVersion(std::uint32_t pageIndex, const std::vector<std::uint8_t>& buffer,
                      SignatureSet& seen) {
    // Page 1 holds the schema, not a table.
    if (pageIndex == 0) return;
    const BtreePage page{Bytes(buffer), 0};
    if (page.Type() != kLeafTablePage) return;
    const auto t = TableOfPage(pageIndex, page);
    if (!t) return;
    TableWork& work = tables_[*t];
    const std::uint32_t cc = work.schema.ColumnCount();
    for (std::uint32_t off : CellOffsets(page)) {
      DecodedRecord record;
      const RecordView view{Tail(page.bytes, off), false, true, false, pageIndex};
      if (DecodeTableRecord(reader_, view, TableShape{cc, cc, 0}, record) != kResultOk) continue;
      if (record.columns.size() > cc || !Plausible(work, record)) continue;
      DumpRow row;
      row.deleted = true;
      row.source = RowSource::kWalOld;
      row.page = pageIndex + 1;
      row.rowId = static_cast<std::int64_t>(record.rowId);
      values_.clear();
      for (std::uint32_t i = 0; i < cc; ++i)
        values_.push_back(ColumnValue(work, i, work.schema.Field(record, i, false)));
      const std::uint64_t signature = Signature(work, values_);
      const std::uint64_t key = HashWith(signature, record.rowId);
      if (work.liveWithRowId.Contains(key)) continue;
      if (!seen.Insert(HashWith(key, *t))) continue;
      AddTableRow(work, row, signature);
    }
  }

  // Earlier versions of the pages the log holds: superseded committed frames, and the
  // database file's own copy of every page the log replaced.
  void EarlierVersions() {
    const WalIndex& index = wal_->Index();
    std::vector<std::uint8_t> buffer(index.pageSize);
    SignatureSet seen;
    for (std::size_t f = 0; f < index.frames.size(); ++f) {
      const WalFrame& frame = index.frames[f];
      const auto latest = index.latest.find(frame.pageIndex);
      if (latest != index.latest.end() && latest->second == f) continue;
      if (wal_->ReadFrame(frame, buffer) != kResultOk) continue;
      EarlierVersion(frame.pageIndex, buffer, seen);
    }
    std::vector<std::uint32_t> replaced;
    for (const auto& [pageIndex, position] : index.latest) replaced.push_back(pageIndex);
    std::sort(replaced.begin(), replaced.end());
    for (std::uint32_t pageIndex : replaced) {
      if (wal_->ReadDatabasePage(pageIndex, buffer) != kResultOk) continue;
      EarlierVersion(pageIndex, buffer, seen);
    }
  }

  // Leaf table pages of the freelist that no table took: a dropped table's rows.
  void DroppedTables() {
    if (!options_.tables.empty()) return;
    std::map<std::uint32_t, std::size_t> byWidth;  // column count -> position in dropped_
    std::vector<std::uint8_t> buffer(reader_.PageSize());
    for (std::uint32_t pageIndex : reader_.FreePages()) {
      if (claimedFree_.count(pageIndex) || !donePages_.insert(pageIndex).second) continue;
      if (reader_.ReadPage(pageIndex, buffer) != kResultOk) continue;
      const BtreePage page{Bytes(buffer), pageIndex == 0 ? kFirstPageHeaderOffset : 0};
      if (page.Type() != kLeafTablePage) continue;
      std::vector<DecodedRecord> records;
      std::uint32_t width = 0;
      for (std::uint32_t off : CellOffsets(page)) {
        DecodedRecord record;
        const RecordView view{Tail(page.bytes, off), false, true, true, pageIndex};
        if (DecodeRecord(reader_, view, {}, record) != kResultOk) continue;
        if (width == 0) width = static_cast<std::uint32_t>(record.columns.size());
        if (record.columns.size() != width || width == 0) continue;
        records.push_back(std::move(record));
      }
      if (width == 0) continue;
      auto [it, added] = byWidth.try_emplace(width, dropped_.size());
      if (added) {
        DumpTable table;
        table.name = "(dropped page " + std::to_string(pageIndex + 1) + ")";
        table.dropped = true;
        table.firstColumnIsRowId = true;  // until a row says otherwise
        for (std::uint32_t c = 1; c <= width; ++c) table.columns.push_back("c" + std::to_string(c));
        dropped_.push_back(std::move(table));
      }
      AddDroppedRows(dropped_[it->second], records, pageIndex);
    }
    // The first leaf a drop freed became the freelist trunk: its whole cells behind the
    // trunk's page-number array are rows of a dropped table of their width.
    const std::uint32_t maxLeaves = reader_.UsableSize() / 4 - 2;
    for (std::uint32_t pageIndex : reader_.FreeTrunkPages()) {
      if (byWidth.empty()) break;
      if (claimedFree_.count(pageIndex) || !donePages_.insert(pageIndex).second) continue;
      if (reader_.ReadPage(pageIndex, buffer) != kResultOk) continue;
      const Bytes page(buffer);
      const std::uint32_t leaves = std::min(ReadBe32(page, 4).value_or(maxLeaves), maxLeaves);
      for (const auto& [width, position] : byWidth) {
        CarveShape shape;
        shape.columnCount = shape.learnedColumnCount = width;
        shape.usableSize = reader_.UsableSize();
        std::vector<std::uint32_t> cells;
        FindWholeCells(page, 8 + 4 * std::size_t{leaves}, reader_.UsableSize(), shape, &cells);
        std::vector<DecodedRecord> records;
        for (std::uint32_t off : cells) {
          DecodedRecord record;
          const RecordView view{Tail(page, off), false, true, true, pageIndex};
          if (DecodeRecord(reader_, view, {}, record) != kResultOk ||
              record.columns.size() != width)
            continue;
          records.push_back(std::move(record));
        }
        AddDroppedRows(dropped_[position], records, pageIndex);
      }
    }
    for (DumpTable& table : dropped_) table.firstColumnIsRowId &= !table.rows.empty();
  }

  // The rows of one freelist page for a dropped table: records with a reserved serial type or
  // a text that is no text are left out.
  void AddDroppedRows(DumpTable& table, const std::vector<DecodedRecord>& records,
                      std::uint32_t pageIndex) {
    for (const DecodedRecord& record : records) {
      bool fits = true;
      for (const RecordColumn& column : record.columns) {
        if (column.serialType == 10 || column.serialType == 11 ||
            !CarvedTextFits(column, reader_.TextEncoding()))
          fits = false;
      }
      if (!fits) continue;
      DumpRow row;
      row.deleted = true;
      row.source = RowSource::kFreelist;
      row.page = pageIndex + 1;
      row.rowId = static_cast<std::int64_t>(record.rowId);
      TableSchema plain;
      plain.columns.resize(record.columns.size());
      values_.clear();
      for (std::uint32_t c = 0; c < record.columns.size(); ++c)
        values_.push_back(ValueOf(plain.Field(record, c, false)));
      // A first column that is NULL in every row is a rowid alias (INTEGER PRIMARY KEY).
      if (values_.empty() || values_[0].kind != FieldValue::Kind::kNull)
        table.firstColumnIsRowId = false;
      Keep(values_, row);
      table.rows.push_back(row);
    }
  }

  const DumpOptions& options_;
  DatabaseDump& out_;
  FindingsSink* findings_;
  std::string label_;
  RawSqliteReader reader_;
  WalPageSource* wal_ = nullptr;  // owned by the reader
  std::vector<TableWork> tables_;
  std::vector<DumpTable> dropped_;
  std::unordered_map<std::uint32_t, std::size_t> owner_;  // page index -> table
  // Freelist pages a table's scan took (whether or not it kept their rows).
  std::unordered_set<std::uint32_t> claimedFree_;
  std::unordered_set<std::uint32_t> donePages_;
  // Reused for every row: its values, their stored bytes, its signature's bytes.
  std::vector<DumpValue> values_;
  std::string bytes_;
  std::string key_;
};

}  // namespace

std::string_view RowSourceName(RowSource source) {
  switch (source) {
    case RowSource::kBtree:
      return "btree";
    case RowSource::kFreeblock:
      return "freeblock";
    case RowSource::kGap:
      return "gap";
    case RowSource::kFreelist:
      return "freelist";
    case RowSource::kWal:
      return "wal";
    case RowSource::kWalOld:
      return "walOld";
  }
  return "btree";
}

std::size_t DumpTable::LiveCount() const {
  return static_cast<std::size_t>(
      std::count_if(rows.begin(), rows.end(), [](const DumpRow& row) { return !row.deleted; }));
}

bool DatabaseDump::Values(const DumpTable& table, const DumpRow& row,
                          std::vector<DumpValue>& out) const {
  out.clear();
  if (!store) return false;
  if (!reader_) reader_ = std::make_unique<SpillStore::SequentialReader>(*store);
  if (!reader_->Read(row.valuesAt, row.valuesLength, bytes_)) return false;
  std::string_view in(bytes_);
  while (!in.empty()) {
    if (!TakeValue(in, out.emplace_back())) {
      out.clear();
      return false;
    }
  }
  if (table.firstColumnIsRowId && !out.empty()) {
    out[0].kind = FieldValue::Kind::kInteger;
    out[0].integer = row.rowId.value_or(0);
  }
  return true;
}

Result DumpDatabase(const std::filesystem::path& path, const DumpOptions& options,
                    DatabaseDump& out, FindingsSink* findings) {
  out = DatabaseDump{};
  out.store = std::make_unique<SpillStore>(options.spillFolder);
  return Dumper(options, out, findings, path.filename().string()).Run(path);
}

}  // namespace kestrio
