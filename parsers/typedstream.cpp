#include "parsers/typedstream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/text.h"

namespace kestrio {
namespace {

// Head bytes with a meaning of their own (as signed bytes: -127 .. -122).
constexpr std::uint8_t kInteger2 = 0x81;
constexpr std::uint8_t kInteger4 = 0x82;
constexpr std::uint8_t kFloat = 0x83;
constexpr std::uint8_t kNew = 0x84;
constexpr std::uint8_t kNil = 0x85;
constexpr std::uint8_t kEnd = 0x86;
// A single head byte 0x92..0xFF is -110..-1; references count from -110.
constexpr std::uint8_t kFirstNegative = 0x92;
constexpr std::int64_t kReferenceBase = 110;

constexpr std::size_t kVersionOffset = 0;
constexpr std::uint8_t kStreamerVersion = 4;
constexpr std::size_t kSignatureOffset = 2;
constexpr std::string_view kLittleEndianSignature = "streamtyped";
constexpr std::string_view kBigEndianSignature = "typedstream";

// Objects nest a few levels in a real body (attributed string, dictionary, number); the walk
// gives up far beyond that, and after a bounded number of values whatever the blob says.
constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxSteps = std::size_t{1} << 20;

bool IsLiteral(std::uint8_t head) { return head < 0x80 || head >= kFirstNegative; }

bool IsStringClass(Bytes name) {
  const std::string_view text = AsText(name);
  return text == "NSString" || text == "NSMutableString";
}

// The header: the position of the first typed-value group and the byte order, or nothing.
struct Header {
  std::size_t body = 0;
  bool big_endian = false;
};

std::optional<std::int64_t> ReadNumber(Bytes bytes, std::size_t off, std::size_t width,
                                       bool big_endian, bool is_signed) {
  if (!InRange(bytes.size(), off, width)) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t at = big_endian ? off + i : off + width - 1 - i;
    value = (value << 8) | bytes[at];
  }
  if (!is_signed) return static_cast<std::int64_t>(value);
  if (width == 2) return static_cast<std::int16_t>(value);
  return static_cast<std::int32_t>(value);
}

// An integer whose head byte is at `*pos`, moving `*pos` past it. Unsigned integers (lengths)
// read the 2- and 4-byte forms and the single bytes 0x92..0xFF as unsigned values.
std::optional<std::int64_t> ReadInteger(Bytes bytes, std::size_t* pos, bool big_endian,
                                        bool is_signed) {
  const auto head = ByteAt(bytes, *pos);
  if (!head) return std::nullopt;
  if (IsLiteral(*head)) {
    ++*pos;
    if (is_signed) return static_cast<std::int8_t>(*head);
    return *head;
  }
  if (*head != kInteger2 && *head != kInteger4) return std::nullopt;
  const std::size_t width = *head == kInteger2 ? 2 : 4;
  const auto value = ReadNumber(bytes, *pos + 1, width, big_endian, is_signed);
  if (value) *pos += 1 + width;
  return value;
}

std::optional<Header> ReadHeader(Bytes blob) {
  if (ByteAt(blob, kVersionOffset) != kStreamerVersion) return std::nullopt;
  if (ByteAt(blob, kSignatureOffset - 1) != kLittleEndianSignature.size()) return std::nullopt;
  const auto signature = SubSpan(blob, kSignatureOffset, kLittleEndianSignature.size());
  if (!signature) return std::nullopt;
  Header header;
  if (AsText(*signature) == kBigEndianSignature) {
    header.big_endian = true;
  } else if (AsText(*signature) != kLittleEndianSignature) {
    return std::nullopt;
  }
  // The system version: any integer.
  std::size_t pos = kSignatureOffset + kLittleEndianSignature.size();
  if (!ReadInteger(blob, &pos, header.big_endian, true)) return std::nullopt;
  header.body = pos;
  return header;
}

// The structured walk. Every member returns false when the blob cannot be followed further
// or when the text has been found; text() tells which.
class Walker {
 public:
  Walker(Bytes blob, const Header& header)
      : blob_(blob), pos_(header.body), big_endian_(header.big_endian) {}

  std::optional<Bytes> Run() {
    while (pos_ < blob_.size()) {
      if (!Group(false, 0)) break;
    }
    return text_;
  }

 private:
  enum class Kind : std::uint8_t { kObject, kClass, kCString };
  struct Entry {
    Kind kind = Kind::kObject;
    bool is_string = false;  // a class that is NSString or derives from it
  };

  bool Step() { return ++steps_ <= kMaxSteps; }

