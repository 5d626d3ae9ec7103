// Call history, from either of the two databases iOS has used, read by column name.
//
// iOS 8 and later: CallHistory.storedata, a Core Data store with the table ZCALLRECORD. Its
// columns moved between versions (18 in iOS 9, 21 in iOS 10 and 11, 40 and more in recent
// ones), so each is looked up in the table's own CREATE statement:
//   ZADDRESS           the other party: number, e-mail or handle; declared BLOB up to iOS 11
//                      (UTF-8 bytes stored as a blob or as text), VARCHAR later
//   ZDATE              start of the call, seconds since 2001 (integer or double)
//   ZDURATION          seconds (integer or double)
//   ZORIGINATED        1 outgoing, 0 incoming
//   ZANSWERED          1 the call was connected, 0 not (incoming and 0: missed)
//   ZCALLTYPE          1 phone, 8 FaceTime video, 16 FaceTime audio, 0 another app's call
//                      (through CallKit)
//   ZSERVICE_PROVIDER  iOS 10+: com.apple.Telephony, com.apple.FaceTime or the app's bundle
//                      identifier ("net.whatsapp.WhatsApp")
//   ZNAME              the caller's name as known at the time of the call (often NULL)
// iOS 7 and earlier: call_history.db with the table "call" (ROWID, address, date, duration,
// flags, id, name, country_code, ... and, from iOS 7, answered): the date in Unix seconds;
// flags bit 0 set for outgoing calls, bit 4 for FaceTime (audio or video is not recorded).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/result.h"

namespace kestrio {

enum class CallKind : std::uint8_t {
  kPhone,
  kFaceTimeAudio,
  kFaceTimeVideo,
  kFaceTime,  // the old call table: FaceTime, audio or video not recorded
  kOtherApp,  // another app's call; CallRecord::app names the app when the store does
  kUnknown,   // a call type no version is known to write
};

struct CallRecord {
  bool deleted = false;
  bool isIncoming = false;
  // The call was connected. Where the store has no such column, a call with a duration.
  bool answered = false;
  CallKind kind = CallKind::kPhone;
  std::int32_t durationSeconds = 0;
  std::string dateText;
  std::string number;
  std::string contactName;  // from the address book, else the name the store kept; or empty
  std::string app;          // kOtherApp: the app's bundle identifier, when the store has it

  // Incoming and not answered.
  bool Missed() const { return isIncoming && !answered; }
};

// The kind as a report shows it: "Phone", "FaceTime Audio", "FaceTime Video", "FaceTime",
// the app's identifier (or "Other app"), "Unknown".
std::string CallKindText(const CallRecord& call);
// The kind as a stable token for machine-readable output: "phone", "faceTimeAudio",
// "faceTimeVideo", "faceTime", "otherApp", "unknown".
std::string_view CallKindToken(CallKind kind);

// Appends every live and deleted call of `callDbPath` to `calls`, names them from the
// address book and sorts them by date. The table is told by the database's own schema:
// ZCALLRECORD, else "call". Results: 0; kResultLayoutUnknown (with a finding) when the file
// is SQLite but has neither table; the reader's open error (SQLITE_CANTOPEN for a missing
// file, 87 for one that is not SQLite). When the address book cannot be opened its error is
// returned and the calls stay appended, unnamed and unsorted. A column the parse needs that
// the table lacks, and live rows that cannot be read, are findings.
// `newLayout` (the backup is indexed by Manifest.db) no longer matters: columns are found
// by name. It is kept for the callers.
Result ParseCallHistory(const std::filesystem::path& addressBookPath,
                        std::vector<CallRecord>& calls, bool newLayout,
                        const std::filesystem::path& callDbPath, FindingsSink* findings = nullptr);

}  // namespace kestrio
