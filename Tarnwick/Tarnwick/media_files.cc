#include "media_files.h"

#include <cstdio>
#include <ctime>

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

std::string iso8601DateText(std::chrono::system_clock::time_point date) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return "без даты";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace tarnwick
