// Pictures in the HEIF container (HEIC from iPhone cameras since iOS 11, AVIF), decoded with
// libheif, for the preview: the desktop toolkit of this platform reads JPEG, PNG, GIF and
// WebP itself, but no HEIF.
//
// HEIF (ISO/IEC 23008-12) is an ISO base media file: the file starts with a box
//   +0 4 bytes  box size (big-endian)   +4 4 bytes "ftyp"   +8 4 bytes major brand
// and the brands "heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1" and "avif"
// name still images of this container.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace kestrio {

// True when `head` (the first bytes of a file, at least 12) is an "ftyp" box of a HEIF brand.
bool LooksLikeHeif(Bytes head);

struct DecodedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;  // width * height pixels of 4 bytes (R, G, B, A), rows packed
};

// The largest picture decoded: 16384 pixels a side and 64 million pixels in all, so a
// hostile header cannot make the decoder allocate gigabytes.
inline constexpr int kMaxPictureSide = 16384;
inline constexpr std::int64_t kMaxPicturePixels = 64LL * 1000 * 1000;

// Decodes the primary image of the HEIF file at `path`. False with `why` set when the file
// cannot be read, is no HEIF, is larger than the bounds above or does not decode.
bool DecodeHeif(const std::filesystem::path& path, DecodedPicture& out, std::string* why = nullptr);

}  // namespace kestrio
