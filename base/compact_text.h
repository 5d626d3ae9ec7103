// Texts of records that a scan keeps by the hundred thousand, stored without a string per
// field.
//
//   SharedText  an immutable text shared by every record that holds it (the address and name
//               of a conversation's other party, the people of a chat). One pointer; the empty
//               text owns nothing. Copies share the text; the count is atomic, so records may
//               be copied on any thread.
//   TextPool    hands out one SharedText per distinct text, so a text that a million records
//               repeat is stored once.
//   DateText    a date as "YYYY-MM-DD hh:mm:ss" (or empty) held inside the record, without a
//               heap block; texts longer than its capacity are cut at a character boundary.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrio {

class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string_view text);  // NOLINT: a text converts where a SharedText is wanted
  SharedText(const std::string& text) : SharedText(std::string_view(text)) {}  // NOLINT
  SharedText(const char* text) : SharedText(std::string_view(text)) {}         // NOLINT
  SharedText(const SharedText& other) noexcept : block_(other.block_) { Retain(); }
  SharedText(SharedText&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  SharedText& operator=(const SharedText& other) noexcept {
    SharedText copy(other);
    Swap(copy);
    return *this;
  }
  SharedText& operator=(SharedText&& other) noexcept {
    SharedText moved(std::move(other));
    Swap(moved);
    return *this;
  }
  ~SharedText() { Release(); }

  std::string_view view() const {
    return block_ == nullptr ? std::string_view() : std::string_view(block_->text(), block_->size);
  }
  operator std::string_view() const { return view(); }  // NOLINT: reads as a text
  std::string str() const { return std::string(view()); }
  // A NUL-terminated text ("" when empty).
  const char* c_str() const { return block_ == nullptr ? "" : block_->text(); }
  bool empty() const { return block_ == nullptr; }
  std::size_t size() const { return block_ == nullptr ? 0 : block_->size; }
  // True when both hold the same block (equal texts from one TextPool do).
  bool SameAs(const SharedText& other) const { return block_ == other.block_; }

  friend bool operator==(const SharedText& a, const SharedText& b) {
    return a.block_ == b.block_ || a.view() == b.view();
  }
  friend bool operator==(const SharedText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const SharedText& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const SharedText& a, const char* b) { return a.view() == b; }
  friend auto operator<=>(const SharedText& a, const SharedText& b) {
    return a.view() <=> b.view();
  }
  friend std::string operator+(const std::string& a, const SharedText& b) {
    return a + std::string(b.view());
  }

 private:
  struct Block {
    std::atomic<std::uint32_t> references;
    std::uint32_t size;
    // The text's size bytes and a NUL follow the block.
    const char* text() const { return reinterpret_cast<const char*>(this + 1); }
  };
  void Retain() noexcept {
    if (block_ != nullptr) block_->references.fetch_add(1, std::memory_order_relaxed);
  }
  void Release() noexcept;
  void Swap(SharedText& other) noexcept {
    Block* b = block_;
    block_ = other.block_;
    other.block_ = b;
  }

  Block* block_ = nullptr;
};

class TextPool {
 public:
  // The pool's SharedText for `text`; the empty text for an empty one.
  SharedText Intern(std::string_view text);

 private:
  std::unordered_map<std::string_view, SharedText> texts_;
};

class DateText {
 public:
  static constexpr std::size_t kCapacity = 23;

  DateText() = default;
  DateText(std::string_view text) { Assign(text); }               // NOLINT
  DateText(const std::string& text) { Assign(text); }             // NOLINT
  DateText(const char* text) { Assign(std::string_view(text)); }  // NOLINT
  DateText& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }
  DateText& operator=(const std::string& text) {
    Assign(text);
    return *this;
  }
  DateText& operator=(const char* text) {
    Assign(std::string_view(text));
    return *this;
  }

  std::string_view view() const { return std::string_view(text_, size_); }
  operator std::string_view() const { return view(); }  // NOLINT
  std::string str() const { return std::string(view()); }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  friend bool operator==(const DateText& a, const DateText& b) { return a.view() == b.view(); }
  friend bool operator==(const DateText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const DateText& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const DateText& a, const char* b) { return a.view() == b; }
  friend auto operator<=>(const DateText& a, const DateText& b) { return a.view() <=> b.view(); }

 private:
  void Assign(std::string_view text);

  char text_[kCapacity] = {};
  std::uint8_t size_ = 0;
};

// Written as their texts (logs, test messages).
std::ostream& operator<<(std::ostream& out, const SharedText& text);
std::ostream& operator<<(std::ostream& out, const DateText& text);

}  // namespace kestrio
