// libFuzzer target for the generic carver: the database is read as the carve command reads it
// (every table, live and carved rows, the freelist's dropped tables).
//
// Input layout, that of the reader's seed corpus: byte 0 holds flags (bit 0: the rows' values
// wait in a file on disk, else in memory); the rest is the database file. Beside the
// sanitizers one property is checked: every row's values read back, one per column of its
// table.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sqlite/table_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const std::filesystem::path folder = [] {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kestrio-carve-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir;
  }();
  const std::filesystem::path path = folder / "db";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  kestrio::DumpOptions options;
  if (data[0] & 1) options.spillFolder = folder;
  kestrio::DatabaseDump dump;
  if (kestrio::DumpDatabase(path, options, dump, nullptr) != kestrio::kResultOk) return 0;
  std::vector<kestrio::DumpValue> values;
  for (const kestrio::DumpTable& table : dump.tables) {
    for (const kestrio::DumpRow& row : table.rows) {
      if (!dump.Values(table, row, values) || values.size() != table.columns.size()) std::abort();
    }
  }
  return 0;
}
