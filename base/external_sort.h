// ExternalSorter: sorts more records than it keeps in memory. Records are gathered until
// `memoryBytes` of them are held; each full buffer is then sorted and written as a run to a
// RecordFile (an unnamed temporary file) on a thread of the sorter's own while the next
// buffer fills, so a sort that spills holds two buffers. Once all are added, the runs are
// merged as they are read out, a batch of each run in memory at a time, with the records of
// the last buffer, which stay in memory. So a million rows cost the buffers and a batch a run,
// however many there are. Records that compare equal come out in the order they were added.
// Without a folder, or when the file cannot be written, the runs stay in memory (see
// SpillStore): the sort is then no longer bounded, but it loses nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "base/background_write.h"
#include "base/record_file.h"

namespace kestrio {

template <typename T, typename Less>
class ExternalSorter {
 public:
  ExternalSorter(const std::filesystem::path& folder, std::size_t memoryBytes, Less less = {})
      : runs_(folder),
        capacity_(std::max<std::size_t>(1, memoryBytes / sizeof(T))),
        less_(std::move(less)) {}
  // Not copied or moved: the thread that writes a run refers to the sorter.
  ExternalSorter(const ExternalSorter&) = delete;
  ExternalSorter& operator=(const ExternalSorter&) = delete;

  void Add(const T& record) {
    if (buffer_.size() == capacity_) WriteRun();
    // The whole buffer is reserved at once: its pages cost memory only once records are
    // written to them, and a buffer that grew by doubling would copy its records and touch
    // fresh pages at every step.
    if (buffer_.capacity() == 0) buffer_.reserve(capacity_);
    buffer_.push_back(record);
    ++count_;
  }

  // Ends the adding: the records then come out in order through Next. The records added
  // since the last run was written stay in memory, sorted, and are merged from there.
  void Finish() {
    // Sorted while the thread may still write the run before them.
    std::stable_sort(buffer_.begin(), buffer_.end(), less_);
    Settle();
    if (runBounds_.empty()) return;
    // Given back: assigning {} would keep its memory.
    std::vector<T>().swap(writing_);
    const std::size_t fileRuns = runBounds_.size() - 1;
    memoryRun_ = buffer_.empty() ? SIZE_MAX : fileRuns;
    heads_.resize(fileRuns + (buffer_.empty() ? 0 : 1));
    for (std::size_t run = 0; run < fileRuns; ++run) {
      cursors_.push_back(std::make_unique<typename RecordFile<T>::Cursor>(runs_, runBounds_[run],
                                                                          runBounds_[run + 1]));
      if (cursors_.back()->Next(heads_[run])) heap_.push_back(run);
      failed_ |= cursors_.back()->failed();
    }
    if (memoryRun_ != SIZE_MAX && NextOfMemoryRun(heads_[memoryRun_])) heap_.push_back(memoryRun_);
    std::make_heap(heap_.begin(), heap_.end(), HeapOrder());
  }

  // The next record in order; false at the end, and when a run cannot be read back (failed()).
  bool Next(T& out) {
    if (runBounds_.empty()) return NextOfMemoryRun(out);
    if (heap_.empty()) return false;
    std::pop_heap(heap_.begin(), heap_.end(), HeapOrder());
    const std::size_t run = heap_.back();
    out = heads_[run];
    if (run == memoryRun_) {
      if (NextOfMemoryRun(heads_[run])) {
        std::push_heap(heap_.begin(), heap_.end(), HeapOrder());
      } else {
        heap_.pop_back();
      }
    } else if (cursors_[run]->Next(heads_[run])) {
      std::push_heap(heap_.begin(), heap_.end(), HeapOrder());
    } else {
      heap_.pop_back();
      failed_ |= cursors_[run]->failed();
    }
    return true;
  }

  std::uint64_t size() const { return count_; }
  // How many runs the merge takes, those in the file and the last records in memory (0: the
  // records were sorted in memory alone). Known once Finish() ran.
  std::size_t runs() const {
    return runBounds_.empty() ? 0 : runBounds_.size() - 1 + (memoryRun_ == SIZE_MAX ? 0 : 1);
  }
  bool failed() const { return failed_; }

 private:
  // Orders the heap of runs so that its top holds the least head; equal heads come from the
  // earlier run first, which keeps the merge stable.
  struct Later {
    const ExternalSorter* self;
    bool operator()(std::size_t a, std::size_t b) const {
      if (self->less_(self->heads_[b], self->heads_[a])) return true;
      if (self->less_(self->heads_[a], self->heads_[b])) return false;
      return a > b;
    }
  };
  Later HeapOrder() const { return {this}; }
  // The next record of those kept in memory.
  bool NextOfMemoryRun(T& out) {
    if (nextInMemory_ == buffer_.size()) return false;
    out = buffer_[nextInMemory_++];
    return true;
  }

  // Hands the full buffer to the thread, which sorts it and writes it as the next run, and
  // takes the buffer of the run before (written by then) for the records that follow.
  void WriteRun() {
    Settle();
    if (runBounds_.empty()) runBounds_.push_back(0);
    writing_.swap(buffer_);
    buffer_.clear();
    if (!worker_) worker_ = std::make_unique<BackgroundWrite>();
    worker_->Start([this] {
      std::stable_sort(writing_.begin(), writing_.end(), less_);
      for (const T& record : writing_) runs_.Append(record);
      return true;
    });
    running_ = true;
  }

  // Waits for the run being written and closes it where its records end (all of them, unless
  // the thread ran out of memory: the sort then failed()).
  void Settle() {
    if (!running_) return;
    running_ = false;
    if (!worker_->Wait()) failed_ = true;
    runBounds_.push_back(runs_.size());
  }

  RecordFile<T> runs_;
  std::size_t capacity_;
  Less less_;
  std::vector<T> buffer_;
  std::size_t nextInMemory_ = 0;
  std::size_t memoryRun_ = SIZE_MAX;  // the run number of `buffer_` in the merge, if it has one
  std::uint64_t count_ = 0;
  std::vector<std::uint64_t> runBounds_;  // run k is [runBounds_[k], runBounds_[k + 1])
  std::vector<std::unique_ptr<typename RecordFile<T>::Cursor>> cursors_;
  std::vector<T> heads_;  // the least unread record of each run
  std::vector<std::size_t> heap_;
  bool failed_ = false;
  std::vector<T> writing_;  // the run the thread sorts and writes
  bool running_ = false;    // a run was handed to the thread and not settled
  // Last: destroyed first, it waits for the run in progress, which uses the members above.
  std::unique_ptr<BackgroundWrite> worker_;
};

}  // namespace kestrio
