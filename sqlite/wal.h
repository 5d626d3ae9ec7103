// The write-ahead log beside a database ("NAME-wal") and the database as it reads with it.
//
// WAL FILE FORMAT (https://www.sqlite.org/fileformat2.html#walformat)
//
//   header, 32 bytes, big-endian fields
//     +0  magic 0x377f0682 (checksums over little-endian words) or 0x377f0683 (big-endian)
//     +4  format version (3007000)
//     +8  page size            +12 checkpoint sequence number
//     +16 salt-1               +20 salt-2
//     +24 checksum-1           +28 checksum-2   (over the first 24 header bytes)
//   then frames, each a 24-byte header and one page
//     +0  page number          +4  for a commit frame the database size in pages, else 0
//     +8  salt-1               +12 salt-2       (must equal the header's)
//     +16 checksum-1           +20 checksum-2   (cumulative: over the 8 first frame-header
//                                                bytes and the page, starting from the
//                                                previous frame's checksum, the header's for
//                                                the first frame)
//
// The checksum walks the bytes as 32-bit words x[0], x[1], ... in the magic's byte order:
//   for each pair: s1 += x[i] + s2; s2 += x[i+1] + s1   (unsigned, wrapping)
//
// A frame is valid while its salts match and its checksum is right; the log ends at the first
// frame that is not. Only frames up to the last valid commit frame count: the latest of them
// for a page is the page's current content, earlier ones are earlier versions of it, and the
// database has as many pages as that commit frame says. Frames after the last commit belong
// to a transaction that never finished and are ignored.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/findings.h"
#include "base/result.h"
#include "sqlite/page_source.h"

namespace kestrio {

inline constexpr std::uint32_t kWalMagicLittleEndian = 0x377f0682;
inline constexpr std::uint32_t kWalMagicBigEndian = 0x377f0683;
inline constexpr std::size_t kWalHeaderBytes = 32;
inline constexpr std::size_t kWalFrameHeaderBytes = 24;

// The cumulative checksum of `bytes` (a multiple of 8 long) from (s1, s2), as SQLite computes
// it; `bigEndian` reads the words big-endian.
void WalChecksum(Bytes bytes, bool bigEndian, std::uint32_t& s1, std::uint32_t& s2);

// One committed frame: the page it holds and where its bytes lie in the log.
struct WalFrame {
  std::uint32_t frame = 0;       // zero-based frame number
  std::uint32_t pageIndex = 0;   // zero-based page index of the database
  std::uint64_t dataOffset = 0;  // offset of the page bytes in the log
};

struct WalIndex {
  std::uint32_t pageSize = 0;
  bool bigEndianChecksums = false;
  std::uint32_t validFrames = 0;      // frames with good salts and checksums
  std::uint32_t committedFrames = 0;  // of those, up to the last commit frame
  std::uint32_t databasePages = 0;    // database size of the last commit frame (0: none)
  std::vector<WalFrame> frames;       // the committed frames, in log order
  // Page index -> position in `frames` of the page's latest committed frame.
  std::unordered_map<std::uint32_t, std::size_t> latest;
};

// Reads the log in `wal`. kResultOk with the committed frames (none when the log is empty or
// its first frame is bad); kResultInvalid when the header is short, has a wrong magic, an
// impossible page size or a bad checksum. Findings (under `label`) say where the log ended
// before its last frame and how many frames after the last commit were ignored.
Result ReadWalIndex(const PageSource& wal, WalIndex& out, FindingsSink* findings = nullptr,
                    const std::string& label = {});

// The database as SQLite reads it with its log: each page from its latest committed frame,
// else from the database file; the size is the last commit's, pages beyond the file that no
// frame holds read as zeros.
class WalPageSource final : public PageSource {
 public:
  WalPageSource(std::unique_ptr<PageSource> database, std::unique_ptr<PageSource> wal,
                WalIndex index);

  std::uint64_t Size() const override { return size_; }
  Result Read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

  const WalIndex& Index() const { return index_; }
  // Whether the current content of page `pageIndex` comes from the log.
  bool FromWal(std::uint32_t pageIndex) const { return index_.latest.count(pageIndex) != 0; }
  // Reads the bytes of a committed frame (pageSize bytes into `out`).
  Result ReadFrame(const WalFrame& frame, std::span<std::uint8_t> out) const;
  // Reads page `pageIndex` as the database file holds it, without the log.
  Result ReadDatabasePage(std::uint32_t pageIndex, std::span<std::uint8_t> out) const;

 private:
  std::unique_ptr<PageSource> database_;
  std::unique_ptr<PageSource> wal_;
  WalIndex index_;
  std::uint64_t size_ = 0;
};

}  // namespace kestrio
