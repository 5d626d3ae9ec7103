// Call history, from either of the two databases iOS has used.
//
// Newer devices: CallHistory.storedata, a Core Data store with the table ZCALLRECORD; the
// columns read are 10 ZORIGINATED (0: incoming), 12 ZDATE (seconds since 2001, usually a
// double), 13 ZDURATION (seconds, usually a double) and the number at 20, or 21 in the newer
// layout of backups indexed by Manifest.db.
// Older devices: call_history.db with the table "call" (ROWID, address, date, duration,
// flags, id, name, country_code, network_code, read, assisted, face_time_data,
// originalAddress): number 1, date 2 (Unix seconds), duration 3, and flags 4 whose bit 0 is
// set for outgoing calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/result.h"

namespace kestrio {

struct CallRecord {
  bool deleted = false;
  bool isIncoming = false;
  std::int32_t durationSeconds = 0;
  std::string dateText;
  std::string number;
  std::string contactName;  // empty when no contact's phones contain the number
};

// Appends every live and deleted call of `callDbPath` to `calls`, names them from the
// address book and sorts them by date. The layout is told by asking SQLite whether the file
// has a ZCALLRECORD table. Results: 0; SQLite's open result when it cannot open the file;
// the reader's open error (87 for a file that is not SQLite). When the address book cannot
// be opened its error is returned and the calls stay appended, unnamed and unsorted.
Result ParseCallHistory(const std::filesystem::path& addressBookPath,
                        std::vector<CallRecord>& calls, bool newLayout,
                        const std::filesystem::path& callDbPath, FindingsSink* findings = nullptr);

}  // namespace kestrio
