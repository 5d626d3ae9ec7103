// PageSource: where RawSqliteReader reads its bytes from. A database file (the product's
// case) or a buffer in memory (fuzz targets, tests); a test can put a source in between that
// fails on purpose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace kestrio {

class PageSource {
 public:
  virtual ~PageSource() = default;
  // Total bytes of the source.
  virtual std::uint64_t Size() const = 0;
  // Fills all of `out` with the bytes at `offset`. kResultOk; kResultInvalid when the range
  // does not lie inside the source; the system error when the read fails.
  virtual Result Read(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

// A regular file opened read-only; its size is taken once when it is opened.
//
// A table scan reads its leaves in ascending page order, most of them side by side in the
// file, and may seek the carve candidates of the same leaves on a second thread meanwhile.
// Each thread has kWindows windows of kWindowBytes of its own, for the streams of ascending
// reads it makes: once a read starts at or just after the end of a window (or of the
// thread's read before, which starts a stream), the window is refilled from there in one call
// and serves the following small reads. Scattered reads go to the file one by one, so a walk
// that jumps about reads no more than it asks for. The windows are the thread's, so threads
// that read at once never wait for each other.
class FilePageSource final : public PageSource {
 public:
  static constexpr std::size_t kWindowBytes = 256 * 1024;
  static constexpr std::size_t kWindows = 2;

  // kResultOk; the system error when the file cannot be opened or examined; kResultInvalid
  // when it is not a regular file.
  static Result Open(const std::filesystem::path& path, std::unique_ptr<FilePageSource>& out);

  std::uint64_t Size() const override { return size_; }
  Result Read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  FilePageSource(UniqueFd fd, std::uint64_t size);

  // Fills `out` from the file itself.
  Result ReadDirect(std::uint64_t offset, std::span<std::uint8_t> out) const;

  UniqueFd fd_;
  std::uint64_t size_ = 0;
  std::uint64_t id_;  // names this source's windows among a thread's; never reused
};

// Bytes in memory. The view form borrows the caller's buffer, which must outlive the source;
// the vector form owns its copy.
class MemoryPageSource final : public PageSource {
 public:
  explicit MemoryPageSource(Bytes bytes) : bytes_(bytes) {}
  explicit MemoryPageSource(std::vector<std::uint8_t> owned)
      : owned_(std::move(owned)), bytes_(owned_) {}
  MemoryPageSource(const MemoryPageSource&) = delete;
  MemoryPageSource& operator=(const MemoryPageSource&) = delete;

  std::uint64_t Size() const override { return bytes_.size(); }
  Result Read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  std::vector<std::uint8_t> owned_;
  Bytes bytes_;
};

}  // namespace kestrio
