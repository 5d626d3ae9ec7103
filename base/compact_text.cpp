#include "base/compact_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>

namespace kestrio {

SharedText::SharedText(std::string_view text) {
  if (text.empty()) return;
  // A text past 4 GiB is cut; no record holds one (the reader bounds its values far lower).
  const std::size_t size =
      std::min<std::size_t>(text.size(), std::numeric_limits<std::uint32_t>::max());
  void* memory = std::malloc(sizeof(Block) + size + 1);
  if (memory == nullptr) throw std::bad_alloc();
  block_ = new (memory) Block{{1}, static_cast<std::uint32_t>(size)};
  char* bytes = static_cast<char*>(memory) + sizeof(Block);
  std::memcpy(bytes, text.data(), size);
  bytes[size] = '\0';
}

void SharedText::Release() noexcept {
  if (block_ == nullptr) return;
  if (block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block_->~Block();
    std::free(block_);
  }
  block_ = nullptr;
}

SharedText TextPool::Intern(std::string_view text) {
  if (text.empty()) return {};
  if (auto it = texts_.find(text); it != texts_.end()) return it->second;
  SharedText shared(text);
  texts_.emplace(shared.view(), shared);
  return shared;
}

void DateText::Assign(std::string_view text) {
  std::size_t size = std::min(text.size(), kCapacity);
  // Never end inside a UTF-8 sequence: step back over continuation bytes.
  if (size < text.size()) {
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  }
  std::memcpy(text_, text.data(), size);
  size_ = static_cast<std::uint8_t>(size);
}

std::ostream& operator<<(std::ostream& out, const SharedText& text) { return out << text.view(); }

std::ostream& operator<<(std::ostream& out, const DateText& text) { return out << text.view(); }

}  // namespace kestrio
