#include "base/bytes.h"

namespace kestrio {

std::optional<std::uint64_t> ReadBigEndian(Bytes bytes, std::size_t off, std::size_t width) {
  if (width == 0 || width > 8 || !InRange(bytes.size(), off, width)) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[off + i];
  return value;
}

std::optional<Bytes> SubSpan(Bytes bytes, std::size_t off, std::uint64_t len) {
  if (!InRange(bytes.size(), off, len)) return std::nullopt;
  return bytes.subspan(off, static_cast<std::size_t>(len));
}

}  // namespace kestrio
