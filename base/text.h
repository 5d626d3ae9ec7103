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
// are not one (ToValidUtf8 replaces that byte alone).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos);

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
