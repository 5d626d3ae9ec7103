#include "base/spill_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kestrio {
namespace {

// An unnamed file in `folder`; where the file system has no O_TMPFILE, a named one that is
// removed at once.
UniqueFd OpenUnnamedFile(const std::filesystem::path& folder) {
  if (folder.empty()) return UniqueFd();
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = (folder / "kestrio-spill-XXXXXX").string();
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  return UniqueFd(fd);
}

// Runs `transfer` (pread or pwrite) until all `size` bytes at `offset` are done.
template <typename Transfer, typename Bytes>
bool TransferAll(Transfer transfer, int fd, Bytes* bytes, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t done = transfer(fd, bytes, size, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
  }
  return true;
}

bool WriteAll(int fd, const char* bytes, std::size_t size, std::uint64_t offset) {
  return TransferAll(::pwrite, fd, bytes, size, offset);
}

bool ReadAll(int fd, char* bytes, std::size_t size, std::uint64_t offset) {
  return TransferAll(::pread, fd, bytes, size, offset);
}

}  // namespace

SpillStore::SpillStore(const std::filesystem::path& folder) : file_(OpenUnnamedFile(folder)) {
  writing_ = file_.Valid();
}

SpillStore::~SpillStore() = default;

std::uint64_t SpillStore::Append(std::string_view bytes) {
  const std::uint64_t place = size_;
  while (!bytes.empty()) {
    const std::size_t used = static_cast<std::size_t>(size_ % kBlockBytes);
    if (used == 0 && size_ / kBlockBytes == blocks_.size())
      blocks_.push_back(spare_ ? std::move(spare_)
                               : std::make_unique_for_overwrite<char[]>(kBlockBytes));
    const std::size_t take = std::min(bytes.size(), kBlockBytes - used);
    std::memcpy(blocks_.back().get() + used, bytes.data(), take);
    bytes.remove_prefix(take);
    size_ += take;
    if (used + take == kBlockBytes) FinishBlock();
  }
  return place;
}

// A full block goes to the file, unless the file failed once; then it and every later block
// stay in memory. The write runs on the writer's thread.
void SpillStore::FinishBlock() {
  Settle();
  if (!writing_) return;
  const std::size_t index = blocks_.size() - 1;
  const std::uint64_t offset = static_cast<std::uint64_t>(index) * kBlockBytes;
  if (!writer_) writer_ = std::make_unique<BackgroundWrite>();
  writer_->Start([fd = file_.Get(), bytes = blocks_.back().get(), offset] {
    return WriteAll(fd, bytes, kBlockBytes, offset);
  });
  writingBlock_ = index;
}

void SpillStore::Settle() {
  if (writingBlock_ == SIZE_MAX) return;
  if (writer_->Wait()) {
    spare_ = std::move(blocks_[writingBlock_]);
  } else {
    writing_ = false;
  }
  writingBlock_ = SIZE_MAX;
}

// Copies the bytes at `offset` into `out` block by block: from memory where the block is
// there, else through `fromFile(index, at, take, to)`, which copies `take` bytes at `at` of
// block `index` in the file to `to`.
template <typename FromFile>
bool SpillStore::ReadPieces(std::uint64_t offset, std::size_t length, std::string& out,
                            FromFile fromFile) const {
  out.clear();
  if (offset > size_ || length > size_ - offset) return false;
  out.resize(length);
  char* to = out.data();
  while (length > 0) {
    const std::size_t index = static_cast<std::size_t>(offset / kBlockBytes);
    const std::size_t at = static_cast<std::size_t>(offset % kBlockBytes);
    const std::size_t take = std::min(length, kBlockBytes - at);
    if (const char* block = blocks_[index].get()) {
      std::memcpy(to, block + at, take);
    } else if (!fromFile(index, at, take, to)) {
      out.clear();
      return false;
    }
    to += take;
    offset += take;
    length -= take;
  }
  return true;
}

bool SpillStore::Read(std::uint64_t offset, std::size_t length, std::string& out) const {
  return ReadPieces(
      offset, length, out, [&](std::size_t index, std::size_t at, std::size_t take, char* to) {
        return ReadAll(file_.Get(), to, take, static_cast<std::uint64_t>(index) * kBlockBytes + at);
      });
}

bool SpillStore::SequentialReader::Read(std::uint64_t offset, std::size_t length,
                                        std::string& out) {
  return store_.ReadPieces(offset, length, out,
                           [&](std::size_t index, std::size_t at, std::size_t take, char* to) {
                             if (cached_ != index) {
                               if (!block_)
                                 block_ = std::make_unique_for_overwrite<char[]>(kBlockBytes);
                               cached_ = SIZE_MAX;
                               if (!ReadAll(store_.file_.Get(), block_.get(), kBlockBytes,
                                            static_cast<std::uint64_t>(index) * kBlockBytes))
                                 return false;
                               cached_ = index;
                             }
                             std::memcpy(to, block_.get() + at, take);
                             return true;
                           });
}

}  // namespace kestrio
