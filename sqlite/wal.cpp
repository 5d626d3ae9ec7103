#include "sqlite/wal.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrio {
namespace {

std::uint32_t Word(Bytes bytes, std::size_t off, bool bigEndian) {
  const std::uint32_t b0 = bytes[off], b1 = bytes[off + 1], b2 = bytes[off + 2],
                      b3 = bytes[off + 3];
  return bigEndian ? (b0 << 24) | (b1 << 16) | (b2 << 8) | b3
                   : (b3 << 24) | (b2 << 16) | (b1 << 8) | b0;
}

void ReportTo(FindingsSink* findings, const std::string& label, std::string where,
              std::string why) {
  Report(findings, Finding{label, "write-ahead log", std::move(where), std::move(why)});
}

}  // namespace

void WalChecksum(Bytes bytes, bool bigEndian, std::uint32_t& s1, std::uint32_t& s2) {
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    s1 += Word(bytes, i, bigEndian) + s2;
    s2 += Word(bytes, i + 4, bigEndian) + s1;
  }
}

Result ReadWalIndex(const PageSource& wal, WalIndex& out, FindingsSink* findings,
                    const std::string& label) {
  out = WalIndex{};
  std::array<std::uint8_t, kWalHeaderBytes> header{};
  if (wal.Size() < kWalHeaderBytes || wal.Read(0, header) != kResultOk) return kResultInvalid;
  const Bytes head(header);
  const std::uint32_t magic = ReadBe32(head, 0).value_or(0);
  if (magic != kWalMagicLittleEndian && magic != kWalMagicBigEndian) return kResultInvalid;
  const bool bigEndian = magic == kWalMagicBigEndian;
  const std::uint32_t pageSize = ReadBe32(head, 8).value_or(0);
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return kResultInvalid;
  std::uint32_t s1 = 0, s2 = 0;
  WalChecksum(head.first(24), bigEndian, s1, s2);
  if (s1 != ReadBe32(head, 24).value_or(0) || s2 != ReadBe32(head, 28).value_or(0)) {
    ReportTo(findings, label, "header", "checksum does not match: the log is not used");
    return kResultInvalid;
  }
  out.pageSize = pageSize;
  out.bigEndianChecksums = bigEndian;
  const std::uint32_t salt1 = ReadBe32(head, 16).value_or(0);
  const std::uint32_t salt2 = ReadBe32(head, 20).value_or(0);

  const std::uint64_t frameBytes = kWalFrameHeaderBytes + std::uint64_t{pageSize};
  const std::uint64_t frameCount = (wal.Size() - kWalHeaderBytes) / frameBytes;
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(frameBytes));
  std::vector<WalFrame> pending;  // valid frames since the last commit
  std::uint64_t n = 0;
  for (; n < frameCount && n < UINT32_MAX; ++n) {
    const std::uint64_t offset = kWalHeaderBytes + n * frameBytes;
    if (wal.Read(offset, frame) != kResultOk) break;
    const Bytes bytes(frame);
    const std::uint32_t page = ReadBe32(bytes, 0).value_or(0);
    const std::uint32_t commit = ReadBe32(bytes, 4).value_or(0);
    if (page == 0 || ReadBe32(bytes, 8).value_or(0) != salt1 ||
        ReadBe32(bytes, 12).value_or(0) != salt2)
      break;
    std::uint32_t c1 = s1, c2 = s2;
    WalChecksum(bytes.first(8), bigEndian, c1, c2);
    WalChecksum(bytes.subspan(kWalFrameHeaderBytes), bigEndian, c1, c2);
    if (c1 != ReadBe32(bytes, 16).value_or(0) || c2 != ReadBe32(bytes, 20).value_or(0)) break;
    s1 = c1;
    s2 = c2;
    ++out.validFrames;
    pending.push_back(
        WalFrame{static_cast<std::uint32_t>(n), page - 1, offset + kWalFrameHeaderBytes});
    if (commit != 0) {
      for (const WalFrame& done : pending) {
        out.latest[done.pageIndex] = out.frames.size();
        out.frames.push_back(done);
      }
      pending.clear();
      out.committedFrames = out.validFrames;
      out.databasePages = commit;
    }
  }
  if (n < frameCount) {
    ReportTo(findings, label, "frame " + std::to_string(n + 1),
             "salt or checksum does not match: the log ends there (" +
                 std::to_string(frameCount - n) + " of " + std::to_string(frameCount) +
                 " frames not used)");
  }
  if (!pending.empty()) {
    ReportTo(findings, label, "frame " + std::to_string(pending.front().frame + 1),
             std::to_string(pending.size()) +
                 " frames after the last commit belong to an unfinished transaction: ignored");
  }
  // A page beyond the committed database size was truncated away by the commit.
  if (out.databasePages != 0) {
    for (auto it = out.latest.begin(); it != out.latest.end();) {
      it = it->first >= out.databasePages ? out.latest.erase(it) : std::next(it);
    }
  }
  return kResultOk;
}

WalPageSource::WalPageSource(std::unique_ptr<PageSource> database, std::unique_ptr<PageSource> wal,
                             WalIndex index)
    : database_(std::move(database)), wal_(std::move(wal)), index_(std::move(index)) {
  size_ = index_.databasePages != 0 ? std::uint64_t{index_.databasePages} * index_.pageSize
                                    : database_->Size();
}

Result WalPageSource::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return kResultInvalid;
  const std::uint64_t pageSize = index_.pageSize;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    const std::uint64_t page = at / pageSize;
    const std::uint64_t inPage = at % pageSize;
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(pageSize - inPage, out.size() - done));
    const std::span<std::uint8_t> part = out.subspan(done, take);
    const auto frame = page < UINT32_MAX ? index_.latest.find(static_cast<std::uint32_t>(page))
                                         : index_.latest.end();
    if (frame != index_.latest.end()) {
      if (const Result read = wal_->Read(index_.frames[frame->second].dataOffset + inPage, part);
          read != kResultOk)
        return read;
    } else if (at + take <= database_->Size()) {
      if (const Result read = database_->Read(at, part); read != kResultOk) return read;
    } else {
      // Past the database file: a page the log grew the database by but no frame holds.
      std::fill(part.begin(), part.end(), std::uint8_t{0});
      if (at < database_->Size()) {
        const std::size_t have = static_cast<std::size_t>(database_->Size() - at);
        if (const Result read = database_->Read(at, part.first(have)); read != kResultOk)
          return read;
      }
    }
    done += take;
  }
  return kResultOk;
}

Result WalPageSource::ReadFrame(const WalFrame& frame, std::span<std::uint8_t> out) const {
  if (out.size() < index_.pageSize) return kResultInvalid;
  return wal_->Read(frame.dataOffset, out.first(index_.pageSize));
}

Result WalPageSource::ReadDatabasePage(std::uint32_t pageIndex, std::span<std::uint8_t> out) const {
  if (out.size() < index_.pageSize) return kResultInvalid;
  return database_->Read(std::uint64_t{pageIndex} * index_.pageSize, out.first(index_.pageSize));
}

}  // namespace kestrio
