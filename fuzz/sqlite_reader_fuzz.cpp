// libFuzzer target for the page-level SQLite reader and every decoder built on it.
//
// Input layout: byte 0 selects what the reader is told before it reads (see FuzzFlags); the
// rest is the database file. The file is written to one fixed path per process and read
// from there, exactly as the parsers read the databases of a backup.
//
// One reader scans every table the message parse reads, then the contact table, so values
// learned from one table carry into the next as they do in a real parse. When the flags ask
// for it, ParseMessages and the row dumps of both parsers run on the same file with their
// own readers (the dumps write to /dev/null).
//
// Besides the sanitizers, one property is checked: when SQLite itself finds the file intact
// (PRAGMA integrity_check answers "ok"), the live rows the reader hands to the message
// decoder are exactly the rows SQLite returns. Most mutations of an intact file land in free
// space, which SQLite never checks and the carving reads: whatever the carving meets there
// must not change a live row.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "parsers/calls.h"
#include "parsers/chat_apps.h"
#include "parsers/contacts.h"
#include "parsers/messages.h"
#include "parsers/note_store.h"
#include "parsers/notes.h"
#include "parsers/typedstream.h"
#include "parsers/whatsapp.h"
#include "sqlite/raw_sqlite_reader.h"

namespace {

// Byte 0 of the input:
//   bit 0     message table with 51 columns (else 38) until a live row says otherwise
//   bit 1     newer address-book layout (phone column one further on)
//   bits 2-3  serial-type byte count of a "previous" live contact row: 0, 24, 25 or 40
//   bits 4-5  highest rowid the dumps number carved rows from: 0, 1000, 2^32 - 1, 2^64 - 1
//   bit 6     also run ParseMessages (the file doubling as the address book) and the row
//             dumps: each builds its own reader and rereads the file, and the dumps fill an
//             8 MiB scratch buffer, which makes an input several times slower
//   bit 7     also run the other apps' parsers on the file: call history, notes, WhatsApp,
//             QQ and WeChat (each opens the file itself)
struct FuzzFlags {
  bool newerMessages = false;
  bool newLayout = false;
  std::uint32_t contactVariant = 0;
  std::uint64_t highestRowId = 0;
  bool runParsers = false;
  bool runAppParsers = false;

  static FuzzFlags From(std::uint8_t byte) {
    static constexpr std::uint32_t kContactVariants[] = {0, 24, 25, 40};
    static constexpr std::uint64_t kHighestRowIds[] = {0, 1000, UINT32_MAX, UINT64_MAX};
    FuzzFlags flags;
    flags.newerMessages = (byte & 0x01) != 0;
    flags.newLayout = (byte & 0x02) != 0;
    flags.contactVariant = kContactVariants[(byte >> 2) & 3];
    flags.highestRowId = kHighestRowIds[(byte >> 4) & 3];
    flags.runParsers = (byte & 0x40) != 0;
    flags.runAppParsers = (byte & 0x80) != 0;
    return flags;
  }
};

const std::string& InputPath() {
  static const std::string path = "/tmp/kestrio-fuzz-" + std::to_string(::getpid()) + ".db";
  return path;
}

void RemoveInput() { ::unlink(InputPath().c_str()); }

bool WriteInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(InputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return done == size;
}

using LiveRow = std::pair<std::uint32_t, std::string>;  // rowid, text

// The live messages SQLite returns that the message decoder accepts (a clean, non-empty
// text), sorted; nothing when SQLite does not find the file intact.
struct ExpectedRows {
  std::vector<LiveRow> shown;
  std::vector<std::uint32_t> undetermined;  // rowids whose body the text does not decide
};

std::optional<ExpectedRows> SqliteLiveMessages() {
  sqlite3* db = nullptr;
  const std::string uri = "file:" + InputPath() + "?immutable=1";
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return std::nullopt;
  }
  std::optional<ExpectedRows> rows;
  sqlite3_stmt* check = nullptr;
  bool intact = false;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
      sqlite3_step(check) == SQLITE_ROW) {
    const unsigned char* answer = sqlite3_column_text(check, 0);
    intact = answer != nullptr && std::string_view(reinterpret_cast<const char*>(answer)) == "ok";
  }
  sqlite3_finalize(check);
  sqlite3_stmt* select = nullptr;
  if (intact && sqlite3_prepare_v2(db, "SELECT ROWID, text FROM message", -1, &select, nullptr) ==
                    SQLITE_OK) {
    rows.emplace();
    int step;
    while ((step = sqlite3_step(select)) == SQLITE_ROW) {
      if (sqlite3_column_type(select, 1) != SQLITE_TEXT) continue;
      const auto* text = static_cast<const char*>(sqlite3_column_blob(select, 1));
      const std::string_view value(text ? text : "",
                                   static_cast<std::size_t>(sqlite3_column_bytes(select, 1)));
      if (value.empty() || !kestrio::IsCleanUtf8(value)) continue;
      // A message shows its text without the markers that stand for its attachments; a
      // text of markers alone leaves the body to the other columns, which are not compared.
      const auto rowId = static_cast<std::uint32_t>(sqlite3_column_int64(select, 0));
      std::string shown = kestrio::WithoutObjectMarkers(value);
      if (shown.empty()) {
        rows->undetermined.push_back(rowId);
        continue;
      }
      rows->shown.emplace_back(rowId, std::move(shown));
    }
    if (step != SQLITE_DONE) rows.reset();  // SQLite met corruption after all
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  if (rows) {
    std::sort(rows->shown.begin(), rows->shown.end());
    std::sort(rows->undetermined.begin(), rows->undetermined.end());
  }
  return rows;
}

