// Notes from notes.sqlite: the note rows of ZNOTE (11 ZBODY, the rowid of the body row;
// 14 the date in seconds since 2001; 19 the title) and their HTML bodies in ZNOTEBODY
// (4 ZCONTENT).
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
  std::string dateText;
  std::string title;
  std::string body;  // plain text with line feeds
};

// Replaces `notes` with every live and deleted note: bodies joined to their note rows,
// notes without a readable body, bodies without a note row. 0, or the reader's open error.
Result ParseNotes(const std::filesystem::path& notesDbPath, std::vector<NoteRecord>& notes,
                  FindingsSink* findings = nullptr);

// The HTML body as plain text: the entities Notes writes decoded, <div> and <br> as line
// feeds, </div> removed; no other markup is touched.
std::string CleanNoteText(std::string text);

}  // namespace kestrio
