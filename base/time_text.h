// Date texts. Every date Kestrio shows or writes is local time, printed as
// "%04d-%02d-%02d %02d:%02d:%02d"; lists sort by comparing these texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio {

// Seconds between 1970-01-01 and 2001-01-01 (the start of Apple's time scale), both UTC.
inline constexpr std::int64_t kAppleEpochOffset = 978307200;

// Unix seconds as local time; empty when the value lies outside what can be printed with a
// four-digit year.
std::string UnixTimeText(std::int64_t unixSeconds);

// Seconds since 2001-01-01 UTC as local time (exact: the epoch offset is added, no year
// arithmetic on broken-down time).
std::string AppleTimeText(std::int64_t appleSeconds);

// A date text's digits read as one number ("YYYY-MM-DD hh:mm:ss" -> YYYYMMDDhhmmss, empty
// -> 0): it orders date texts exactly as comparing the texts does, for sorting large lists.
std::uint64_t DateTextKey(std::string_view dateText);

// Whole seconds of a floating-point time value, or nothing when it is not finite or lies
// outside what the date functions can print.
std::optional<std::int64_t> WholeSeconds(double seconds);

// The current time in Apple's scale.
std::int64_t AppleNow();

}  // namespace kestrio
