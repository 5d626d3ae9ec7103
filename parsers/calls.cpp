#include "parsers/calls.h"

#include <cmath>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "base/text.h"
#include "base/time_text.h"
#include "parsers/contact_names.h"
#include "parsers/contacts.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"
#include "sqlite/table_schema.h"

namespace kestrio {
namespace {

constexpr std::string_view kStoreLabel = "CallHistory.storedata";
constexpr std::string_view kLegacyLabel = "call_history.db";

// The old call table as iOS 6 wrote it; read when the file's own statement cannot be.
constexpr std::string_view kFallbackCallSql =
    "CREATE TABLE call (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, "
    "duration INTEGER, flags INTEGER, id INTEGER, name TEXT, country_code TEXT, network_code "
    "TEXT, read INTEGER, assisted INTEGER, face_time_data BLOB, originalAddress TEXT)";

constexpr std::int64_t kOutgoingFlag = 1;        // "call".flags bit 0
constexpr std::int64_t kFaceTimeFlag = 16;       // "call".flags bit 4
constexpr std::size_t kShortestNamedNumber = 5;  // service codes of 4 characters get no name

// ZCALLTYPE values.
constexpr std::int64_t kTypeOtherApp = 0;
constexpr std::int64_t kTypePhone = 1;
constexpr std::int64_t kTypeFaceTimeVideo = 8;
constexpr std::int64_t kTypeFaceTimeAudio = 16;

// A carved record is kept only with a date in the years phones have kept call histories:
// 2005-01-01 to 2100-01-01 UTC, as Unix seconds.
constexpr std::int64_t kEarliestUnix = 1104537600;
constexpr std::int64_t kLatestUnix = 4102444800;
constexpr std::int64_t kAppleEpoch = 978307200;  // 2001-01-01 in Unix seconds
// No call lasts ten days; a carved duration beyond that is not a duration.
constexpr double kLongestCall = 10 * 86400.0;
// Seconds beyond this are not a date of any kind (and keep the arithmetic in range).
constexpr double kSecondsBound = 1e11;

// Whole seconds of a number value (integer or double, truncated); nothing for other kinds.
std::optional<std::int64_t> Seconds(const FieldValue& value) {
  const std::optional<double> number = value.Number();
  if (!number || !std::isfinite(*number) || std::fabs(*number) > kSecondsBound) return std::nullopt;
  return static_cast<std::int64_t>(*number);
}

// An integer flag column: integers, and the text default "1" of the old table's `answered`.
std::optional<std::int64_t> Flag(const FieldValue& value) {
  if (value.kind == FieldValue::Kind::kInteger) return value.integer;
  if (value.kind == FieldValue::Kind::kText) {
    const std::string_view text = value.Text();
    if (text == "0") return 0;
    if (text == "1") return 1;
  }
  return std::nullopt;
}

// A flag a carved record may hold: 0, 1, NULL, or lost with the record's start.
bool PlausibleFlag(const FieldValue& value) {
  if (value.kind == FieldValue::Kind::kAbsent || value.kind == FieldValue::Kind::kNull) return true;
  return value.kind == FieldValue::Kind::kInteger && (value.integer == 0 || value.integer == 1);
}

// The other party, stored as text or as a blob of UTF-8 bytes. False when the bytes are not
// clean UTF-8 or hold control characters (the text of no address).
bool AddressText(const FieldValue& value, std::string& out) {
  out.clear();
  if (value.kind != FieldValue::Kind::kText && value.kind != FieldValue::Kind::kBlob) return true;
  const std::string_view text = AsText(value.bytes);
  if (!IsCleanUtf8(text)) return false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  out.assign(text);
  return true;
}

// The column indexes of one call table, looked up once.
struct CallColumns {
  explicit CallColumns(const TableSchema& s, bool legacy) : schema(&s), legacy(legacy) {
    if (legacy) {
      address = s.Find("address");
      date = s.Find("date");
      duration = s.Find("duration");
      flags = s.Find("flags");
      answered = s.Find("answered");
      name = s.Find("name");
    } else {
      address = s.Find("ZADDRESS");
      date = s.Find("ZDATE");
      duration = s.Find("ZDURATION");
      originated = s.Find("ZORIGINATED");
      answered = s.Find("ZANSWERED");
      callType = s.Find("ZCALLTYPE");
      provider = s.Find("ZSERVICE_PROVIDER");
      name = s.Find("ZNAME");
    }
  }

  // The columns a call cannot be read without, and those it is read without, by name.
  std::string Missing(bool required) const {
    std::string names;
    auto add = [&](std::uint32_t index, std::string_view name) {
      if (index != TableSchema::kMissing) return;
      if (!names.empty()) names += ", ";
      names += name;
    };
    if (required) {
      add(address, legacy ? "address" : "ZADDRESS");
      add(date, legacy ? "date" : "ZDATE");
    } else if (legacy) {
      add(duration, "duration");
      add(flags, "flags");
    } else {
      add(duration, "ZDURATION");
      add(originated, "ZORIGINATED");
      add(answered, "ZANSWERED");
      add(callType, "ZCALLTYPE");
    }
    return names;
  }

