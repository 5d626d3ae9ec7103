// libFuzzer target for the Manifest.mbdb parser: the input is the whole index file. Every
// entry it returns must carry the SHA-1 of its own key and a key with a domain and a path.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "backup/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<kestrio::ManifestEntry> entries;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const kestrio::Result result = kestrio::ParseManifestMbdb(bytes, entries);
  if (result != kestrio::kResultOk && !entries.empty()) std::abort();
  for (const auto& entry : entries) {
    if (entry.storedName.size() != 40 || entry.key.find('-') == std::string::npos) std::abort();
  }
  return 0;
}
