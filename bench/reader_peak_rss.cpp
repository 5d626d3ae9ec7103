// Peak resident memory of one RawSqliteReader scan of the message table.
//
//   reader_peak_rss <database>              scan and print ru_maxrss (KiB) before and after
//   reader_peak_rss --write <database> <MB> write a benchmark messages database (30% deleted)
//
// The scan's decoder decodes every record with DecodeMessage into a one-element vector that
// is emptied again, so the figure holds the reader and one decoded record, never the results.
// Run the scan in a fresh process for each database: ru_maxrss is a high-water mark.
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "parsers/messages.h"
#include "sqlite/raw_sqlite_reader.h"
#include "tests/fixtures/ios_fixtures.h"

namespace {

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int WriteDatabase(const char* path, const char* megabytes) {
  const std::uint64_t bytes = std::strtoull(megabytes, nullptr, 10) * 1000 * 1000;
  const kestrio::fixtures::LargeMessagesDb db =
      kestrio::fixtures::WriteLargeMessagesDb(path, bytes, 0.3, 7);
  std::printf("%s: %llu bytes, %lld messages, %lld deleted\n", path,
              static_cast<unsigned long long>(db.fileBytes),
              static_cast<long long>(db.messageCount), static_cast<long long>(db.deletedCount));
  return 0;
}

int Scan(const char* path) {
  std::printf("peak rss at start:      %8ld KiB\n", PeakRssKiB());
  kestrio::TableReader reader;
  const kestrio::Result opened = reader.OpenDatabase(path);
  if (opened != kestrio::kResultOk) {
    std::fprintf(stderr, "cannot open %s: %s\n", path, kestrio::ResultText(opened).c_str());
    return 1;
  }
  std::printf("peak rss after open:    %8ld KiB (%u pages of %u bytes, %zu free pages)\n",
              PeakRssKiB(), reader.Sqlite().PageCount(), reader.Sqlite().PageSize(),
              reader.Sqlite().FreePages().size());

  std::vector<kestrio::MessageRecord> one;
  std::uint64_t records = 0, live = 0, deleted = 0;
  const kestrio::Result scanned = reader.ScanTable("message", [&](const kestrio::RecordView& view) {
    ++records;
    const kestrio::Result result = kestrio::DecodeMessage(reader, view, one);
    if (!one.empty()) {
      ++(one.front().deleted ? deleted : live);
      one.clear();
    }
    return result;
  });
  std::printf("peak rss after scan:    %8ld KiB\n", PeakRssKiB());
  std::printf("scan result %d: %llu records handed over, %llu live and %llu deleted messages\n",
              scanned, static_cast<unsigned long long>(records),
              static_cast<unsigned long long>(live), static_cast<unsigned long long>(deleted));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::string(argv[1]) == "--write") return WriteDatabase(argv[2], argv[3]);
    if (argc == 2) return Scan(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "reader_peak_rss: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: %s <database> | --write <database> <MB>\n", argv[0]);
  return 2;
}
