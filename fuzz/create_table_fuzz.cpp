// libFuzzer target for the CREATE TABLE splitter: any text gives a column list or nothing,
// and a column list it gives is one a record reader can use: at least one column, every
// column named, lookups by name answer the first column of that name.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sqlite/table_schema.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  const auto schema = kestrio::ParseCreateTable(sql);
  if (!schema) return 0;
  if (schema->columns.empty()) std::abort();
  for (std::uint32_t i = 0; i < schema->ColumnCount(); ++i) {
    const std::uint32_t found = schema->Find(schema->columns[i].name);
    if (found > i) std::abort();
  }
  return 0;
}