  std::optional<std::uint8_t> Next() {
    const auto byte = ByteAt(blob_, pos_);
    if (byte) ++pos_;
    return byte;
  }

  std::optional<std::int64_t> Integer(bool is_signed) {
    return ReadInteger(blob_, &pos_, big_endian_, is_signed);
  }

  // A reference index below `table_size`, read from the integer at pos_.
  std::optional<std::size_t> Reference(std::size_t table_size) {
    const auto number = Integer(true);
    if (!number) return std::nullopt;
    const std::int64_t index = *number + kReferenceBase;
    if (index < 0 || static_cast<std::uint64_t>(index) >= table_size) return std::nullopt;
    return static_cast<std::size_t>(index);
  }

  // A shared string that is not nil: type codes and class names.
  std::optional<Bytes> SharedString() {
    const auto head = ByteAt(blob_, pos_);
    if (!head || *head == kNil) return std::nullopt;
    if (*head != kNew) {
      const auto index = Reference(shared_.size());
      if (!index) return std::nullopt;
      return shared_[*index];
    }
    ++pos_;
    const auto length = Integer(false);
    if (!length) return std::nullopt;
    const auto bytes = SubSpan(blob_, pos_, static_cast<std::uint64_t>(*length));
    if (!bytes) return std::nullopt;
    pos_ += bytes->size();
    shared_.push_back(*bytes);
    return bytes;
  }

  // A class chain (or nil class); `*is_string` tells whether NSString is in it.
  bool ClassChain(bool* is_string) {
    std::vector<std::pair<std::size_t, Bytes>> added;
    bool string_root = false;
    for (;;) {
      if (!Step()) return false;
      const auto head = ByteAt(blob_, pos_);
      if (!head) return false;
      if (*head == kNil) {
        ++pos_;
        break;
      }
      if (*head != kNew) {
        const auto index = Reference(objects_.size());
        if (!index || objects_[*index].kind != Kind::kClass) return false;
        string_root = objects_[*index].is_string;
        break;
      }
      ++pos_;
      const auto name = SharedString();
      if (!name || !Integer(true)) return false;  // the class version
      added.emplace_back(objects_.size(), *name);
      objects_.push_back({Kind::kClass, false});
    }
    // A class is a string class when it or any of its superclasses is one.
    for (auto it = added.rbegin(); it != added.rend(); ++it) {
      string_root = string_root || IsStringClass(it->second);
      objects_[it->first].is_string = string_root;
    }
    *is_string = string_root;
    return true;
  }

  bool Object(int depth) {
    if (depth > kMaxDepth) return false;
    const auto head = ByteAt(blob_, pos_);
    if (!head) return false;
    if (*head == kNil) {
      ++pos_;
      return true;
    }
    if (*head != kNew) return Reference(objects_.size()).has_value();
    ++pos_;
    objects_.push_back({Kind::kObject, false});
    bool is_string = false;
    if (!ClassChain(&is_string)) return false;
    for (;;) {
      const auto next = ByteAt(blob_, pos_);
      if (!next) return false;
      if (*next == kEnd) {
        ++pos_;
        return true;
      }
      if (!Group(is_string, depth)) return false;
    }
  }

  bool CString() {
    const auto head = ByteAt(blob_, pos_);
    if (!head) return false;
    if (*head == kNil) {
      ++pos_;
      return true;
    }
    if (*head != kNew) return Reference(objects_.size()).has_value();
    ++pos_;
    if (!SharedString()) return false;
    objects_.push_back({Kind::kCString, false});
    return true;
  }

  // An unshared string; inside a string object it is the text and ends the walk.
  bool UnsharedString(bool in_string) {
    const auto head = ByteAt(blob_, pos_);
    if (!head) return false;
    if (*head == kNil) {
      ++pos_;
      return true;
    }
    const auto length = Integer(false);
    if (!length) return false;
    const auto bytes = SubSpan(blob_, pos_, static_cast<std::uint64_t>(*length));
    if (!bytes) return false;
    pos_ += bytes->size();
    if (in_string) {
      text_ = *bytes;
      return false;
    }
    return true;
  }

  bool Number(char code) {
    const auto head = ByteAt(blob_, pos_);
    if (!head) return false;
    if ((code == 'f' || code == 'd') && *head == kFloat) {
      const std::size_t width = code == 'f' ? 4 : 8;
      if (!InRange(blob_.size(), pos_ + 1, width)) return false;
      pos_ += 1 + width;
      return true;
    }
    return Integer(code != 'C' && code != 'S' && code != 'I' && code != 'L' && code != 'Q')
        .has_value();
  }

