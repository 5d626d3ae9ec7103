// Small pieces shared by the record decoders and the row dumps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/sqlite/record.h"

namespace kestrio {

// A text column checked the strict way (well-formed UTF-8, no NUL, no U+FFFD): false
// rejects the row. Columns that are not text give an empty text.
bool StrictText(const RecordColumn* column, std::string& out);

// A text column checked only for well-formed UTF-8: false rejects the row. The text ends at
// an embedded NUL. Columns that are not text give an empty text.
bool LenientText(const RecordColumn* column, std::string& out);

// The integer value of a column, or 0 when it holds none.
std::int64_t IntegerOr0(const RecordColumn* column);

// Seconds of a date or duration column: integers as they are, 8-byte floats truncated to
// whole seconds; nothing for other types, or floats that are not finite or out of range.
std::optional<std::int64_t> ColumnSeconds(const RecordColumn* column);

// Appends `text` as an SQL-style quoted value: between double quotes, with every double
// quote and single quote inside doubled.
void AppendQuoted(std::string& line, std::string_view text);

// Appends the bytes as lowercase hexadecimal, two digits per byte.
void AppendHex(std::string& line, Bytes bytes);

// Formats a number value of serial types 1 to 7 as the row dumps write it.
std::string NumberText(const RecordColumn& column);

}  // namespace kestrio
