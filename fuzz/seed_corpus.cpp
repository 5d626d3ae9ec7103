// Writes the seed corpus of sqlite_reader_fuzz (which sqlite_page_fuzz and carve_fuzz share):
// small generated messages databases, address books (page sizes 512 and 1024, few rows), the
// other apps' databases and the generic carver's corpus (odd names, UTF-16, schema objects,
// overflow, reserved bytes, auto-vacuum, dropped tables), each prefixed with the flag byte the
// fuzz targets read first. With a second directory, the seeds of wal_fuzz go there: the
// corpus's database with its write-ahead log, as that target's input layout has them.
//
//   fuzz_seed_corpus <output directory> [<wal_fuzz directory>]
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/fixtures/note_store.h"
#include "tests/fixtures/sqlite_corpus.h"

namespace {

namespace fs = std::filesystem;
namespace fx = kestrio::fixtures;

// Flag bits of the fuzz target's first byte.
constexpr std::uint8_t kNewerMessagesFlag = 0x01;
constexpr std::uint8_t kNewLayoutFlag = 0x02;
constexpr std::uint8_t kRunParsersFlag = 0x40;
constexpr std::uint8_t kRunAppParsersFlag = 0x80;

std::vector<char> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteOneSeed(const fs::path& database, std::uint8_t flags, const fs::path& seed) {
  const std::vector<char> bytes = ReadAll(database);
  std::ofstream out(seed, std::ios::binary | std::ios::trunc);
  out.put(static_cast<char>(flags));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + seed.string());
  std::printf("%s %zu bytes\n", seed.filename().c_str(), bytes.size() + 1);
}

// wal_fuzz's input: the database's length (4 bytes, big-endian), the database, the log.
void WriteWalSeed(const fs::path& database, const fs::path& seed) {
  const std::vector<char> db = ReadAll(database);
  fs::path walPath = database;
  walPath += "-wal";
  const std::vector<char> wal = ReadAll(walPath);
  std::ofstream out(seed, std::ios::binary | std::ios::trunc);
  const auto length = static_cast<std::uint32_t>(db.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.put(static_cast<char>(length >> shift));
  out.write(db.data(), static_cast<std::streamsize>(db.size()));
  out.write(wal.data(), static_cast<std::streamsize>(wal.size()));
  if (!out) throw std::runtime_error("cannot write " + seed.string());
  std::printf("%s %zu bytes\n", seed.filename().c_str(), 4 + db.size() + wal.size());
}

// Every database once without and, for the smaller page size, once with the whole parsers
// and row dumps.
void WriteSeed(const fs::path& database, std::uint8_t flags, const fs::path& seed, int pageSize) {
  WriteOneSeed(database, flags, seed);
  if (pageSize == 512) {
    WriteOneSeed(database, flags | kRunParsersFlag, seed.string() + "-parsers");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s <output directory> [<wal_fuzz directory>]\n", argv[0]);
    return 2;
  }
  try {
    const fs::path outDir = argv[1];
    fs::create_directories(outDir);
    fx::TempDir temp;
    std::uint32_t seed = 1;
    for (const int pageSize : {512, 1024}) {
      for (const int columns : {38, 51}) {
        for (const int count : {20, 40}) {
          fx::MessagesOptions options;
          options.messageColumns = columns;
          options.messageCount = count;
          options.pageSize = pageSize;
          options.nanosecondDates = count == 40;
          options.handleCount = 3;
          options.seed = seed++;
          const fs::path db = temp / "sms.db";
          fx::WriteMessagesDb(db, options);
          const std::uint8_t flags = columns == 51 ? kNewerMessagesFlag : 0;
          WriteSeed(db, flags,
                    outDir / ("sms-" + std::to_string(pageSize) + "-" + std::to_string(columns) +
                              "-" + std::to_string(count)),
                    pageSize);
        }
      }
      for (const int columns : {24, 25}) {
        fx::AddressBookOptions options;
        options.columns = columns;
        options.contactCount = 24;
        options.pageSize = pageSize;
        options.seed = seed++;
        const fs::path db = temp / "AddressBook.sqlitedb";
        fx::WriteAddressBook(db, options);
        const std::uint8_t flags = columns == 25 ? kNewLayoutFlag : 0;
        WriteSeed(
            db, flags,
            outDir / ("addressbook-" + std::to_string(pageSize) + "-" + std::to_string(columns)),
            pageSize);
      }
    }
    // The other apps' databases, small, with deletions and (chat apps) a dropped table.
    for (const fx::AppDbKind kind :
         {fx::AppDbKind::kCallHistory, fx::AppDbKind::kNotes, fx::AppDbKind::kWhatsApp,
          fx::AppDbKind::kQQ, fx::AppDbKind::kWeChat}) {
      fx::AppDbOptions options;
      options.kind = kind;
      options.rowCount = 40;
      options.pageSize = 512;
      options.seed = seed++;
      const fs::path db = temp / "app.db";
      fx::WriteAppDatabase(db, options);
      WriteOneSeed(db, kRunAppParsersFlag,
                   outDir / ("app-" + std::string(fx::AppDbKindName(kind)) + "-512"));
    }
    // NoteStore.sqlite in both real layouts, with a deleted note.
    for (const fx::NoteStoreLayout layout :
         {fx::NoteStoreLayout::kIos9, fx::NoteStoreLayout::kIos17}) {
      fx::NoteStoreOptions options;
      options.layout = layout;
      options.fillerNotes = 8;
      options.deletedNotes = 1;
      const fs::path db = temp / "NoteStore.sqlite";
      fx::WriteNoteStore(db, options);
      WriteOneSeed(
          db, kRunAppParsersFlag,
          outDir / (layout == fx::NoteStoreLayout::kIos9 ? "notestore-ios9" : "notestore-ios17"));
    }
    // The generic carver's corpus; carve_fuzz keeps the rows' values on disk (flag bit 0).
    const std::vector<fx::CorpusDb> corpus = fx::WriteSqliteCorpus(temp / "corpus");
    for (const fx::CorpusDb& db : corpus) {
      WriteOneSeed(db.path, 0x01, outDir / ("corpus-" + db.name));
      fs::path log = db.path;
      log += "-wal";
      if (argc == 3 && fs::exists(log)) {
        fs::create_directories(argv[2]);
        WriteWalSeed(db.path, fs::path(argv[2]) / ("wal-" + db.name));
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fuzz_seed_corpus: %s\n", error.what());
    return 1;
  }
  return 0;
}