  const TableSchema* schema;
  bool legacy;
  std::uint32_t address = TableSchema::kMissing, date = TableSchema::kMissing,
                duration = TableSchema::kMissing, originated = TableSchema::kMissing,
                answered = TableSchema::kMissing, callType = TableSchema::kMissing,
                provider = TableSchema::kMissing, name = TableSchema::kMissing,
                flags = TableSchema::kMissing;
};

// Why a live row was left out; counted per table and reported once.
struct Rejected {
  int badAddress = 0;  // not text, or bytes that are not clean UTF-8
  int noAddress = 0;
  int badDate = 0;  // no number, or one that does not print as a date
};

CallKind KindOfType(std::int64_t type) {
  switch (type) {
    case kTypePhone:
      return CallKind::kPhone;
    case kTypeFaceTimeVideo:
      return CallKind::kFaceTimeVideo;
    case kTypeFaceTimeAudio:
      return CallKind::kFaceTimeAudio;
    case kTypeOtherApp:
      return CallKind::kOtherApp;
    default:
      return CallKind::kUnknown;
  }
}

// Decodes one row into `call`; false rejects it (and counts why, for live rows).
bool DecodeCallRow(const CallColumns& c, const RecordView& view, const DecodedRecord& record,
                   CallRecord& call, Rejected& rejected) {
  const TableSchema& s = *c.schema;
  const bool carved = view.carved;
  const FieldValue address = s.Field(record, c.address, carved);
  if (!AddressText(address, call.number)) {
    rejected.badAddress += carved ? 0 : 1;
    return false;
  }
  if (call.number.empty()) {
    rejected.noAddress += carved ? 0 : 1;
    return false;
  }

  const std::optional<std::int64_t> date = Seconds(s.Field(record, c.date, carved));
  if (date) {
    const std::int64_t unix = c.legacy ? *date : *date + kAppleEpoch;
    if (carved && (unix < kEarliestUnix || unix >= kLatestUnix)) return false;
    call.dateText = c.legacy ? UnixTimeText(*date) : AppleTimeText(*date);
  }
  if (call.dateText.empty()) {
    rejected.badDate += carved ? 0 : 1;
    return false;
  }

  const FieldValue duration = s.Field(record, c.duration, carved);
  if (const std::optional<double> seconds = duration.Number()) {
    if (carved && !(*seconds >= 0 && *seconds < kLongestCall)) return false;
    if (std::isfinite(*seconds) && *seconds >= 0 && *seconds <= INT32_MAX)
      call.durationSeconds = static_cast<std::int32_t>(*seconds);
  } else if (carved && duration.kind != FieldValue::Kind::kAbsent &&
             duration.kind != FieldValue::Kind::kNull) {
    return false;
  }

  const FieldValue answered = s.Field(record, c.answered, carved);
  if (carved && c.answered != TableSchema::kMissing && !PlausibleFlag(answered) && !Flag(answered))
    return false;
  const std::optional<std::int64_t> answeredFlag = Flag(answered);
  call.answered = answeredFlag ? *answeredFlag != 0 : call.durationSeconds > 0;

  if (c.legacy) {
    const std::optional<std::int64_t> flags = s.Field(record, c.flags, carved).Integer();
    call.isIncoming = flags && (*flags & kOutgoingFlag) == 0;
    call.kind = flags && (*flags & kFaceTimeFlag) != 0 ? CallKind::kFaceTime : CallKind::kPhone;
  } else {
    const FieldValue originated = s.Field(record, c.originated, carved);
    if (carved && !PlausibleFlag(originated)) return false;
    call.isIncoming = Flag(originated).value_or(0) == 0;
    const FieldValue type = s.Field(record, c.callType, carved);
    if (const auto value = type.Integer(); value && type.kind == FieldValue::Kind::kInteger) {
      call.kind = KindOfType(*value);
    } else if (carved && type.kind != FieldValue::Kind::kAbsent &&
               type.kind != FieldValue::Kind::kNull) {
      return false;
    } else {
      // Stores without the column are iOS 8 ones, which kept phone and FaceTime calls
      // alike; a NULL type is told by nothing.
      call.kind = c.callType == TableSchema::kMissing ? CallKind::kPhone : CallKind::kUnknown;
    }
    std::string provider;
    if (StrictText(s.Field(record, c.provider, carved), provider) &&
        call.kind == CallKind::kOtherApp)
      call.app = std::move(provider);
  }

  std::string name;
  if (StrictText(s.Field(record, c.name, carved), name)) call.contactName = std::move(name);
  call.deleted = view.deleted;
  return true;
}

void ReportRejected(FindingsSink* findings, std::string_view label, std::string_view table,
                    const Rejected& rejected) {
  auto report = [&](int count, std::string_view why) {
    if (count == 0) return;
    Report(findings, {std::string(label), "call", "table " + std::string(table),
                      std::to_string(count) + (count == 1 ? " live row " : " live rows ") +
                          std::string(why) + "; left out"});
  };
  report(rejected.badAddress, "with an address that is not readable text");
  report(rejected.noAddress, "without an address");
  report(rejected.badDate, "without a readable date");
}

// Reads the calls of the open database's `table` into `calls`.
void ReadCalls(TableReader& reader, const TableSchema& schema, bool legacy, std::string_view label,
               std::vector<CallRecord>& calls, FindingsSink* findings) {
  const std::string table = legacy ? "call" : "ZCALLRECORD";
  const CallColumns columns(schema, legacy);
  if (const std::string missing = columns.Missing(true); !missing.empty()) {
    Report(findings, {std::string(label), "table", "table " + table,
                      "has no column " + missing + "; its calls cannot be read"});
    return;
  }
  if (const std::string missing = columns.Missing(false); !missing.empty()) {
    Report(findings, {std::string(label), "column", "table " + table,
                      "has no column " + missing + "; read without it"});
  }
  Rejected rejected;
  DecodedRecord record;
  reader.ScanTable(table, [&](const RecordView& view) {
    if (DecodeTableRecord(reader, view, record) != kResultOk) return kResultInvalid;
    CallRecord call;
    if (!DecodeCallRow(columns, view, record, call, rejected)) return kResultInvalid;
    calls.push_back(std::move(call));
    return kResultOk;
  });
  ReportRejected(findings, label, table, rejected);
}

// A deleted call found more than once (in a freeblock and again on a page the freelist
// took), or a copy a rebalance left behind of a call that is still live, is listed once: as
// the live call when there is one.
void DropCopies(std::vector<CallRecord>& calls, std::size_t from) {
  auto key = [](const CallRecord& c) {
    return c.number + "|" + c.dateText + (c.isIncoming ? "|1|" : "|0|") +
           std::to_string(c.durationSeconds);
  };
  std::unordered_set<std::string> seen;
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (!calls[i].deleted) seen.insert(key(calls[i]));
  }
  std::size_t kept = from;
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (calls[i].deleted && !seen.insert(key(calls[i])).second) continue;
    if (kept != i) calls[kept] = std::move(calls[i]);
    ++kept;
  }
  calls.resize(kept);
}

}  // namespace

