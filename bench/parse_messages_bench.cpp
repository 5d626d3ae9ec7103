// Throughput of the message parse against SQLite's own read of the same table.
//
// For each size (the benchmark argument, in MB) a messages database with 30% of its messages
// deleted is generated once per process into a temporary directory, outside any timing:
//   BM_ParseMessages/<MB>       ParseMessages over the database: live rows, carving of the
//                               free space of every page and of the freelist, the joins
//   BM_SqliteSelectMessage/<MB> sqlite3 "SELECT * FROM message", every column of every row
//                               fetched by its type
// bytes_per_second is the file size over the wall time of one call. ParseMessages also
// reports what it found: live and deleted messages, and the recall of deleted messages: the
// share of the deleted rowids whose exact text came back (each carved text ends in "(#rowid)",
// so a carved record can be matched to the row it was).
//
//   parse_messages_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>

#include "bench/sqlite_touch.h"
#include "parsers/messages.h"
#include "tests/fixtures/carving_census.h"
#include "tests/fixtures/ios_fixtures.h"

namespace {

namespace fx = kestrio::fixtures;

constexpr double kDeleteFraction = 0.3;
constexpr std::uint32_t kSeed = 7;
constexpr std::uint64_t kMegabyte = 1000 * 1000;

struct BenchDatabase {
  fx::TempDir dir;
  fx::LargeMessagesDb messages;
  std::filesystem::path addressBook;
};

// The databases of this process, by size in MB; written on first use.
const BenchDatabase& DatabaseOfSize(std::int64_t megabytes) {
  static std::map<std::int64_t, std::unique_ptr<BenchDatabase>> cache;
  std::unique_ptr<BenchDatabase>& entry = cache[megabytes];
  if (!entry) {
    entry = std::make_unique<BenchDatabase>();
    std::fprintf(stderr, "writing a %lld MB messages database...\n",
                 static_cast<long long>(megabytes));
    entry->messages = fx::WriteLargeMessagesDb(entry->dir / "sms.db",
                                               static_cast<std::uint64_t>(megabytes) * kMegabyte,
                                               kDeleteFraction, kSeed);
    fx::AddressBookOptions contacts;
    contacts.contactCount = 24;
    contacts.deleteFraction = 0.1;
    entry->addressBook = fx::WriteAddressBook(entry->dir / "AddressBook.sqlitedb", contacts).path;
    std::fprintf(stderr, "  %llu bytes, %lld messages, %lld deleted\n",
                 static_cast<unsigned long long>(entry->messages.fileBytes),
                 static_cast<long long>(entry->messages.messageCount),
                 static_cast<long long>(entry->messages.deletedCount));
  }
  return *entry;
}

// The rowid a generated text names at its end ("... (#1234)").
std::optional<std::int64_t> RowIdOfText(std::string_view text) {
  if (!text.ends_with(')')) return std::nullopt;
  const std::size_t open = text.rfind("(#");
  if (open == std::string_view::npos) return std::nullopt;
  std::int64_t rowId = 0;
  const char* first = text.data() + open + 2;
  const char* last = text.data() + text.size() - 1;
  const auto [end, error] = std::from_chars(first, last, rowId);
  if (error != std::errc{} || end != last) return std::nullopt;
  return rowId;
}

struct Census {
  std::int64_t live = 0;
  std::int64_t deleted = 0;
  std::int64_t deletedRowsRecovered = 0;  // distinct deleted rowids with their exact text
  std::int64_t deletedOfLiveRows = 0;     // deleted records holding a live row's text
  std::int64_t deletedUnmatched = 0;      // deleted records matching no row's text
};

Census TakeCensus(const kestrio::ConversationMap& conversations, const fx::LargeMessagesDb& db) {
  Census census;
  std::unordered_set<std::int64_t> recovered;
  for (const auto& [handle, messages] : conversations) {
    for (const kestrio::MessageRecord& message : messages) {
      if (!message.deleted) {
        ++census.live;
        continue;
      }
      ++census.deleted;
      const std::optional<std::int64_t> rowId = RowIdOfText(message.text);
      if (!rowId || *rowId < 1 || *rowId > db.messageCount ||
          message.text != fx::LargeMessageText(*rowId, kSeed)) {
        ++census.deletedUnmatched;
      } else if (!fx::LargeMessageDeleted(*rowId, kDeleteFraction, kSeed)) {
        ++census.deletedOfLiveRows;
      } else {
        recovered.insert(*rowId);
      }
    }
  }
  census.deletedRowsRecovered = static_cast<std::int64_t>(recovered.size());
  return census;
}

void BM_ParseMessages(benchmark::State& state) {
  const BenchDatabase& db = DatabaseOfSize(state.range(0));
  kestrio::ConversationMap conversations;
  for (auto _ : state) {
    conversations.clear();
    std::uint64_t highestRowId = 0;
    const kestrio::Result result = kestrio::ParseMessages(
        kestrio::ParseContext{}, db.addressBook, conversations, db.messages.path, highestRowId);
    if (result != kestrio::kResultOk) {
      state.SkipWithError("ParseMessages failed");
      return;
    }
    benchmark::DoNotOptimize(conversations);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(db.messages.fileBytes));

  const Census census = TakeCensus(conversations, db.messages);
  state.counters["live"] = static_cast<double>(census.live);
  state.counters["live_model"] = static_cast<double>(db.messages.liveCount);
  state.counters["deleted"] = static_cast<double>(census.deleted);
  state.counters["deleted_model"] = static_cast<double>(db.messages.deletedCount);
  state.counters["deleted_recovered"] = static_cast<double>(census.deletedRowsRecovered);
  state.counters["deleted_recall"] = db.messages.deletedCount == 0
                                         ? 0.0
                                         : static_cast<double>(census.deletedRowsRecovered) /
                                               static_cast<double>(db.messages.deletedCount);
  state.counters["deleted_of_live_rows"] = static_cast<double>(census.deletedOfLiveRows);
  state.counters["deleted_unmatched"] = static_cast<double>(census.deletedUnmatched);
  // Recall over the deleted rows whose whole text is still in the file, and the share of the
  // reported deleted records that are a deleted row.
  std::set<std::int64_t> recoverable =
      fx::RecoverableLargeMessages(db.messages.path, kDeleteFraction, kSeed);
  std::int64_t found = 0;
  for (const auto& [handle, messages] : conversations) {
    for (const kestrio::MessageRecord& message : messages) {
      const std::optional<std::int64_t> rowId = RowIdOfText(message.text);
      if (message.deleted && rowId && recoverable.erase(*rowId) != 0 &&
          message.text == fx::LargeMessageText(*rowId, kSeed))
        ++found;
    }
  }
  const double recoverableCount = static_cast<double>(found + std::ssize(recoverable));
  state.counters["deleted_recoverable"] = recoverableCount;
  state.counters["recall_of_recoverable"] =
      recoverableCount == 0 ? 0.0 : static_cast<double>(found) / recoverableCount;
  state.counters["deleted_precision"] =
      census.deleted == 0 ? 1.0
                          : static_cast<double>(census.deleted - census.deletedUnmatched -
                                                census.deletedOfLiveRows) /
                                static_cast<double>(census.deleted);
}

void BM_SqliteSelectMessage(benchmark::State& state) {
  const BenchDatabase& db = DatabaseOfSize(state.range(0));
  std::int64_t rows = 0;
  for (auto _ : state) {
    sqlite3* connection = nullptr;
    if (sqlite3_open_v2(db.messages.path.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
      sqlite3_close(connection);
      state.SkipWithError("sqlite3_open_v2 failed");
      return;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, "SELECT * FROM message", -1, &statement, nullptr) !=
        SQLITE_OK) {
      sqlite3_close(connection);
      state.SkipWithError("sqlite3_prepare_v2 failed");
      return;
    }
    const int columns = sqlite3_column_count(statement);
    std::uint64_t sum = 0;
    rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      sum += kestrio::bench::TouchRow(statement, columns);
      ++rows;
    }
    benchmark::DoNotOptimize(sum);
    sqlite3_finalize(statement);
    sqlite3_close(connection);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(db.messages.fileBytes));
  state.counters["live"] = static_cast<double>(rows);
  state.counters["live_model"] = static_cast<double>(db.messages.liveCount);
}

// Sizes in MB. Each pair runs side by side so their bytes_per_second can be compared.
BENCHMARK(BM_ParseMessages)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteSelectMessage)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseMessages)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteSelectMessage)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
