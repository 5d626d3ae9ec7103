// SQLite's own read as the benchmarks' yardstick: every column of a row fetched by its type.
#pragma once

#include <sqlite3.h>

#include <cstdint>

namespace kestrio::bench {

// Fetches every column of the statement's current row by its type; the checksum of the values
// keeps the compiler from dropping any fetch.
inline std::uint64_t TouchRow(sqlite3_stmt* statement, int columns) {
  std::uint64_t sum = 0;
  for (int c = 0; c < columns; ++c) {
    switch (sqlite3_column_type(statement, c)) {
      case SQLITE_INTEGER:
        sum += static_cast<std::uint64_t>(sqlite3_column_int64(statement, c));
        break;
      case SQLITE_FLOAT:
        sum += static_cast<std::uint64_t>(sqlite3_column_double(statement, c));
        break;
      case SQLITE_TEXT:
      case SQLITE_BLOB: {
        const auto* bytes = static_cast<const unsigned char*>(
            sqlite3_column_type(statement, c) == SQLITE_TEXT
                ? static_cast<const void*>(sqlite3_column_text(statement, c))
                : sqlite3_column_blob(statement, c));
        const int size = sqlite3_column_bytes(statement, c);
        sum += static_cast<std::uint64_t>(size) + (size > 0 ? bytes[size - 1] : 0);
        break;
      }
      default:
        ++sum;
        break;
    }
  }
  return sum;
}

}  // namespace kestrio::bench
