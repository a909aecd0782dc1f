// Quenby: given the path of one photo or video, finds its capture date and
// prints where it was found and the date in UTC.
//
// The logic sees the platform only through the interfaces in platform.h.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace quenby {

using media::Instant;

inline constexpr std::array<std::string_view, 8> imageExtensions = {
    "heic", "heif", "jpg", "jpeg", "png", "dng", "tif", "tiff"};
inline constexpr std::array<std::string_view, 3> videoExtensions = {"mov", "mp4", "m4v"};
inline constexpr std::array<std::string_view, 3> creationDateKeys = {
    media::kCommonKeyCreationDate, "creationDate", "com.apple.quicktime.creationdate"};
inline constexpr std::array<std::string_view, 3> videoDateFormats = {
    "yyyy-MM-dd'T'HH:mm:ssZ", "yyyy-MM-dd'T'HH:mm:ss.SSSZ", "yyyy-MM-dd HH:mm:ss"};
inline constexpr std::string_view imageDateFormat = "yyyy:MM:dd HH:mm:ss";

inline constexpr std::string_view usageText = "Usage: Quenby /path/to/media\n";

inline constexpr int kStatusFound = 0;
inline constexpr int kStatusNotFound = 1;
inline constexpr int kStatusUsage = 64;

struct Platform {
  media::ImagePropertyReader& images;
  media::VideoMetadataReader& videos;
  media::DateText& dates;
};

// How a run ends: its status and what it writes on each stream.
struct Outcome {
  int status = kStatusNotFound;
  std::string out;
  std::string err;
};

// The extension of the last path component (text after its last dot),
// lower-cased; empty when there is none.
std::string pathExtension(std::string_view path);

// An Exif/TIFF date text, a wall-clock time in the local zone.
std::optional<Instant> parseExifDate(media::DateText& dates, std::string_view text);

// The whole program for the command-line words `args` (program name first).
Outcome run(const std::vector<std::string>& args, Platform& platform);

}  // namespace quenby
