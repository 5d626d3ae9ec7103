// Byte-level access to test files: reading, writing and patching big-endian fields.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrio::testing {

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline void PutBe16(std::vector<std::uint8_t>& bytes, std::size_t off, std::uint16_t value) {
  bytes.at(off) = static_cast<std::uint8_t>(value >> 8);
  bytes.at(off + 1) = static_cast<std::uint8_t>(value);
}

inline void PutBe32(std::vector<std::uint8_t>& bytes, std::size_t off, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(off + i) = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

inline std::uint32_t GetBe32(const std::vector<std::uint8_t>& bytes, std::size_t off) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | bytes.at(off + i);
  return value;
}

inline std::uint16_t GetBe16(const std::vector<std::uint8_t>& bytes, std::size_t off) {
  return static_cast<std::uint16_t>((bytes.at(off) << 8) | bytes.at(off + 1));
}

}  // namespace kestrio::testing
