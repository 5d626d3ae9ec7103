#include "output/formatters.h"

#include <cstdio>

namespace kestrio {
namespace {

std::string Printf(const char* format, double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, format, value, unit);
  return text;
}

}  // namespace

std::string FormatSize(std::int64_t bytes) {
  constexpr double kKilo = 1024.0;
  constexpr std::int64_t kTera = std::int64_t{1} << 40;
  constexpr std::int64_t kGiga = std::int64_t{1} << 30;
  constexpr std::int64_t kMega = std::int64_t{1} << 20;
  const auto value = static_cast<double>(bytes);
  if (bytes >= kTera) return Printf("%.2f%s", value / static_cast<double>(kTera), " TB");
  if (bytes < 0) return std::to_string(bytes) + " Bytes";
  if (bytes >= kGiga) return Printf("%.2f%s", value / static_cast<double>(kGiga), " GB");
  if (bytes >= kMega) return Printf("%.2f%s", value / static_cast<double>(kMega), " MB");
  if (bytes >= 1024) return Printf("%.2f%s", value / kKilo, " KB");
  return std::to_string(bytes) + " Bytes";
}

std::string FormatDuration(std::int64_t seconds) {
  if (seconds >= 3600)
    return std::to_string(seconds / 3600) + " Hour " + std::to_string(seconds % 3600 / 60) + " Min";
  if (seconds >= 60)
    return std::to_string(seconds / 60) + " Min " + std::to_string(seconds % 60) + " Sec";
  return std::to_string(seconds) + " Sec";
}

std::string CallDurationText(const CallRecord& call) {
  if (call.Missed()) return "Missed";
  if (call.durationSeconds != 0) return FormatDuration(call.durationSeconds);
  if (!call.answered && !call.isIncoming) return "Canceled";
  return FormatDuration(0);
}

}  // namespace kestrio
