#include "cli/json_writer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace kestrio::cli {

namespace {

// Whether byte `c` is written as it is inside a JSON string.
bool Plain(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\'; }

// The high bit of each byte of the 8 in `word` that is not written as it is or is not ASCII:
// a control character, '"', '\\' or a byte of 0x80 and above. The lowest one is exact (the
// subtractions' borrows only ever add hits above a real one).
std::uint64_t Special(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const auto zeroByte = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
  const std::uint64_t control = (word - 0x20 * kOnes) & ~word & kHigh;
  return control | zeroByte(word ^ ('"' * kOnes)) | zeroByte(word ^ ('\\' * kOnes)) |
         (word & kHigh);
}

// The escape of an ASCII byte that is not written as it is.
void AppendEscape(std::string& out, char c) {
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
}

}  // namespace

// One pass: plain runs are copied whole (eight ASCII bytes at a time where they can be, the
// last few one by one), well-formed sequences pass, a byte that starts none becomes U+FFFD
// (as ToValidUtf8 does) and the rest is escaped.
void AppendJsonQuoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t copied = 0;  // text before this is in `out`
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.size() - pos >= 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + pos, 8);
      const std::uint64_t special = Special(word);
      if (special == 0) {
        pos += 8;
        continue;
      }
      // The plain bytes in front of the first special one pass at once (the word's first
      // byte is its lowest on a little-endian machine).
      if constexpr (std::endian::native == std::endian::little)
        pos += static_cast<std::size_t>(std::countr_zero(special)) / 8;
    }
    const char c = text[pos];
    if (static_cast<unsigned char>(c) >= 0x80) {
      if (const std::size_t n = Utf8SequenceLength(text, pos); n != 0) {
        pos += n;
        continue;
      }
      out.append(text.data() + copied, pos - copied).append("\xEF\xBF\xBD");
    } else if (Plain(static_cast<unsigned char>(c))) {
      ++pos;
      continue;
    } else {
      out.append(text.data() + copied, pos - copied);
      AppendEscape(out, c);
    }
    copied = ++pos;
  }
  out.append(text.data() + copied, pos - copied);
  out += '"';
}

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJsonQuoted(out, text);
  return out;
}

JsonWriter::~JsonWriter() = default;

bool JsonWriter::Flush() {
  if (sink_ == nullptr) return true;
  out_ += '\n';
  SpillNow();
  Settle();
  sink_->flush();
  return !failed_ && !sink_->fail();
}

bool JsonWriter::Settle() {
  if (writer_ && !writer_->Wait()) failed_ = true;
  return !failed_;
}

// The piece goes to the writer's thread once the one before it is written.
void JsonWriter::SpillNow() {
  if (!writer_) writer_ = std::make_unique<BackgroundWrite>();
  Settle();
  writing_.swap(out_);
  out_.clear();
  out_.reserve(pieceBytes_ + pieceBytes_ / 4);
  writer_->Start([this] {
    sink_->write(writing_.data(), static_cast<std::streamsize>(writing_.size()));
    return !sink_->fail();
  });
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
  const bool first = levels_.back().first;
  if (!first) out_ += ',';
  levels_.back().first = false;
  if (oneLine_ == 0) {
    NewLine();
  } else if (!first && pretty_) {
    out_ += ' ';
  }
}

void JsonWriter::Open(char bracket, bool oneLine) {
  BeforeValue();
  out_ += bracket;
  levels_.push_back({true, oneLine, bracket == '{' ? '}' : ']'});
  if (oneLine) ++oneLine_;
}

void JsonWriter::Close(char bracket) {
  const bool empty = levels_.empty() || levels_.back().first;
  const bool lined = oneLine_ == 0;
  if (!levels_.empty()) {
    if (levels_.back().oneLine) --oneLine_;
    levels_.pop_back();
  }
  if (!empty && lined) NewLine();
  out_ += bracket;
}

JsonWriter& JsonWriter::BeginObject() {
  Open('{');
  return *this;
}
JsonWriter& JsonWriter::BeginRecord() {
  Open('{', true);
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

JsonWriter& JsonWriter::EndTo(std::size_t depth) {
  while (levels_.size() > depth) Close(levels_.back().closer);
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendJsonQuoted(out_, text);
  return *this;
}

JsonWriter& JsonWriter::Quoted(std::string_view quoted) {
  BeforeValue();
  out_ += quoted;
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
