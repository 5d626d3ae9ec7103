#include "cli/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace kestrio::cli {

namespace {

// Whether byte `c` is written as it is inside a JSON string.
bool Plain(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\'; }

// Whether any byte of the 8 in `word` is a control character, '"' or '\\' (exact: the
// subtractions' borrows only ever add hits above a real one).
bool AnyEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const auto zeroByte = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
  const std::uint64_t control = (word - 0x20 * kOnes) & ~word & kHigh;
  return (control | zeroByte(word ^ ('"' * kOnes)) | zeroByte(word ^ ('\\' * kOnes))) != 0;
}

void AppendEscaped(std::string& out, std::string_view valid) {
  std::size_t i = 0;
  while (i < valid.size()) {
    std::size_t run = i;
    // Eight plain bytes at a time, then byte by byte up to the next escape.
    for (std::uint64_t word = 0; valid.size() - run >= 8; run += 8) {
      std::memcpy(&word, valid.data() + run, 8);
      if (AnyEscape(word)) break;
    }
    while (run < valid.size() && Plain(static_cast<unsigned char>(valid[run]))) ++run;
    out.append(valid.data() + i, run - i);
    if (run == valid.size()) break;
    const char c = valid[run];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
        out += escaped;
      }
    }
    i = run + 1;
  }
}

}  // namespace

void AppendJsonQuoted(std::string& out, std::string_view text) {
  out += '"';
  if (IsValidUtf8(text)) {
    AppendEscaped(out, text);
  } else {
    AppendEscaped(out, ToValidUtf8(text));
  }
  out += '"';
}

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJsonQuoted(out, text);
  return out;
}

bool JsonWriter::Flush() {
  if (sink_ == nullptr) return true;
  out_ += '\n';
  SpillNow();
  sink_->flush();
  return !sink_->fail();
}

void JsonWriter::SpillNow() {
  sink_->write(out_.data(), static_cast<std::streamsize>(out_.size()));
  out_.clear();
}

void JsonWriter::NewLine() {
  if (!pretty_) return;
  out_ += '\n';
  out_.append(levels_.size() * 2, ' ');
}

void JsonWriter::BeforeValue() {
  Spill();
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (levels_.empty()) return;
  if (!levels_.back().first) out_ += ',';
  levels_.back().first = false;
  NewLine();
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_ += bracket;
  levels_.push_back({});
}

void JsonWriter::Close(char bracket) {
  const bool empty = levels_.empty() || levels_.back().first;
  if (!levels_.empty()) levels_.pop_back();
  if (!empty) NewLine();
  out_ += bracket;
}

JsonWriter& JsonWriter::BeginObject() {
  Open('{');
  return *this;
}
JsonWriter& JsonWriter::EndObject() {
  Close('}');
  return *this;
}
JsonWriter& JsonWriter::BeginArray() {
  Open('[');
  return *this;
}
JsonWriter& JsonWriter::EndArray() {
  Close(']');
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  AppendJsonQuoted(out_, key);
  out_ += pretty_ ? ": " : ":";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendJsonQuoted(out_, text);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Int(std::int64_t value) {
  BeforeValue();
  char buffer[24];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, written.ptr);
  return *this;
}

JsonWriter& JsonWriter::UInt(std::uint64_t value) {
  BeforeValue();
  char buffer[24];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, written.ptr);
  return *this;
}

JsonWriter& JsonWriter::Double(double value) {
  if (!std::isfinite(value)) return Null();
  BeforeValue();
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
  out_ += text;
  // A whole number still reads as a real.
  if (text.find_first_of(".eE") == std::string_view::npos) out_ += ".0";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}

}  // namespace kestrio::cli
