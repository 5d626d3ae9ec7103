// Writing small databases for tests through the sqlite3 API.
#pragma once

#include <sqlite3.h>

#include <filesystem>
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

}  // namespace kestrio::testing
