// RecordFile: records of one fixed-size, trivially copyable type kept in a SpillStore, record i
// at i * sizeof(T): a list of millions of rows that costs one block of memory, read back one
// by one by their index or in order, a batch at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/spill_store.h"

namespace kestrio {

template <typename T>
class RecordFile {
  static_assert(std::is_trivially_copyable_v<T>, "records are copied as bytes");

 public:
  // Records in an unnamed file in `folder`; without one, in memory (see SpillStore).
  explicit RecordFile(const std::filesystem::path& folder = {}) : store_(folder) {}

  // Appends `record` and answers its index.
  std::uint64_t Append(const T& record) {
    store_.Append(std::string_view(reinterpret_cast<const char*>(&record), sizeof(T)));
    return count_++;
  }

  std::uint64_t size() const { return count_; }

  // Record `index`; false when there is none or the file cannot be read.
  bool Get(std::uint64_t index, T& out) const {
    if (index >= count_ || !store_.Read(index * sizeof(T), sizeof(T), scratch_)) return false;
    std::memcpy(&out, scratch_.data(), sizeof(T));
    return true;
  }

  // Replaces `out` by the `count` records from `first` on; false (and `out` empty) when they
  // are not all there or cannot be read.
  bool ReadRange(std::uint64_t first, std::size_t count, std::vector<T>& out) const {
    out.clear();
    if (first > count_ || count > count_ - first) return false;
    if (!store_.Read(first * sizeof(T), count * sizeof(T), scratch_)) return false;
    out.resize(count);
    std::memcpy(out.data(), scratch_.data(), count * sizeof(T));
    return true;
  }

  // The records from `first` to before `end`, in order, kBatch of them read at once.
  class Cursor {
   public:
    static constexpr std::size_t kBatch = (std::size_t{64} << 10) / sizeof(T) + 1;

    Cursor(const RecordFile& file, std::uint64_t first, std::uint64_t end)
        : file_(file), next_(first), end_(end < file.size() ? end : file.size()) {}
    explicit Cursor(const RecordFile& file) : Cursor(file, 0, file.size()) {}

    // The next record; false at the end, and when the file cannot be read (failed() then).
    bool Next(T& out) {
      if (at_ == batch_.size()) {
        if (next_ >= end_) return false;
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBatch, end_ - next_));
        if (!file_.ReadRange(next_, count, batch_)) {
          failed_ = true;
          next_ = end_;
          return false;
        }
        next_ += count;
        at_ = 0;
      }
      out = batch_[at_++];
      return true;
    }
    // The index of the record that Next gives next.
    std::uint64_t Position() const { return next_ - (batch_.size() - at_); }
    bool failed() const { return failed_; }

   private:
    const RecordFile& file_;
    std::uint64_t next_;
    std::uint64_t end_;
    std::vector<T> batch_;
    std::size_t at_ = 0;
    bool failed_ = false;
  };

 private:
  SpillStore store_;
  std::uint64_t count_ = 0;
  mutable std::string scratch_;
};

}  // namespace kestrio
