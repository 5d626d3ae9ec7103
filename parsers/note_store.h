// Notes of iOS 9 and later from NoteStore.sqlite (the Notes app's group container).
//
// TABLES (Core Data): ZICCLOUDSYNCINGOBJECT holds notes, folders, accounts, attachments and
// more, told apart by Z_ENT, whose names Z_PRIMARYKEY lists (Z_ENT, Z_NAME: "ICNote",
// "ICFolder", ...). The numbers and many column names differ between versions, so every
// column is found by name:
//   notes    ZTITLE1 the title, ZNOTEDATA -> ZICNOTEDATA.Z_PK, ZMODIFICATIONDATE1, a creation
//            date in one of ZCREATIONDATE, ZCREATIONDATE1 .. 3 (the one the notes fill),
//            ZISPASSWORDPROTECTED, ZMARKEDFORDELETION, ZFOLDER -> the folder (iOS 11.2+)
//   folders  ZTITLE2 the shown name, ZFOLDERTYPE (1: Recently Deleted), ZIDENTIFIER
//            ("TrashFolder-..." for Recently Deleted)
// Before iOS 11.2 a join table Z_<n>NOTES (Z_<n>FOLDERS, Z_<m>NOTES) links folders and notes.
// Dates are seconds since 2001 as doubles.
//
// ZICNOTEDATA (Z_PK, ..., ZNOTE -> the note's Z_PK, ZDATA): the body, a gzip stream whose
// inflated bytes are a protocol buffer: root field 2 (the document), in it field 3 (the
// note), in it field 2, the text in UTF-8. An attachment stands in the text as U+FFFC. A
// locked note's ZDATA is an encrypted keyed-archiver plist ("bplist00"): its text is not
// read, the note is listed with its title.
//
// Deleted notes: records carved from the free space of either table, notes in the Recently
// Deleted folder and notes marked for deletion.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/findings.h"
#include "base/result.h"
#include "parsers/notes.h"

namespace kestrio {

// The most a note body may inflate to; a longer one is cut there.
inline constexpr std::size_t kMaxNoteBodyBytes = 16u << 20;

struct NoteBody {
  enum class Kind {
    kText,        // a gzip protobuf body (the text may be empty, or cut: see `cut`)
    kEncrypted,   // an encrypted body (a locked note's)
    kUnreadable,  // neither: not gzip, or no text found in what inflated
  };
  Kind kind = Kind::kUnreadable;
  std::string text;     // valid UTF-8, without attachment markers
  bool cut = false;     // the stream or the protobuf ended before the text did
  std::string problem;  // for a finding: why the text is missing or cut; empty when whole
};

// The text of one ZICNOTEDATA.ZDATA value, inflating at most `limit` bytes.
NoteBody DecodeNoteBody(Bytes data, std::size_t limit = kMaxNoteBodyBytes);

// Appends the notes of the NoteStore.sqlite at `path`: live notes with their folder, deleted
// ones (see above), locked ones without their text. kResultLayoutUnknown (with a finding)
// when the file is SQLite but has neither ZICCLOUDSYNCINGOBJECT nor ZICNOTEDATA; the open
// error of the reader when it is not readable.
Result ParseNoteStore(const std::filesystem::path& path, std::vector<NoteRecord>& notes,
                      FindingsSink* findings = nullptr);

}  // namespace kestrio
