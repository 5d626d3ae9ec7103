// libFuzzer target for the write-ahead log reader and the database read through it.
//
// Input layout: a 4-byte big-endian length L, then L bytes of database file, then the log.
// Both are written to fixed paths per process ("<dir>/db" and "<dir>/db-wal") and the whole
// database, log included, is read as the carve command reads it. Beside the sanitizers one
// property is checked: every frame the index keeps lies inside the log and the latest frame
// of a page is a committed frame of that page.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sqlite/table_dump.h"
#include "sqlite/wal.h"

namespace {

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kestrio-wal-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir;
  }();
  return folder;
}

void Write(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::size_t split = (std::size_t{data[0]} << 24) | (std::size_t{data[1]} << 16) |
                      (std::size_t{data[2]} << 8) | data[3];
  data += 4;
  size -= 4;
  if (split > size) split = size;

  kestrio::MemoryPageSource log(kestrio::Bytes(data + split, size - split));
  kestrio::WalIndex index;
  if (kestrio::ReadWalIndex(log, index) == kestrio::kResultOk) {
    for (const kestrio::WalFrame& frame : index.frames) {
      if (frame.dataOffset + index.pageSize > log.Size() ||
          frame.dataOffset < kestrio::kWalHeaderBytes + kestrio::kWalFrameHeaderBytes)
        std::abort();
    }
    for (const auto& [page, position] : index.latest) {
      if (position >= index.frames.size() || index.frames[position].pageIndex != page) std::abort();
    }
  }

  const std::filesystem::path db = Folder() / "db";
  Write(db, data, split);
  Write(Folder() / "db-wal", data + split, size - split);
  kestrio::DatabaseDump dump;
  kestrio::DumpDatabase(db, {}, dump, nullptr);
  return 0;
}
