// Reading a 100,000-entry backup index in both formats. The files are generated once per
// process; only the reads are timed.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <fstream>
#include <string>
#include <vector>

#include "backup/manifest.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

constexpr int kEntries = 100000;

std::string PathOf(int i) {
  return "Media/DCIM/" + std::to_string(100 + i / 1000) + "APPLE/IMG_" + std::to_string(i) + ".JPG";
}

void PutString(std::string& out, const std::string& text) {
  out += static_cast<char>(text.size() >> 8);
  out += static_cast<char>(text.size() & 0xFF);
  out += text;
}

struct Indexes {
  fixtures::TempDir dir;
  std::filesystem::path mbdb = dir / "Manifest.mbdb";
  std::filesystem::path db = dir / "Manifest.db";

  Indexes() {
    std::string bytes("mbdb\x05\x00", 6);
    for (int i = 0; i < kEntries; ++i) {
      PutString(bytes, "CameraRollDomain");
      PutString(bytes, PathOf(i));
      bytes += std::string("\xFF\xFF", 2);                      // link target
      PutString(bytes, std::string(20, static_cast<char>(i)));  // data hash
      bytes += std::string("\xFF\xFF", 2);                      // encryption key
      bytes += std::string("\x81\xA4", 2);                      // mode 0100644
      bytes += std::string(37, '\x01');
      bytes += '\x01';  // one property
      PutString(bytes, "com.apple.assetsd.addedDate");
      PutString(bytes, "2019-05-01");
    }
    std::ofstream(mbdb, std::ios::binary) << bytes;

    sqlite3* handle = nullptr;
    sqlite3_open(db.c_str(), &handle);
    sqlite3_exec(handle,
                 "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                 "flags INTEGER, file BLOB); BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(handle, "INSERT INTO Files VALUES (?, 'CameraRollDomain', ?, 1, NULL)", -1,
                       &insert, nullptr);
    for (int i = 0; i < kEntries; ++i) {
      const std::string path = PathOf(i);
      const std::string name = StoredName("CameraRollDomain-" + path);
      sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, path.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(handle, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(handle);
  }
};

Indexes& Files() {
  static Indexes indexes;
  return indexes;
}

void BM_ReadManifestMbdb(benchmark::State& state) {
  const auto& path = Files().mbdb;
  for (auto _ : state) {
    std::vector<ManifestEntry> entries;
    if (ReadManifestMbdb(path, entries) != kResultOk || entries.size() != kEntries)
      state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_ReadManifestMbdb)->Unit(benchmark::kMillisecond);

void BM_ReadManifestDb(benchmark::State& state) {
  const auto& path = Files().db;
  for (auto _ : state) {
    std::vector<ManifestEntry> entries;
    if (ReadManifestDb(path, entries) != kResultOk || entries.size() != kEntries)
      state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_ReadManifestDb)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrio

BENCHMARK_MAIN();
