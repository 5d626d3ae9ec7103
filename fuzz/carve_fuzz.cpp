// libFuzzer target for the generic carver: the input is a database file, read as the carve
// command reads it (every table, live and carved rows, the freelist's dropped tables). Beside
// the sanitizers one property is checked: every row has one value per column of its table.
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
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("kestrio-carve-fuzz-" + std::to_string(getpid()));
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  kestrio::DatabaseDump dump;
  if (kestrio::DumpDatabase(path, {}, dump, nullptr) != kestrio::kResultOk) return 0;
  std::vector<kestrio::DumpValue> values;
  for (const kestrio::DumpTable& table : dump.tables) {
    for (const kestrio::DumpRow& row : table.rows) {
      if (!dump.Values(table, row, values) || values.size() != table.columns.size()) std::abort();
    }
  }
  return 0;
}
