// libFuzzer target for the typedstream reader of message bodies: any bytes give a text or
// nothing, never a crash; a text is well-formed UTF-8, and so is the text without its object
// markers, which has none left.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/text.h"
#include "parsers/typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kestrio::Bytes bytes(data, size);
  // The stripper takes any bytes, not only the reader's texts.
  static_cast<void>(kestrio::WithoutObjectMarkers(kestrio::AsText(bytes)));

  const auto body = kestrio::AttributedBodyText(bytes);
  if (!body) return 0;
  if (!kestrio::IsValidUtf8(body->text)) std::abort();
  const std::string shown = kestrio::WithoutObjectMarkers(body->text);
  if (!kestrio::IsValidUtf8(shown)) std::abort();
  if (shown.find("\xEF\xBF\xBC") != std::string::npos) std::abort();
  if (shown.find("\xEF\xBF\xBD") != std::string::npos) std::abort();
  return 0;
}
