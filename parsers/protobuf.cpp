#include "parsers/protobuf.h"

namespace kestrio::protobuf {

std::optional<std::uint64_t> ReadVarint(Bytes bytes, std::size_t& offset) {
  std::uint64_t value = 0;
  std::size_t at = offset;
  for (unsigned i = 0; i < 10; ++i, ++at) {
    if (at >= bytes.size()) return std::nullopt;
    const std::uint8_t byte = bytes[at];
    // The tenth byte carries bit 63 only.
    if (i == 9 && byte > 1) return std::nullopt;
    value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      offset = at + 1;
      return value;
    }
  }
  return std::nullopt;
}

bool Reader::Next(Field& out) {
  if (failed_ || offset_ >= bytes_.size()) return false;
  std::size_t at = offset_;
  const auto key = ReadVarint(bytes_, at);
  const std::uint64_t number = key ? *key >> 3 : 0;
  if (!key || number == 0 || number > kMaxFieldNumber) {
    failed_ = true;
    return false;
  }
  Field field;
  field.number = static_cast<std::uint32_t>(number);
  switch (*key & 7) {
    case 0: {
      const auto value = ReadVarint(bytes_, at);
      if (!value) break;
      field.type = WireType::kVarint;
      field.value = *value;
      offset_ = at;
      out = field;
      return true;
    }
    case 1:
    case 5: {
      const std::size_t width = (*key & 7) == 1 ? 8 : 4;
      if (!InRange(bytes_.size(), at, width)) break;
      for (std::size_t i = 0; i < width; ++i) {
        field.value |= static_cast<std::uint64_t>(bytes_[at + i]) << (8 * i);
      }
      field.type = width == 8 ? WireType::kFixed64 : WireType::kFixed32;
      offset_ = at + width;
      out = field;
      return true;
    }
    case 2: {
      const auto length = ReadVarint(bytes_, at);
      if (!length || !InRange(bytes_.size(), at, *length)) break;
      field.type = WireType::kLengthDelimited;
      field.bytes = bytes_.subspan(at, static_cast<std::size_t>(*length));
      offset_ = at + static_cast<std::size_t>(*length);
      out = field;
      return true;
    }
    default:  // groups (3, 4) and the unassigned 6, 7
      break;
  }
  failed_ = true;
  return false;
}

namespace {

// The contents of a length-delimited field `number` at `offset` whose length runs past the
// end of `bytes`: the bytes after its length; nothing when the key or the length cannot be
// read or the field is another one.
std::optional<Bytes> CutField(Bytes bytes, std::size_t offset, std::uint32_t number) {
  const auto key = ReadVarint(bytes, offset);
  if (!key || (*key & 7) != 2 || (*key >> 3) != number) return std::nullopt;
  if (!ReadVarint(bytes, offset)) return std::nullopt;
  return Tail(bytes, offset);
}

}  // namespace

PathResult FindPath(Bytes message, std::span<const std::uint32_t> path, bool acceptCut) {
  PathResult result;
  if (path.size() > kMaxPathDepth) {
    result.status = PathStatus::kMalformed;
    return result;
  }
  Bytes current = message;
  for (const std::uint32_t number : path) {
    Reader reader(current);
    Field field;
    bool found = false;
    while (reader.Next(field)) {
      if (field.number == number && field.type == WireType::kLengthDelimited) {
        found = true;
        break;
      }
    }
    if (!found && reader.Failed() && acceptCut) {
      if (const auto tail = CutField(current, reader.Offset(), number)) {
        field.bytes = *tail;
        found = true;
        result.cut = true;
      }
    }
    if (!found) {
      result.status = reader.Failed() ? PathStatus::kMalformed : PathStatus::kAbsent;
      return result;
    }
    current = field.bytes;
    ++result.depth;
  }
  result.status = PathStatus::kFound;
  result.bytes = current;
  return result;
}

}  // namespace kestrio::protobuf