void CompareLiveMessages(const std::vector<kestrio::MessageRecord>& messages) {
  const std::optional<ExpectedRows> expected = SqliteLiveMessages();
  if (!expected) return;
  std::vector<LiveRow> live;
  for (const kestrio::MessageRecord& message : messages) {
    if (message.deleted || std::binary_search(expected->undetermined.begin(),
                                              expected->undetermined.end(), message.rowId))
      continue;
    live.emplace_back(message.rowId, message.text);
  }
  std::sort(live.begin(), live.end());
  if (live != expected->shown) {
    std::fprintf(stderr, "live messages differ from SQLite's: %zu read, %zu expected\n",
                 live.size(), expected->shown.size());
    std::abort();
  }
}

void ScanAllTables(const FuzzFlags& flags) {
  // One reader for the whole process, reopened for every input as ParseMessages reopens its
  // reader for the address book; its learned values are reset to the flags' each time.
  static kestrio::TableReader reader;
  kestrio::LearnedLayout& learned = reader.Learned();
  learned = kestrio::LearnedLayout{};
  learned.messageColumnCount = flags.newerMessages ? 51 : 38;
  learned.newLayout = flags.newLayout;
  learned.contactIndexVariant = flags.contactVariant;
  if (reader.OpenDatabase(InputPath()) != kestrio::kResultOk) return;

  std::vector<kestrio::MessageRecord> messages;
  std::vector<kestrio::HandleRecord> handles;
  std::vector<kestrio::AttachmentRecord> attachments;
  std::vector<kestrio::AttachmentLink> links;
  std::vector<kestrio::ContactRecord> contacts;
  reader.ScanTable("message", [&](const kestrio::RecordView& view) {
    return kestrio::DecodeMessage(reader, view, messages);
  });
  reader.ScanTable("handle", [&](const kestrio::RecordView& view) {
    return kestrio::DecodeHandle(reader, view, handles);
  });
  reader.ScanTable("attachment", [&](const kestrio::RecordView& view) {
    return kestrio::DecodeAttachment(reader, view, attachments);
  });
  reader.ScanTable("message_attachment_join", [&](const kestrio::RecordView& view) {
    return kestrio::DecodeAttachmentLink(reader, view, links);
  });
  kestrio::ReadContactRows(reader, contacts);

  // Whatever a decoder kept must satisfy what its record type promises.
  for (const kestrio::MessageRecord& message : messages) {
    if (message.text.empty()) std::abort();
  }
  for (const kestrio::HandleRecord& handle : handles) {
    if (handle.address.empty()) std::abort();
  }
  CompareLiveMessages(messages);
}

// The parsers of the other apps, each with its own reader. Their results must keep what
// their record types promise.
void RunAppParsers(const FuzzFlags& flags) {
  std::vector<kestrio::CallRecord> calls;
  kestrio::ParseCallHistory(InputPath(), calls, flags.newLayout, InputPath());
  for (const kestrio::CallRecord& call : calls) {
    if (call.number.empty() || call.dateText.empty()) std::abort();
  }
  std::vector<kestrio::NoteRecord> notes;
  kestrio::ParseNotes(InputPath(), notes);
  for (const kestrio::NoteRecord& note : notes) {
    if (note.body.empty() && note.title.empty()) std::abort();
  }
  notes.clear();
  kestrio::ParseNoteStore(InputPath(), notes);
  for (const kestrio::NoteRecord& note : notes) {
    if (note.body.empty() && note.title.empty() && !note.locked) std::abort();
    if (note.locked && !note.body.empty()) std::abort();
    if (!kestrio::IsValidUtf8(note.body) || !kestrio::IsValidUtf8(note.title)) std::abort();
  }
  kestrio::WhatsAppConversationMap chats;
  kestrio::ParseWhatsApp(InputPath(), chats);
  for (const std::string_view app : {"qq", "wechat"}) {
    kestrio::ChatAppConversationMap conversations;
    if (app == "qq") {
      kestrio::ParseQQ(InputPath(), conversations);
    } else {
      kestrio::ParseWeChat(InputPath(), conversations);
    }
    for (const auto& [key, messages] : conversations) {
      if (messages.empty()) std::abort();
      for (const auto& message : messages) {
        if (!kestrio::IsValidUtf8(message.text) || !kestrio::IsValidUtf8(message.senderName))
          std::abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The path is built before the handler is registered, so that it is destroyed after the
  // handler has run.
  InputPath();
  std::atexit(RemoveInput);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const FuzzFlags flags = FuzzFlags::From(data[0]);
  if (!WriteInput(data + 1, size - 1)) return 0;

  ScanAllTables(flags);
  if (flags.runParsers) {
    // The file serves as both the messages database and the address book.
    kestrio::ParseContext context;
    context.newLayout = flags.newLayout;
    kestrio::ConversationMap conversations;
    std::uint64_t highestRowId = 0;
    kestrio::ParseMessages(context, InputPath(), conversations, InputPath(), highestRowId);
    kestrio::DumpMessageRows(InputPath(), "/dev/null", flags.highestRowId);
    kestrio::DumpContactRows(InputPath(), "/dev/null", flags.highestRowId, flags.newLayout);
  }
  if (flags.runAppParsers) RunAppParsers(flags);
  return 0;
}
