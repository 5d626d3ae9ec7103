// A reader of the protocol buffer wire format, for the note bodies of NoteStore.sqlite.
//
// WIRE FORMAT: a message is a sequence of fields, each a key varint (field number << 3 |
// wire type) followed by its value:
//   0 varint            1 to 10 bytes, 7 bits each, least significant group first; the high
//                       bit of a byte says another follows (the tenth may only hold bit 63)
//   1 fixed64           8 bytes, little-endian
//   2 length-delimited  a varint length, then that many bytes (a string, bytes, a nested
//                       message or a packed array: the schema tells which)
//   5 fixed32           4 bytes, little-endian
// Wire types 3 and 4 (start and end of a group) are deprecated and never written by the
// encoders of note bodies; they are refused, as are 6 and 7 and field number 0. Field
// numbers are at most 2^29 - 1.
//
// SAFETY: the bytes are hostile. Every length is checked against the bytes left before it is
// used, varints are bounded at 10 bytes, and a reader stops at the first field it cannot
// read (Failed() then tells it from the end of the message). Nesting is followed only along
// an explicit path of bounded length, never by recursion on the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/bytes.h"

namespace kestrio::protobuf {

enum class WireType : std::uint8_t {
  kVarint = 0,
  kFixed64 = 1,
  kLengthDelimited = 2,
  kFixed32 = 5
};

inline constexpr std::uint32_t kMaxFieldNumber = (1u << 29) - 1;
inline constexpr std::size_t kMaxPathDepth = 16;

struct Field {
  std::uint32_t number = 0;
  WireType type = WireType::kVarint;
  std::uint64_t value = 0;  // varint, fixed64 and fixed32 values
  Bytes bytes;              // length-delimited contents (inside the reader's buffer)
};

// The varint at `offset`: its value and the offset after it; nothing when it runs past the
// end or is longer than 10 bytes (or its tenth byte holds more than bit 63).
std::optional<std::uint64_t> ReadVarint(Bytes bytes, std::size_t& offset);

// Reads the fields of one message in order.
class Reader {
 public:
  explicit Reader(Bytes message) : bytes_(message) {}

  // The next field; false at the end of the message or at the first field that cannot be
  // read (the reader stays there).
  bool Next(Field& out);
  // Whether the reader stopped at a field it could not read rather than at the end.
  bool Failed() const { return failed_; }
  // Bytes read so far: the fields before the offset are whole.
  std::size_t Offset() const { return offset_; }

 private:
  Bytes bytes_;
  std::size_t offset_ = 0;
  bool failed_ = false;
};

// Where a path lookup stopped.
enum class PathStatus : std::uint8_t {
  kFound,
  kAbsent,     // a message on the path has no such length-delimited field
  kMalformed,  // a message on the path could not be read up to the field
};

struct PathResult {
  PathStatus status = PathStatus::kAbsent;
  Bytes bytes;            // the field's contents when found
  std::size_t depth = 0;  // the path elements resolved before it stopped
  bool cut = false;       // a field on the path ran past the end of its message (acceptCut)
};

// Follows `path` from `message`: the first length-delimited field of path[0], inside it the
// first of path[1], and so on; the contents of the last one. A path longer than
// kMaxPathDepth is malformed. With `acceptCut`, a field on the path whose length runs past the
// end of the bytes (a message cut short) is taken as the bytes there are, and `cut` is set.
PathResult FindPath(Bytes message, std::span<const std::uint32_t> path, bool acceptCut = false);

}  // namespace kestrio::protobuf
