#include "parsers/decoder_support.h"

#include <cmath>
#include <cstdio>

#include "base/text.h"
#include "base/time_text.h"

namespace kestrio {

bool StrictText(const RecordColumn* column, std::string& out) {
  out.clear();
  if (column == nullptr || !column->IsText()) return true;
  const std::string_view text = column->Text();
  if (!IsCleanUtf8(text)) return false;
  out.assign(text);
  return true;
}

bool StrictText(const FieldValue& value, std::string& out) {
  out.clear();
  if (value.kind != FieldValue::Kind::kText) return true;
  if (!IsCleanUtf8(value.Text())) return false;
  out.assign(value.Text());
  return true;
}

bool LenientText(const RecordColumn* column, std::string& out) {
  out.clear();
  if (column == nullptr || !column->IsText()) return true;
  std::string_view text = column->Text();
  if (!IsValidUtf8(text)) return false;
  out.assign(text.substr(0, text.find('\0')));
  return true;
}

std::int64_t IntegerOr0(const RecordColumn* column) {
  return column ? column->Integer().value_or(0) : 0;
}

std::optional<std::int64_t> ColumnSeconds(const RecordColumn* column) {
  if (column == nullptr) return std::nullopt;
  if (auto value = column->Integer()) return value;
  if (auto real = column->Real()) return WholeSeconds(*real);
  return std::nullopt;
}

void AppendQuoted(std::string& line, std::string_view text) {
  line += '"';
  for (char c : text) {
    if (c == '"' || c == '\'') line += c;
    line += c;
  }
  line += '"';
}

void AppendHex(std::string& line, Bytes bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  line.reserve(line.size() + 2 * bytes.size());
  for (std::uint8_t b : bytes) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  }
}

std::string NumberText(const RecordColumn& column) {
  if (auto value = column.Integer()) return std::to_string(*value);
  if (auto real = column.Real()) {
    if (!std::isfinite(*real)) return {};
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", *real);
    return text;
  }
  return {};
}

}  // namespace kestrio
