// A strict JSON reader for checking the command line's output in tests: objects keep their
// key order, numbers are kept as their text, and any syntax error (or bytes that are not
// UTF-8 inside strings) fails the parse. SameText compares long documents.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrio::testing {

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // string value, or the number as written
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json& operator[](std::string_view key) const {
    for (const auto& [k, v] : members) {
      if (k == key) return v;
    }
    static const Json kNone;
    return kNone;
  }
  const Json& operator[](std::size_t i) const { return items.at(i); }
  bool Has(std::string_view key) const {
    for (const auto& [k, v] : members) {
      if (k == key) return true;
    }
    return false;
  }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const auto& [k, v] : members) keys.push_back(k);
    return keys;
  }
  long long Number() const { return std::stoll(text); }
};

class JsonParser {
 public:
  explicit JsonParser(std::string_view in) : in_(in) {}

  std::optional<Json> Parse() {
    Json value;
    if (!Value(value, 0)) return std::nullopt;
    Space();
    if (pos_ != in_.size()) return std::nullopt;
    return value;
  }

 private:
  void Space() {
    while (pos_ < in_.size() &&
           (in_[pos_] == ' ' || in_[pos_] == '\n' || in_[pos_] == '\r' || in_[pos_] == '\t'))
      ++pos_;
  }
  bool Eat(char c) {
    Space();
    if (pos_ < in_.size() && in_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Literal(std::string_view word) {
    if (in_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool Value(Json& out, int depth) {
    if (depth > 64) return false;
    Space();
    if (pos_ >= in_.size()) return false;
    const char c = in_[pos_];
    if (c == '{') {
      ++pos_;
      out.kind = Json::Kind::kObject;
      if (Eat('}')) return true;
      do {
        Json key;
        Space();
        if (!String(key.text)) return false;
        if (!Eat(':')) return false;
        Json value;
        if (!Value(value, depth + 1)) return false;
        out.members.emplace_back(key.text, std::move(value));
      } while (Eat(','));
      return Eat('}');
    }
    if (c == '[') {
      ++pos_;
      out.kind = Json::Kind::kArray;
      if (Eat(']')) return true;
      do {
        Json value;
        if (!Value(value, depth + 1)) return false;
        out.items.push_back(std::move(value));
      } while (Eat(','));
      return Eat(']');
    }
    if (c == '"') {
      out.kind = Json::Kind::kString;
      return String(out.text);
    }
    if (Literal("true")) {
      out.kind = Json::Kind::kBool;
      out.boolean = true;
      return true;
    }
    if (Literal("false")) {
      out.kind = Json::Kind::kBool;
      return true;
    }
    if (Literal("null")) return true;
    const std::size_t start = pos_;
    if (pos_ < in_.size() && in_[pos_] == '-') ++pos_;
    while (pos_ < in_.size() && ((in_[pos_] >= '0' && in_[pos_] <= '9') || in_[pos_] == '.' ||
                                 in_[pos_] == 'e' || in_[pos_] == 'E' || in_[pos_] == '+'))
      ++pos_;
    if (pos_ == start) return false;
    out.kind = Json::Kind::kNumber;
    out.text = std::string(in_.substr(start, pos_ - start));
    return true;
  }
  static void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool String(std::string& out) {
    if (pos_ >= in_.size() || in_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < in_.size()) {
      const auto c = static_cast<unsigned char>(in_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= in_.size()) return false;
      const char e = in_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (pos_ + 4 > in_.size()) return false;
          const std::uint32_t cp =
              static_cast<std::uint32_t>(std::stoul(std::string(in_.substr(pos_, 4)), nullptr, 16));
          pos_ += 4;
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view in_;
  std::size_t pos_ = 0;
};

inline std::optional<Json> ParseJson(std::string_view text) { return JsonParser(text).Parse(); }

// Whether two documents of megabytes are equal, saying where they part (gtest's own diff of
// texts this long would take gigabytes).
inline ::testing::AssertionResult SameText(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  const auto at = static_cast<std::size_t>(
      std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
  const std::size_t from = at < 80 ? 0 : at - 80;
  return ::testing::AssertionFailure() << "they part at byte " << at << ":\n"
                                       << got.substr(from, 160) << "\n---\n"
                                       << want.substr(from, 160);
}

}  // namespace kestrio::testing
