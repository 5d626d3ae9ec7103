// libFuzzer target for what the decryption program parses from a backup: the keybag, the
// Manifest.plist around it, MBFile archives of Manifest.db rows, and Manifest.mbdb records.
// Byte 0 picks the parser; the rest is its input. None may crash or hang; the mbdb reader
// must always advance.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "tools/decrypt/keybag.h"
#include "tools/decrypt/records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  std::string error;
  switch (data[0] % 4) {
    case 0:
      kestrio::decrypt::ParseKeybag(bytes, error);
      break;
    case 1: {
      kestrio::decrypt::ManifestPlist plist;
      kestrio::decrypt::ParseManifestPlist(bytes, plist, error);
      break;
    }
    case 2: {
      kestrio::decrypt::MbFile file;
      kestrio::decrypt::ParseMbFile(bytes, file, error);
      break;
    }
    default: {
      const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      kestrio::decrypt::MbdbReader reader(text);
      kestrio::decrypt::MbdbRecord record;
      std::size_t records = 0;
      while (reader.Next(record) == kestrio::decrypt::MbdbReader::Step::kRecord) {
        // Each record takes at least 50 bytes: more records than that means no progress.
        if (++records > text.size() / 50 + 1) std::abort();
      }
      break;
    }
  }
  return 0;
}
