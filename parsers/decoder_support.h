// Small pieces shared by the record decoders and the row dumps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/time_text.h"
#include "parsers/table_shapes.h"
#include "sqlite/record.h"

namespace kestrio {

// A text column checked the strict way (well-formed UTF-8, no NUL, no U+FFFD): false
// rejects the row. Columns that are not text give an empty text.
bool StrictText(const RecordColumn* column, std::string& out);
// The same for a value looked up by column name (table_schema.h).
bool StrictText(const FieldValue& value, std::string& out);

// A text column checked only for well-formed UTF-8: false rejects the row. The text ends at
// an embedded NUL. Columns that are not text give an empty text.
bool LenientText(const RecordColumn* column, std::string& out);

// The integer value of a column, or 0 when it holds none.
std::int64_t IntegerOr0(const RecordColumn* column);

// Seconds of a date or duration column: integers as they are, 8-byte floats truncated to
// whole seconds; nothing for other types, or floats that are not finite or out of range.
std::optional<std::int64_t> ColumnSeconds(const RecordColumn* column);

// Indexes of `records` in ascending date-text order, equal dates in their list order. The
// texts are "YYYY-MM-DD hh:mm:ss" or empty, so they order like their digits read as one
// number; sorting those keys leaves the large records where they are.
template <typename Record>
std::vector<std::uint32_t> DateOrder(const std::vector<Record>& records) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    keyed[i] = {DateTextKey(records[i].dateText), static_cast<std::uint32_t>(i)};
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::uint32_t> order(records.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].second;
  return order;
}

// Scans `table`, decoding each row with DecodeTableRecord and then `decode(view, record,
// item)`; rows that fail either step are rejected (87) and the rest appended to `out`.
// The scan's result.
template <typename T, typename Decode>
Result ScanInto(TableReader& reader, std::string_view table, std::vector<T>& out, Decode decode) {
  return reader.ScanTable(table, [&](const RecordView& view) {
    DecodedRecord record;
    T item;
    if (DecodeTableRecord(reader, view, record) != kResultOk || !decode(view, record, item))
      return kResultInvalid;
    out.push_back(std::move(item));
    return kResultOk;
  });
}

// Appends `text` as an SQL-style quoted value: between double quotes, with every double
// quote and single quote inside doubled.
void AppendQuoted(std::string& line, std::string_view text);

// Appends the bytes as lowercase hexadecimal, two digits per byte.
void AppendHex(std::string& line, Bytes bytes);

// Formats a number value of serial types 1 to 7 as the row dumps write it.
std::string NumberText(const RecordColumn& column);

}  // namespace kestrio
