// A small streaming JSON writer: objects and arrays nest, commas are placed for the caller,
// and every text is written as valid UTF-8 (bytes that are not become U+FFFD).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::cli {

class JsonWriter {
 public:
  explicit JsonWriter(bool pretty = true) : pretty_(pretty) {}

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The key of the next value inside an object.
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  JsonWriter& Bool(bool value);
  JsonWriter& Int(std::int64_t value);
  JsonWriter& UInt(std::uint64_t value);
  // The shortest text that reads back as `value`; null for an infinity or NaN, which JSON
  // cannot hold.
  JsonWriter& Double(double value);
  JsonWriter& Null();

  template <typename T>
  JsonWriter& Field(std::string_view key, const T& value) {
    Key(key);
    return Value(value);
  }

  const std::string& str() const { return out_; }

 private:
  JsonWriter& Value(bool value) { return Bool(value); }
  JsonWriter& Value(const std::string& value) { return String(value); }
  JsonWriter& Value(std::string_view value) { return String(value); }
  JsonWriter& Value(const char* value) { return String(value); }
  JsonWriter& Value(std::int32_t value) { return Int(value); }
  JsonWriter& Value(std::int64_t value) { return Int(value); }
  JsonWriter& Value(std::uint32_t value) { return UInt(value); }
  JsonWriter& Value(std::uint64_t value) { return UInt(value); }

  void BeforeValue();
  void Open(char bracket);
  void Close(char bracket);
  void NewLine();

  struct Level {
    bool first = true;
  };
  std::string out_;
  std::vector<Level> levels_;
  bool afterKey_ = false;
  bool pretty_;
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

}  // namespace kestrio::cli
