// kestrio-cli carve: any SQLite file read with Kestrio's own reader, every table's live rows
// and the rows of deleted records carved from its free space, listed or written as JSON.
#include <algorithm>
#include <fstream>

#include "base/platform_storage.h"
#include "base/text.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "sqlite/table_dump.h"

namespace kestrio::cli {
namespace {

std::string_view EncodingName(int encoding) {
  return encoding == 2 ? "UTF-16le" : encoding == 3 ? "UTF-16be" : "UTF-8";
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

void WriteValue(JsonWriter& json, const DumpValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::kInteger:
      json.Int(value.integer);
      break;
    case FieldValue::Kind::kReal:
      json.Double(value.real);
      break;
    case FieldValue::Kind::kText:
      json.String(value.bytes);
      break;
    case FieldValue::Kind::kBlob:
      json.String(Hex(value.bytes));
      break;
    default:
      json.Null();
      break;
  }
}

// False when the values of a row could not be read back (its values are then written empty).
bool WriteJson(JsonWriter& json, const std::string& file, const DatabaseDump& dump,
               const std::vector<Finding>& findings) {
  bool whole = true;
  std::vector<DumpValue> values;
  json.BeginObject().Field("file", file).Field("pageSize", dump.pageSize);
  json.Field("encoding", EncodingName(dump.encoding)).Key("findings").BeginArray();
  for (const Finding& f : findings) {
    json.BeginRecord().Field("file", f.file).Field("what", f.what).Field("where", f.where);
    json.Field("why", f.why).EndObject();
  }
  json.EndArray().Key("tables").BeginArray();
  for (const DumpTable& table : dump.tables) {
    json.BeginObject().Field("name", table.name).Key("columns").BeginArray();
    for (const std::string& column : table.columns) json.String(column);
    json.EndArray().Key("rows").BeginArray();
    for (const DumpRow& row : table.rows) {
      json.BeginRecord().Field("deleted", row.deleted);
      json.Field("source", RowSourceName(row.source)).Field("page", row.page).Key("rowid");
      if (row.rowId) {
        json.Int(*row.rowId);
      } else {
        json.Null();
      }
      json.Key("values").BeginObject();
      whole = dump.Values(table, row, values) && whole;
      for (std::size_t i = 0; i < values.size() && i < table.columns.size(); ++i) {
        json.Key(table.columns[i]);
        WriteValue(json, values[i]);
      }
      json.EndObject().EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray().EndObject();
  return whole;
}

// A value as the listing shows it: texts quoted, blobs as x'hex', NULL and lost values bare.
std::string ListedValue(const DumpValue& value) {
  switch (value.kind) {
    case FieldValue::Kind::kInteger:
      return std::to_string(value.integer);
    case FieldValue::Kind::kReal: {
      JsonWriter number(false);
      number.Double(value.real);
      return number.str();
    }
    case FieldValue::Kind::kText:
      return JsonQuote(value.bytes);
    case FieldValue::Kind::kBlob:
      return "x'" + Hex(value.bytes) + "'";
    case FieldValue::Kind::kAbsent:
      return "?";
    default:
      return "NULL";
  }
}

// False when the values of a row could not be read back.
bool WriteListing(std::ostream& out, const std::string& file, const DatabaseDump& dump) {
  bool whole = true;
  std::vector<DumpValue> values;
  out << file << ": page size " << dump.pageSize << ", " << EncodingName(dump.encoding)
      << (dump.walUsed ? ", with its write-ahead log" : "") << "\n";
  for (const DumpTable& table : dump.tables) {
    out << "\ntable " << table.name << " (";
    for (std::size_t i = 0; i < table.columns.size(); ++i)
      out << (i ? ", " : "") << table.columns[i];
    out << "): " << table.LiveCount() << " live, " << table.DeletedCount() << " deleted\n";
    for (const DumpRow& row : table.rows) {
      out << "  " << (row.deleted ? "deleted " : "live    ") << RowSourceName(row.source)
          << " page " << row.page << " rowid " << (row.rowId ? std::to_string(*row.rowId) : "?")
          << ":";
      whole = dump.Values(table, row, values) && whole;
      for (std::size_t i = 0; i < values.size() && i < table.columns.size(); ++i)
        out << (i ? ", " : " ") << table.columns[i] << "=" << ListedValue(values[i]);
      out << "\n";
    }
  }
  return whole;
}

}  // namespace

int Carve(const Options& options, Terminal& terminal) {
  const std::filesystem::path path = options.positional.front();
  DumpOptions dumpOptions;
  dumpOptions.tables = options.tables;
  // The rows' values wait on disk beside decrypted backups, not in memory.
  dumpOptions.spillFolder = TemporaryBackupFolder();
  DatabaseDump dump;
  FindingsList findings;
  const Result result = DumpDatabase(path, dumpOptions, dump, &findings);
  if (result != kResultOk) {
    terminal.err << "kestrio-cli: " << path.string() << " could not be opened as an SQLite "
                 << "database: " << ResultLine(result) << "\n";
    return kExitUnopened;
  }
  for (const std::string& wanted : options.tables) {
    const bool found = std::any_of(dump.tables.begin(), dump.tables.end(), [&](const DumpTable& t) {
      return EqualsIgnoreCase(t.name, wanted);
    });
    if (!found) terminal.err << "kestrio-cli: warning: no table named " << wanted << "\n";
  }
  constexpr std::string_view kValuesLost =
      "kestrio-cli: the values of some rows could not be kept until they were written\n";
  if (!options.json) {
    const bool whole = WriteListing(terminal.out, path.string(), dump);
    for (const Finding& f : findings.Snapshot()) terminal.err << FindingLine(f) << "\n";
    if (whole) return kExitOk;
    terminal.err << kValuesLost;
    return kExitUsage;
  }
  const bool toOut = options.json->empty() || *options.json == "-";
  std::ofstream file;
  if (!toOut) file.open(*options.json, std::ios::binary | std::ios::trunc);
  JsonWriter json(toOut ? terminal.out : file);
  if (!WriteJson(json, path.string(), dump, findings.Snapshot())) {
    json.Settle();
    terminal.err << kValuesLost;
    return kExitUsage;
  }
  if (!json.Flush() && !toOut) {
    terminal.err << "kestrio-cli: cannot write " << *options.json << "\n";
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace kestrio::cli
