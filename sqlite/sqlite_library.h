// A database opened through the SQLite library, read-only: Kestrio asks the library only
// for a backup's index and for the shape of a few tables, and never writes a backup.
#pragma once

#include <sqlite3.h>

#include <filesystem>

#include "base/result.h"

namespace kestrio {

class ReadOnlyDatabase {
 public:
  ReadOnlyDatabase() = default;
  ~ReadOnlyDatabase() { sqlite3_close(db_); }
  ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
  ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;

  // SQLITE_OK, or the library's result (SQLITE_CANTOPEN for a missing file: none is made).
  Result Open(const std::filesystem::path& path) {
    const int opened = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    if (opened != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
    return opened;
  }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace kestrio
