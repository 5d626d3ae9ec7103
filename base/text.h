// Text helpers for UTF-8 taken from databases and files.
//
// Record texts are kept as UTF-8 std::string. "Converts from UTF-8" means the bytes are
// well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrio {

bool IsValidUtf8(std::string_view text);

// Valid UTF-8 that holds no NUL character and no U+FFFD REPLACEMENT CHARACTER: the strict
// test of decoders that must tell real text from carved garbage.
bool IsCleanUtf8(std::string_view text);

// Number of code points of valid UTF-8 text.
std::size_t Utf8Length(std::string_view text);

// Length (1 to 4) of the well-formed UTF-8 sequence at `pos` of `text`, 0 when the bytes there
// are not one (ToValidUtf8 replaces that byte alone). Inline: the validators and the JSON
// writer call it for every character outside ASCII, and most texts with one have many.
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const auto tail = [&](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
  const std::size_t left = text.size() - pos;
  const unsigned b0 = byte(0);
  if (b0 < 0x80) return 1;
  if (b0 < 0xC2) return 0;  // a continuation byte, or an overlong 2-byte form
  if (b0 < 0xE0) return left >= 2 && tail(1) ? 2 : 0;
  if (b0 > 0xF4) return 0;
  const std::size_t n = b0 < 0xF0 ? 3 : 4;
  if (left < n || !tail(2) || (n == 4 && !tail(3))) return 0;
  // The second byte's range excludes overlong forms (after E0 and F0), surrogates (after
  // ED) and code points above U+10FFFF (after F4).
  const unsigned b1 = byte(1);
  const unsigned lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
  const unsigned hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
  return b1 >= lo && b1 <= hi ? n : 0;
}

// The text with every ill-formed byte sequence replaced by U+FFFD.
std::string ToValidUtf8(std::string_view text);

// ASCII letters compared without regard to case; every other byte as it is.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Negative, zero or positive, as strcmp, with ASCII letters folded to lower case.
int CompareIgnoreCase(std::string_view a, std::string_view b);
// Whether `text` starts with `prefix`, ASCII letters compared without regard to case.
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
// The text with ASCII letters folded to lower case.
std::string AsciiLower(std::string_view text);

}  // namespace kestrio
