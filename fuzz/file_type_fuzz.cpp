// libFuzzer target for file-type identification: any first bytes give a known extension or
// none, and a type that is identified is one the preview lists or the type table know.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "backup/media_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string_view extension = kestrio::IdentifyBytes(bytes);
  if (extension.empty()) return 0;
  for (char c : extension) {
    if (c < 'a' || c > 'z') {
      if (c < '0' || c > '9') std::abort();
    }
  }
  // Every identified type previews as a picture, a sound or a video.
  if (!kestrio::IsListedExtension(kestrio::kPictureExtensions, extension) &&
      !kestrio::IsListedExtension(kestrio::kAudioExtensions, extension) &&
      !kestrio::IsListedExtension(kestrio::kVideoExtensions, extension))
    std::abort();
  return 0;
}
