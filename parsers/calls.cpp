#include "parsers/calls.h"

#include <sqlite3.h>

#include <algorithm>
#include <unordered_map>

#include "base/text.h"
#include "base/time_text.h"
#include "parsers/contact_names.h"
#include "parsers/contacts.h"
#include "parsers/decoder_support.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"
#include "sqlite/sqlite_library.h"

namespace kestrio {
namespace {

enum class CallTable { kCall = 0, kCallRecord = 1 };

struct CallColumns {
  std::uint32_t number;
  std::uint32_t date;
  std::uint32_t duration;
  std::uint32_t direction;
};

constexpr CallColumns kCallRecordColumns{20, 12, 13, 10};
constexpr CallColumns kCallColumns{1, 2, 3, 4};
constexpr std::uint32_t kOutgoingFlag = 1;       // "call".flags bit 0
constexpr std::size_t kShortestNamedNumber = 5;  // service codes of 4 characters get no name

// Asks SQLite whether the file has a ZCALLRECORD table, with the query the layout is known
// by. The file is opened read-only: a backup is never written.
Result ProbeLayout(const std::filesystem::path& path, CallTable& table) {
  ReadOnlyDatabase database;
  if (const Result opened = database.Open(path); opened != SQLITE_OK) return opened;
  char* error = nullptr;
  sqlite3_exec(
      database.get(), "select * from ZCALLRECORD;", [](void*, int, char**, char**) { return 0; },
      nullptr, &error);
  table = error ? CallTable::kCall : CallTable::kCallRecord;
  sqlite3_free(error);
  return kResultOk;
}

Result DecodeCall(TableReader& reader, const RecordView& view, CallTable table,
                  std::vector<CallRecord>& out) {
  LearnedLayout& learned = reader.Learned();
  DecodedRecord record;
  CarvedRun run;
  run.columnCount = learned.learnedCallColumnCount != 0
                        ? learned.learnedCallColumnCount
                        : reader.TableColumnCount(reader.CurrentTable());
  if (DecodeRecord(reader.Sqlite(), view, run, record) != kResultOk) return kResultInvalid;
  if (!view.carved) {
    learned.learnedCallColumnCount = static_cast<std::uint32_t>(record.headerSize - 1);
  }
  CallColumns columns = table == CallTable::kCallRecord ? kCallRecordColumns : kCallColumns;
  if (table == CallTable::kCallRecord && learned.newLayout) columns.number += 1;

  CallRecord call;
  call.deleted = view.deleted;
  if (!LenientText(record.Column(columns.number), call.number)) return kResultInvalid;
  if (table == CallTable::kCall && std::any_of(call.number.begin(), call.number.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20;
      })) {
    return kResultInvalid;
  }
  const auto date = ColumnSeconds(record.Column(columns.date));
  if (date)
    call.dateText = table == CallTable::kCallRecord ? AppleTimeText(*date) : UnixTimeText(*date);
  const auto duration = ColumnSeconds(record.Column(columns.duration));
  if (duration && *duration >= INT32_MIN && *duration <= INT32_MAX) {
    call.durationSeconds = static_cast<std::int32_t>(*duration);
  }
  const RecordColumn* direction = record.Column(columns.direction);
  if (table == CallTable::kCallRecord) {
    call.isIncoming = direction != nullptr && direction->serialType == 8;
  } else {
    const auto flags = direction ? direction->Integer() : std::nullopt;
    call.isIncoming = flags && (*flags & kOutgoingFlag) == 0;
  }
  if (call.dateText.empty() || call.number.empty()) return kResultInvalid;
  out.push_back(std::move(call));
  return kResultOk;
}

}  // namespace

Result ParseCallHistory(const std::filesystem::path& addressBookPath,
                        std::vector<CallRecord>& calls, bool newLayout,
                        const std::filesystem::path& callDbPath, FindingsSink* findings) {
  CallTable table = CallTable::kCall;
  if (const Result probed = ProbeLayout(callDbPath, table); probed != kResultOk) return probed;

  TableReader reader(findings);
  reader.Learned().newLayout = newLayout;
  // Findings name the store by the file the layout belongs to.
  const std::string_view label =
      table == CallTable::kCallRecord ? "CallHistory.storedata" : "call_history.db";
  if (const Result opened = reader.OpenDatabase(callDbPath, label); opened != kResultOk)
    return opened;
  reader.Learned().callTableVariant = static_cast<std::uint32_t>(table);
  reader.ScanTable(table == CallTable::kCallRecord ? "ZCALLRECORD" : "call",
                   [&](const RecordView& view) { return DecodeCall(reader, view, table, calls); });

  if (const Result opened = reader.OpenDatabase(addressBookPath, kAddressBookLabel);
      opened != kResultOk)
    return opened;
  std::vector<ContactRecord> contacts;
  ReadContactRows(reader, contacts);
  const ContactNames names(contacts);
  for (CallRecord& call : calls) {
    call.contactName.clear();
    if (Utf8Length(call.number) < kShortestNamedNumber) continue;
    call.contactName = names.NameOf(call.number);
  }
  std::vector<CallRecord> sorted;
  sorted.reserve(calls.size());
  for (std::uint32_t i : DateOrder(calls)) sorted.push_back(std::move(calls[i]));
  calls = std::move(sorted);
  return kResultOk;
}

}  // namespace kestrio