  bool Value(char code, bool in_string, int depth) {
    if (!Step()) return false;
    switch (code) {
      case 'c':
      case 'C':
      case 'B':
        return Next().has_value();
      case 's':
      case 'S':
      case 'i':
      case 'I':
      case 'l':
      case 'L':
      case 'q':
      case 'Q':
      case 'f':
      case 'd':
        return Number(code);
      case '+':
        return UnsharedString(in_string);
      case '*':
      case ':':
        return CString();
      case '@':
        return Object(depth + 1);
      case '#': {
        bool ignored = false;
        return ClassChain(&ignored);
      }
      default:
        return false;
    }
  }

  // '[<count><code>]' at types[*i] (the '['), moving *i past the ']'.
  bool Array(Bytes types, std::size_t* i, bool in_string, int depth) {
    std::uint64_t count = 0;
    std::size_t at = *i + 1;
    for (; at < types.size() && types[at] >= '0' && types[at] <= '9'; ++at) {
      if (count > blob_.size()) return false;  // more elements than bytes left
      count = count * 10 + (types[at] - '0');
    }
    const auto code = ByteAt(types, at);
    if (!code || ByteAt(types, at + 1) != ']') return false;
    *i = at + 2;
    if (*code == 'c' || *code == 'C' || *code == 'B') {  // raw bytes, no prefix
      if (!InRange(blob_.size(), pos_, count)) return false;
      pos_ += static_cast<std::size_t>(count);
      return true;
    }
    for (std::uint64_t n = 0; n < count; ++n) {
      if (!Value(static_cast<char>(*code), in_string, depth)) return false;
    }
    return true;
  }

  // A typed-value group: the type codes, then one value for each.
  bool Group(bool in_string, int depth) {
    if (!Step()) return false;
    const auto types = SharedString();
    if (!types) return false;
    for (std::size_t i = 0; i < types->size();) {
      const char code = static_cast<char>((*types)[i]);
      if (code == '[') {
        if (!Array(*types, &i, in_string, depth)) return false;
        continue;
      }
      if (!Value(code, in_string, depth)) return false;
      ++i;
    }
    return true;
  }

  Bytes blob_;
  std::size_t pos_;
  bool big_endian_;
  std::size_t steps_ = 0;
  std::vector<Bytes> shared_;
  std::vector<Entry> objects_;
  std::optional<Bytes> text_;
};

std::size_t Find(Bytes blob, std::size_t from, std::string_view needle) {
  if (from > blob.size()) return blob.size();
  const auto* begin = reinterpret_cast<const char*>(blob.data());
  const std::string_view haystack(begin + from, blob.size() - from);
  const std::size_t found = haystack.find(needle);
  return found == std::string_view::npos ? blob.size() : from + found;
}

// The search for a blob the walk could not follow: "\x08NSString", then the first new '+'
// type code after it, then the text's length prefix and what is left of the text.
std::optional<AttributedText> SearchText(Bytes blob, const Header& header) {
  static constexpr std::string_view kClassName("\x08NSString", 9);
  static constexpr std::string_view kNewPlus("\x84\x01\x2B", 3);
  const std::size_t name = Find(blob, header.body, kClassName);
  if (name == blob.size()) return std::nullopt;
  const std::size_t plus = Find(blob, name + kClassName.size(), kNewPlus);
  if (plus == blob.size()) return std::nullopt;
  std::size_t pos = plus + kNewPlus.size();
  const auto length = ReadInteger(blob, &pos, header.big_endian, false);
  if (!length) return std::nullopt;
  const Bytes rest = Tail(blob, pos);
  const std::uint64_t wanted = static_cast<std::uint64_t>(*length);
  AttributedText result;
  result.truncated = wanted > rest.size();
  result.text = ToValidUtf8(AsText(rest.first(std::min<std::uint64_t>(wanted, rest.size()))));
  return result;
}

}  // namespace

std::optional<AttributedText> AttributedBodyText(Bytes blob) {
  const auto header = ReadHeader(blob);
  if (!header) return std::nullopt;
  if (const auto text = Walker(blob, *header).Run()) {
    return AttributedText{ToValidUtf8(AsText(*text)), false};
  }
  return SearchText(blob, *header);
}

std::string WithoutObjectMarkers(std::string_view text) {
  // U+FFFC is EF BF BC and U+FFFD is EF BF BD in UTF-8.
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.size() - i >= 3 && text[i] == '\xEF' && text[i + 1] == '\xBF' &&
        (text[i + 2] == '\xBC' || text[i + 2] == '\xBD')) {
      i += 3;
      continue;
    }
    out.push_back(text[i]);
    ++i;
  }
  return out;
}

}  // namespace kestrio
