#include "media_files.h"

#include <cstdio>
#include <cstdint>

namespace tarnwick {

const std::set<std::string, std::less<>>& supportedExtensions() {
  static const std::set<std::string, std::less<>> extensions = {
      "heic", "heif", "jpg", "jpeg", "png", "dng", "tif", "tiff", "mov", "mp4", "m4v"};
  return extensions;
}

std::string_view pathExtension(std::string_view name) {
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

bool isMediaName(std::string_view name) {
  std::string extension(pathExtension(name));
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return supportedExtensions().count(extension) != 0;
}

std::string iso8601DateText(std::chrono::sys_seconds date) {
  // Days and seconds of the day, rounded down, in 64 bits; then the civil
  // date of the day count (H. Hinnant's days-to-civil algorithm), which no
  // 64-bit count can overflow.
  const std::int64_t seconds = date.time_since_epoch().count();
  std::int64_t days = seconds / 86400;
  std::int64_t ofDay = seconds % 86400;
  if (ofDay < 0) {
    ofDay += 86400;
    --days;
  }
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t dayOfEra = z - era * 146097;                                   // [0, 146096]
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;                                // [0, 11]
  const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  char text[64];
  std::snprintf(text, sizeof text, "%s%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year < 0 ? "-" : "",
                static_cast<long long>(year < 0 ? -year : year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(ofDay / 3600),
                static_cast<long long>(ofDay / 60 % 60), static_cast<long long>(ofDay % 60));
  return text;
}

}  // namespace tarnwick
