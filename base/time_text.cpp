#include "base/time_text.h"

#include <cstdio>
#include <ctime>

namespace kestrio {
namespace {

// 0001-01-01 and 9999-12-31 23:59:59 UTC; local offsets stay well inside a day of these.
constexpr std::int64_t kMinUnix = -62135596800 + 86400;
constexpr std::int64_t kMaxUnix = 253402300799 - 86400;

}  // namespace

std::string UnixTimeText(std::int64_t unixSeconds) {
  if (unixSeconds < kMinUnix || unixSeconds > kMaxUnix) return {};
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return {};
  // "YYYY-MM-DD hh:mm:ss", written digit by digit (one text per record of a large list).
  std::string text(19, '0');
  const auto put = [&text](std::size_t at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value /= 10)
      text[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
  };
  put(0, tm.tm_year + 1900, 4);
  text[4] = '-';
  put(5, tm.tm_mon + 1, 2);
  text[7] = '-';
  put(8, tm.tm_mday, 2);
  text[10] = ' ';
  put(11, tm.tm_hour, 2);
  text[13] = ':';
  put(14, tm.tm_min, 2);
  text[16] = ':';
  put(17, tm.tm_sec, 2);
  return text;
}

std::string AppleTimeText(std::int64_t appleSeconds) {
  if (appleSeconds > kMaxUnix - kAppleEpochOffset) return {};
  if (appleSeconds < kMinUnix - kAppleEpochOffset) return {};
  return UnixTimeText(appleSeconds + kAppleEpochOffset);
}

std::uint64_t DateTextKey(std::string_view dateText) {
  std::uint64_t key = 0;
  for (char c : dateText) {
    if (c >= '0' && c <= '9') key = key * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return key;
}

std::optional<std::int64_t> WholeSeconds(double seconds) {
  // NaN fails both comparisons; the bounds keep the cast defined.
  if (!(seconds >= static_cast<double>(kMinUnix) - kAppleEpochOffset &&
        seconds <= static_cast<double>(kMaxUnix))) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(seconds);
}

std::int64_t AppleNow() {
  return static_cast<std::int64_t>(std::time(nullptr)) - kAppleEpochOffset;
}

}  // namespace kestrio
