// Writes the seed corpus of sqlite_reader_fuzz: small generated messages databases, address
// books (page sizes 512 and 1024, few rows) and the other apps' databases, each prefixed with
// the flag byte the fuzz target reads first.
//
//   fuzz_seed_corpus <output directory>
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

namespace {

namespace fs = std::filesystem;
namespace fx = kestrio::fixtures;

// Flag bits of the fuzz target's first byte.
constexpr std::uint8_t kNewerMessagesFlag = 0x01;
constexpr std::uint8_t kNewLayoutFlag = 0x02;
constexpr std::uint8_t kRunParsersFlag = 0x40;
constexpr std::uint8_t kRunAppParsersFlag = 0x80;

void WriteOneSeed(const fs::path& database, std::uint8_t flags, const fs::path& seed) {
  std::ifstream in(database, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::ofstream out(seed, std::ios::binary | std::ios::trunc);
  out.put(static_cast<char>(flags));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + seed.string());
  std::printf("%s %zu bytes\n", seed.filename().c_str(), bytes.size() + 1);
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
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
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fuzz_seed_corpus: %s\n", error.what());
    return 1;
  }
  return 0;
}
