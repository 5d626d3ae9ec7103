// Deciphering one stored file: AES-256-CBC with a zero IV over the whole file, PKCS#7 padding
// at the end (always present, 1..16 bytes, so a block-aligned plaintext gains a whole block).
// An empty stored file, like one block of padding, gives an empty output. The file is read and
// deciphered in 1 MiB pieces, so memory stays constant whatever its length; the last plaintext
// block is held back until the end, where the padding is checked and stripped. The recorded
// Size of a file is never used: the length is what the padding leaves.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "tools/decrypt/keybag.h"

namespace kestrio::decrypt {

enum class Padding {
  kStrict,    // bad padding fails the file (stored files)
  kDatabase,  // an SQLite database (Manifest.db): a length that is a multiple of 512 (whole
              // pages) carries no padding; otherwise valid padding is stripped and bad
              // padding is kept as data
};

enum class CipherStatus {
  kOk,
  kMissing,          // no regular file at the input path
  kNotBlockAligned,  // length not a multiple of 16
  kBadPadding,
  kReadError,
  kWriteError,
};

struct CipherResult {
  CipherStatus status = CipherStatus::kOk;
  std::uint64_t plainSize = 0;  // bytes written (kOk only)
};

// Deciphers `input` into `output` (replaced when it exists). On any status but kOk no output
// file is left behind: a partly written one, or a stale one from an earlier run, is removed
// (a directory in its place is left alone).
CipherResult DecryptFile(const Key& key, const std::filesystem::path& input,
                         const std::filesystem::path& output, Padding padding);

// Text for a status, for messages.
std::string_view Describe(CipherStatus status);

}  // namespace kestrio::decrypt
