// A small streaming JSON writer: objects and arrays nest, commas are placed for the caller,
// and every text is written as valid UTF-8 (bytes that are not become U+FFFD).
//
// Without a sink the document is kept in memory (str()); with one, the text goes to the
// stream in pieces of about kFlushBytes (or the size given) as it is written, so a document
// of any size costs twice that much memory: each piece is written on a thread of the
// writer's own while the next one is made. Flush() writes what is left; the destructor only
// waits for the piece being written.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/background_write.h"

namespace kestrio::cli {

class JsonWriter {
 public:
  explicit JsonWriter(bool pretty = true) : pretty_(pretty) {}
  explicit JsonWriter(std::ostream& sink, bool pretty = true, std::size_t pieceBytes = kFlushBytes)
      : sink_(&sink), pretty_(pretty), pieceBytes_(pieceBytes) {
    out_.reserve(pieceBytes_ + pieceBytes_ / 4);
  }
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  static constexpr std::size_t kFlushBytes = 1024 * 1024;

  JsonWriter& BeginObject();
  // An object laid out on one line, `{"a": 1, "b": [2, 3]}`, whatever it holds: a record of a
  // long list, so that the list reads (and greps) one record per line. The same as
  // BeginObject in a writer that is not pretty.
  JsonWriter& BeginRecord();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The key of the next value inside an object.
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  // A string AppendJsonQuoted made, quotes included, written as it stands.
  JsonWriter& Quoted(std::string_view quoted);
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

  // The document written so far (without a sink), or the part not yet flushed.
  const std::string& str() const { return out_; }
  // Levels open: the arrays and objects begun and not yet ended.
  std::size_t Depth() const { return levels_.size(); }
  // Ends the arrays and objects open above `depth`, innermost first: a document cut short
  // still parses.
  JsonWriter& EndTo(std::size_t depth);
  // Writes the unflushed text and a final newline to the sink and flushes it; false when the
  // stream failed at any point. Without a sink: true, and nothing happens.
  bool Flush();
  // Waits for the piece being written, so that the sink, and any stream that flushes it first
  // (std::cerr flushes std::cout), may be used on this thread; false when a piece failed.
  bool Settle();

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
  void Open(char bracket, bool oneLine = false);
  void Close(char bracket);
  void NewLine();
  // Hands the buffer to the sink once it is full.
  void Spill() {
    if (sink_ != nullptr && out_.size() >= pieceBytes_) SpillNow();
  }
  void SpillNow();

  struct Level {
    bool first = true;
    bool oneLine = false;  // opened by BeginRecord
    char closer = ']';     // what ends it
  };
  std::string out_;
  std::ostream* sink_ = nullptr;
  std::vector<Level> levels_;
  bool afterKey_ = false;
  int oneLine_ = 0;  // open levels laid out on one line
  bool pretty_;
  std::size_t pieceBytes_ = kFlushBytes;
  bool failed_ = false;                      // a piece written before failed
  std::string writing_;                      // the piece being written
  std::unique_ptr<BackgroundWrite> writer_;  // last: it waits for `writing_` and `sink_`
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);
// The same, appended to `out`.
void AppendJsonQuoted(std::string& out, std::string_view text);

}  // namespace kestrio::cli
