// Notes from notes.sqlite, the store of iOS 8 and earlier (often still in later backups with
// old notes), read by column name: the note rows of ZNOTE (ZBODY the rowid of the body row,
// ZSTORE the folder's row in ZSTORE, ZCREATIONDATE and ZMODIFICATIONDATE in seconds since
// 2001, ZTITLE) and their HTML bodies in ZNOTEBODY (ZCONTENT). A real ZNOTE may lack
// ZEXTERNALSEQUENCENUMBER, which moves every later column. The notes of iOS 9 and later are in
// NoteStore.sqlite (note_store.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/result.h"

namespace kestrio {

struct NoteRecord {
  bool deleted = false;       // of the row the note was built from (its body row when any)
  std::uint32_t bodyKey = 0;  // the body row's rowid (0 when carved)
  std::string dateText;       // created
  std::string modifiedText;   // last modified; may be empty
  std::string title;
  std::string body;     // plain text with line feeds
  std::string folder;   // the folder's name as the user sees it; may be empty
  bool locked = false;  // password-protected: the text is encrypted and not shown
};

// Replaces `notes` with every live and deleted note: bodies joined to their note rows,
// notes without a readable body, bodies without a note row. 0, or the reader's open error.
Result ParseNotes(const std::filesystem::path& notesDbPath, std::vector<NoteRecord>& notes,
                  FindingsSink* findings = nullptr);

// The HTML body as plain text: the entities Notes writes decoded, <div> and <br> as line
// feeds, </div> removed; no other markup is touched.
std::string CleanNoteText(std::string text);

}  // namespace kestrio
