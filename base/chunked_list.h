// ChunkedList: a sequence stored in fixed blocks of kChunkElements elements, for lists of
// hundreds of thousands of records that are taken apart again from the back.
//
// Unlike std::vector, growth never moves the elements (a reference stays valid until its
// element is removed) and never needs the old and the new storage at once. Each block is a
// mapping of its own (about a mebibyte), never part of the allocator's heap: pop_back() gives
// it back to the system as soon as its last element is gone, so a list emptied from the back
// while its elements are moved elsewhere does not hold both copies at its peak (a heap block
// freed between live allocations would stay resident).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kestrio {

template <typename T>
class ChunkedList {
 public:
  // At least 4,096 elements or 1 MiB a block, whichever is smaller in elements (never 0).
  static constexpr std::size_t kChunkElements =
      sizeof(T) * 4096 <= (std::size_t{1} << 20)
          ? 4096
          : ((std::size_t{1} << 20) / sizeof(T) == 0 ? 1 : (std::size_t{1} << 20) / sizeof(T));

  ChunkedList() = default;
  ChunkedList(const ChunkedList&) = delete;
  ChunkedList& operator=(const ChunkedList&) = delete;
  ChunkedList(ChunkedList&& other) noexcept
      : chunks_(std::move(other.chunks_)), size_(std::exchange(other.size_, 0)) {}
  ChunkedList& operator=(ChunkedList&& other) noexcept {
    if (this != &other) {
      clear();
      chunks_ = std::move(other.chunks_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~ChunkedList() { clear(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](std::size_t i) { return Slot(i); }
  const T& operator[](std::size_t i) const { return const_cast<ChunkedList*>(this)->Slot(i); }
  T& back() { return Slot(size_ - 1); }

  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == chunks_.size() * kChunkElements) chunks_.push_back(NewChunk());
    T* slot = new (SlotAddress(size_)) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  // Removes the last element; a block left empty goes back to the allocator.
  void pop_back() {
    --size_;
    std::destroy_at(&Slot(size_));
    if (size_ % kChunkElements == 0) chunks_.pop_back();
  }

  // Removes the elements from `count` on (nothing when there are fewer).
  void truncate(std::size_t count) {
    while (size_ > count) pop_back();
  }

  void clear() { truncate(0); }

  // Index-based iteration, enough for range-for and the standard algorithms that only read.
  template <typename List, typename Value>
  class Iterator {
   public:
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using reference = Value&;
    using pointer = Value*;
    using iterator_category = std::forward_iterator_tag;

    Iterator() = default;
    Iterator(List* list, std::size_t index) : list_(list), index_(index) {}
    Value& operator*() const { return (*list_)[index_]; }
    Value* operator->() const { return &(*list_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const Iterator& other) const { return index_ == other.index_; }

   private:
    List* list_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = Iterator<ChunkedList, T>;
  using const_iterator = Iterator<const ChunkedList, const T>;

  iterator begin() { return {this, 0}; }
  iterator end() { return {this, size_}; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

 private:
  static constexpr std::size_t kChunkBytes = sizeof(T) * kChunkElements;
  static_assert(alignof(T) <= 4096, "a mapping is page-aligned");

  struct Unmap {
    void operator()(std::byte* chunk) const { ::munmap(chunk, kChunkBytes); }
  };
  using Chunk = std::unique_ptr<std::byte, Unmap>;

  // Fresh pages cost nothing until an element is written to them.
  static Chunk NewChunk() {
    void* chunk = ::mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (chunk == MAP_FAILED) throw std::bad_alloc();
    return Chunk(static_cast<std::byte*>(chunk));
  }

  void* SlotAddress(std::size_t i) {
    return chunks_[i / kChunkElements].get() + sizeof(T) * (i % kChunkElements);
  }
  T& Slot(std::size_t i) { return *std::launder(reinterpret_cast<T*>(SlotAddress(i))); }

  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
};

}  // namespace kestrio
