// What the program reads from media files, in the shapes the platform layers
// hand it over: image properties and video metadata items.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace media {

// A moment in time, in milliseconds since 1970-01-01 00:00:00 UTC.
using Instant = std::chrono::sys_time<std::chrono::milliseconds>;

// ---- image properties ----

struct PropertyDictionary;
// A property value: text, a number, or a nested dictionary.
using PropertyValue = std::variant<std::string, std::int64_t, std::shared_ptr<const PropertyDictionary>>;

struct PropertyDictionary {
  std::map<std::string, PropertyValue> entries;
  const PropertyValue* find(const std::string& key) const {
    const auto it = entries.find(key);
    return it == entries.end() ? nullptr : &it->second;
  }
};

// Property keys, as the image properties name them.
inline const std::string kExifDictionaryKey = "{Exif}";
inline const std::string kExifDateTimeOriginalKey = "DateTimeOriginal";
inline const std::string kTiffDictionaryKey = "{TIFF}";
inline const std::string kTiffDateTimeKey = "DateTime";

// ---- video metadata ----

// The common-key-space key of an item's creation date.
inline constexpr std::string_view kCommonKeyCreationDate = "creationDate";

// An item's key in its own format: text, a number (an index that names no
// key), or none.
using ItemKey = std::variant<std::monostate, std::string, std::uint32_t>;

struct MetadataItem {
  std::optional<std::string> commonKey;
  ItemKey key;
  std::optional<Instant> dateValue;
  std::optional<std::string> stringValue;
};

struct VideoMetadata {
  std::vector<MetadataItem> commonMetadata;
  std::vector<MetadataItem> metadata;
};

}  // namespace media
