// Writing small databases for tests through the sqlite3 API.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

namespace kestrio::testing {

// Runs `sql` on the database at `path` (created when missing) with secure_delete off, so
// that deleted rows leave their bytes behind as they do on a device.
inline void ExecSql(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + path.string());
  }
  char* error = nullptr;
  const std::string all = "PRAGMA secure_delete=OFF; PRAGMA auto_vacuum=NONE; " + sql;
  const int rc = sqlite3_exec(db, all.c_str(), nullptr, nullptr, &error);
  const std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("SQL failed: " + message);
}

// CREATE TABLE for `columns` columns: an INTEGER PRIMARY KEY named Z_PK (a rowid alias,
// stored as NULL in the record) and then C1, C2, ...
inline std::string TableSql(const std::string& name, int columns) {
  std::string sql = "CREATE TABLE " + name + " (Z_PK INTEGER PRIMARY KEY";
  for (int c = 1; c < columns; ++c) sql += ", C" + std::to_string(c);
  return sql + ");";
}

// INSERT of one row of such a table: `values` by column index as SQL literals, NULL for the
// others.
inline std::string RowSql(const std::string& table, int columns, std::int64_t id,
                          const std::map<int, std::string>& values) {
  std::string sql = "INSERT INTO " + table + " VALUES (" + std::to_string(id);
  for (int c = 1; c < columns; ++c) {
    auto it = values.find(c);
    sql += ", " + (it == values.end() ? std::string("NULL") : it->second);
  }
  return sql + ");";
}

// A text as an SQL literal.
inline std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace kestrio::testing