std::string CallKindText(const CallRecord& call) {
  switch (call.kind) {
    case CallKind::kPhone:
      return "Phone";
    case CallKind::kFaceTimeAudio:
      return "FaceTime Audio";
    case CallKind::kFaceTimeVideo:
      return "FaceTime Video";
    case CallKind::kFaceTime:
      return "FaceTime";
    case CallKind::kOtherApp:
      return call.app.empty() ? "Other app" : call.app;
    case CallKind::kUnknown:
      break;
  }
  return "Unknown";
}

std::string_view CallKindToken(CallKind kind) {
  switch (kind) {
    case CallKind::kPhone:
      return "phone";
    case CallKind::kFaceTimeAudio:
      return "faceTimeAudio";
    case CallKind::kFaceTimeVideo:
      return "faceTimeVideo";
    case CallKind::kFaceTime:
      return "faceTime";
    case CallKind::kOtherApp:
      return "otherApp";
    case CallKind::kUnknown:
      break;
  }
  return "unknown";
}

Result ParseCallHistory(const std::filesystem::path& addressBookPath,
                        std::vector<CallRecord>& calls, bool /*newLayout*/,
                        const std::filesystem::path& callDbPath, FindingsSink* findings) {
  TableReader reader(findings);
  if (const Result opened = reader.OpenDatabase(callDbPath, kStoreLabel); opened != kResultOk)
    return opened;
  // Store names of stored files are hashes: findings name the file by the table it holds.
  const std::size_t before = calls.size();
  if (const TableSchema* store = reader.Schema("ZCALLRECORD")) {
    ReadCalls(reader, *store, false, kStoreLabel, calls, findings);
  } else if (reader.HasTable("ZCALLRECORD")) {
    // Listed, its statement does not parse (already a finding): nothing to read it by.
    return kResultOk;
  } else if (reader.HasTable("call")) {
    if (const Result opened = reader.OpenDatabase(callDbPath, kLegacyLabel); opened != kResultOk)
      return opened;
    ReadCalls(reader, reader.SchemaOr("call", kFallbackCallSql), true, kLegacyLabel, calls,
              findings);
  } else {
    Report(findings, {callDbPath.filename().string(), "database", "schema",
                      "no ZCALLRECORD or call table (layout not recognised)"});
    return kResultLayoutUnknown;
  }

  DropCopies(calls, before);

  if (const Result opened = reader.OpenDatabase(addressBookPath, kAddressBookLabel);
      opened != kResultOk)
    return opened;
  std::vector<ContactRecord> contacts;
  ReadContactRows(reader, contacts);
  const ContactNames names(contacts);
  for (std::size_t i = before; i < calls.size(); ++i) {
    CallRecord& call = calls[i];
    if (Utf8Length(call.number) < kShortestNamedNumber) continue;
    if (const std::string_view name = names.NameOf(call.number); !name.empty())
      call.contactName = std::string(name);
  }
  std::vector<CallRecord> sorted;
  sorted.reserve(calls.size());
  for (std::uint32_t i : DateOrder(calls)) sorted.push_back(std::move(calls[i]));
  calls = std::move(sorted);
  return kResultOk;
}

}  // namespace kestrio
