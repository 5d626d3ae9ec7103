// SpillStore: bytes set aside while a large file is read, and read back by their place once
// they are wanted (a million message texts between the scan of a table and the writing of
// its conversations).
//
// The bytes are kept in blocks of kBlockBytes. With a folder, every block that is full is
// written to an unnamed temporary file there (O_TMPFILE: it has no name, only this process
// can reach it, and it is gone when the store is) and its memory given back, so the store
// costs two blocks of memory however much it holds: the block being written, on a thread of
// the store's own, and the one filling meanwhile (the kernel's copy of a large store's bytes
// costs the thread that fills it nothing; reads never wait for it). Without a folder, or once
// the file cannot be created or written (a full disk), the blocks stay in memory: the store
// never loses what it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/background_write.h"
#include "base/unique_fd.h"

namespace kestrio {

class SpillStore {
 public:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

  explicit SpillStore(const std::filesystem::path& folder = {});
  ~SpillStore();
  SpillStore(const SpillStore&) = delete;
  SpillStore& operator=(const SpillStore&) = delete;

  // Appends `bytes` and answers their place.
  std::uint64_t Append(std::string_view bytes);
  // Replaces `out` by the `length` bytes at `offset`; false (and `out` empty) when they are
  // not all in the store or the file cannot be read.
  bool Read(std::uint64_t offset, std::size_t length, std::string& out) const;

  // Reads that come in the order of their places: each block of the file is read once, in
  // one piece, however many reads fall into it.
  class SequentialReader {
   public:
    explicit SequentialReader(const SpillStore& store) : store_(store) {}
    // As SpillStore::Read.
    bool Read(std::uint64_t offset, std::size_t length, std::string& out);

   private:
    const SpillStore& store_;
    std::unique_ptr<char[]> block_;
    std::size_t cached_ = SIZE_MAX;  // the index of the block in `block_`
  };

  std::uint64_t size() const { return size_; }
  // Whether full blocks still go to the file (known once the block being written is done).
  bool OnDisk() {
    Settle();
    return writing_;
  }

 private:
  void FinishBlock();
  // Waits for the block being written, then gives back its memory or, when its write
  // failed, keeps it and every later block in memory.
  void Settle();
  template <typename FromFile>
  bool ReadPieces(std::uint64_t offset, std::size_t length, std::string& out,
                  FromFile fromFile) const;

  UniqueFd file_;
  bool writing_ = false;
  // One entry per block; null for a block that is in the file at block index * kBlockBytes.
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::uint64_t size_ = 0;
  std::unique_ptr<BackgroundWrite> writer_;  // started with the first full block
  std::size_t writingBlock_ = SIZE_MAX;      // the block being written, if any
  // The memory of the last block that went to the file, taken by the next block: a fresh
  // block would cost the kernel a page fault for each of its pages again.
  std::unique_ptr<char[]> spare_;
};

}  // namespace kestrio
