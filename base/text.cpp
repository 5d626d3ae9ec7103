#include "base/text.h"

#include <cstdint>
#include <cstring>

namespace kestrio {
namespace {

// The first position from `pos` on whose 8-byte word is not all ASCII (nor, with `rejectNul`,
// free of NUL bytes); the bytes before it need no decoding. Most texts are mostly ASCII.
std::size_t SkipAscii(std::string_view text, std::size_t pos, bool rejectNul) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  while (text.size() - pos >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + pos, 8);
    if ((word & kHigh) != 0) break;
    if (rejectNul && ((word - kOnes) & ~word & kHigh) != 0) break;
    pos += 8;
  }
  return pos;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    pos = SkipAscii(text, pos, false);
    // A run of characters outside ASCII, then back to the word-wise skip.
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) >= 0x80) {
      const std::size_t n = Utf8SequenceLength(text, pos);
      if (n == 0) return false;
      pos += n;
    }
    if (pos < text.size()) ++pos;  // an ASCII byte
  }
  return true;
}

bool IsCleanUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    pos = SkipAscii(text, pos, true);
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) >= 0x80) {
      const std::size_t n = Utf8SequenceLength(text, pos);
      // U+FFFD is EF BF BD.
      if (n == 0 || (n == 3 && text.compare(pos, 3, "\xEF\xBF\xBD") == 0)) return false;
      pos += n;
    }
    if (pos == text.size()) break;
    if (text[pos] == 0) return false;
    ++pos;
  }
  return true;
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (char c : text) count += (static_cast<std::uint8_t>(c) & 0xC0) != 0x80;
  return count;
}

std::string ToValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t n = Utf8SequenceLength(text, pos);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++pos;
    } else {
      out.append(text.substr(pos, n));
      pos += n;
    }
  }
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareIgnoreCase(a, b) == 0;
}

int CompareIgnoreCase(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;  // the common case: equal bytes need no folding
    const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

}  // namespace kestrio
