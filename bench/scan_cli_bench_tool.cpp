// Not a benchmark: the two helpers of the command-line scan benchmark (bench/scan-cli-bench.sh).
//
//   scan_cli_bench_tool write <folder> <MB>
//     Writes a small backup of the Manifest.db layout (a few rows in every category) into
//     <folder> and replaces its stored sms.db by a messages database of about <MB> megabytes
//     with 30% of its messages deleted (WriteLargeMessagesDb, seed 7). The last line printed is
//     "<sms.db path> <bytes> <messages> <deleted>".
//
//   scan_cli_bench_tool select <database> <table>
//     SQLite's own read of every column of every row of <table> ("SELECT * FROM <table>", each
//     value fetched by its type), the yardstick of the scan. Prints the row count.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "bench/sqlite_touch.h"
#include "tests/fixtures/ios_fixtures.h"

namespace {

namespace fx = kestrio::fixtures;

int Write(const std::filesystem::path& folder, std::uint64_t megabytes) {
  fx::BackupOptions options;
  options.layout = fx::BackupLayout::kManifestDb;
  options.seed = 3;
  const fx::BackupModel model = fx::WriteBackup(folder, options);
  const fx::BackupEntry* sms = model.Find(fx::kSmsDbKey);
  if (sms == nullptr || !sms->stored) {
    std::fprintf(stderr, "scan_cli_bench_tool: the backup has no stored sms.db\n");
    return 1;
  }
  std::filesystem::remove(sms->path);
  const fx::LargeMessagesDb db =
      fx::WriteLargeMessagesDb(sms->path, megabytes * 1000 * 1000, 0.3, 7);
  std::printf("%s %llu %lld %lld\n", sms->path.c_str(),
              static_cast<unsigned long long>(db.fileBytes),
              static_cast<long long>(db.messageCount), static_cast<long long>(db.deletedCount));
  return 0;
}

int Select(const char* path, const std::string& table) {
  sqlite3* connection = nullptr;
  if (sqlite3_open_v2(path, &connection, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "scan_cli_bench_tool: cannot open %s\n", path);
    sqlite3_close(connection);
    return 1;
  }
  const std::string sql = "SELECT * FROM \"" + table + "\"";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "scan_cli_bench_tool: %s\n", sqlite3_errmsg(connection));
    sqlite3_close(connection);
    return 1;
  }
  const int columns = sqlite3_column_count(statement);
  std::uint64_t sum = 0;
  std::uint64_t rows = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    sum += kestrio::bench::TouchRow(statement, columns);
    ++rows;
  }
  sqlite3_finalize(statement);
  sqlite3_close(connection);
  std::printf("%llu rows (checksum %llu)\n", static_cast<unsigned long long>(rows),
              static_cast<unsigned long long>(sum));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::string(argv[1]) == "write")
      return Write(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (argc == 4 && std::string(argv[1]) == "select") return Select(argv[2], argv[3]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "scan_cli_bench_tool: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: %s write <folder> <MB> | select <database> <table>\n", argv[0]);
  return 2;
}
