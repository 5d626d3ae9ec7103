// Checked reads over untrusted bytes.
//
// Every helper takes the whole buffer as a span and an offset into it, and fails instead of
// reading past the span's end. Offsets and lengths taken from a file are compared as
// `len <= size - off` after checking `off <= size`, never summed, so a hostile length cannot
// wrap an addition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrio {

using Bytes = std::span<const std::uint8_t>;

// True when [off, off + len) lies inside a buffer of `size` bytes.
constexpr bool InRange(std::size_t size, std::size_t off, std::uint64_t len) {
  return off <= size && len <= size - off;
}

// The byte at `off`, or nothing past the end.
constexpr std::optional<std::uint8_t> ByteAt(Bytes bytes, std::size_t off) {
  if (off >= bytes.size()) return std::nullopt;
  return bytes[off];
}

// Big-endian unsigned integer of `width` (1..8) bytes at `off`.
std::optional<std::uint64_t> ReadBigEndian(Bytes bytes, std::size_t off, std::size_t width);

inline std::optional<std::uint16_t> ReadBe16(Bytes bytes, std::size_t off) {
  auto v = ReadBigEndian(bytes, off, 2);
  if (!v) return std::nullopt;
  return static_cast<std::uint16_t>(*v);
}

inline std::optional<std::uint32_t> ReadBe32(Bytes bytes, std::size_t off) {
  auto v = ReadBigEndian(bytes, off, 4);
  if (!v) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

// A sub-span [off, off + len), or an empty optional when it would leave `bytes`.
std::optional<Bytes> SubSpan(Bytes bytes, std::size_t off, std::uint64_t len);

// The bytes from `off` to the end (empty when off is past the end).
inline Bytes Tail(Bytes bytes, std::size_t off) {
  return off < bytes.size() ? bytes.subspan(off) : Bytes{};
}

inline std::string_view AsText(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace kestrio
