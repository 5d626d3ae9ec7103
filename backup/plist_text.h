// Text out of a hostile property list. libplist's plist_get_string_val asserts (aborts the
// process) on a string with a NUL inside, which a crafted list can hold, so strings are read
// through the pointer form and end at the first NUL.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio {

// The string of a PLIST_STRING node up to its first NUL; nothing for any other node.
inline std::optional<std::string> PlistText(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (value == nullptr) return std::nullopt;
  const std::string_view text(value, static_cast<std::size_t>(length));
  return std::string(text.substr(0, text.find('\0')));
}

}  // namespace kestrio
