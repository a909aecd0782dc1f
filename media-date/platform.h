// The program's view of the platform: image properties, video metadata items
// and date texts. Abstract so it can be mocked out for tests; the real
// implementations live in exiv2_image_properties, box_video_metadata and
// icu_date_text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "media_types.h"

namespace media {

class ImagePropertyReader {
 public:
  virtual ~ImagePropertyReader() = default;
  // The properties of the first image in the file, or nothing when the file
  // cannot be opened as an image or has no properties.
  virtual std::optional<PropertyDictionary> copyPropertiesOfFirstImage(const std::string& path) = 0;
};

class VideoMetadataReader {
 public:
  virtual ~VideoMetadataReader() = default;
  // The movie's common and format-specific metadata items; empty lists when
  // the file cannot be read as a movie.
  virtual VideoMetadata readMetadata(const std::string& path) = 0;
};

class DateText {
 public:
  virtual ~DateText() = default;
  // Parses `text` with a date pattern (UTS #35, locale en_US_POSIX, not
  // lenient). A pattern without a zone field reads the text as a wall-clock
  // time in the process's time zone.
  virtual std::optional<Instant> parse(std::string_view text, std::string_view pattern) = 0;
  // "yyyy-MM-dd HH:mm:ss" in UTC.
  virtual std::string formatUtc(Instant instant) = 0;
};

}  // namespace media
