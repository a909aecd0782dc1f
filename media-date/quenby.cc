#include "quenby.h"

#include <algorithm>
#include <variant>

namespace quenby {
namespace {

using media::MetadataItem;
using media::PropertyDictionary;
using media::PropertyValue;

template <typename List>
bool contains(const List& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Values of the run, set once at start.
struct Context {
  std::string url;  // the path as given; relative paths are read from the current directory
  std::string ext;
  media::DateText& dateFormatter;
};

Outcome printUsage() { return {kStatusUsage, "", std::string(usageText)}; }

Outcome printDate(const Context& context, Instant instant, std::string_view source) {
  return {kStatusFound, std::string(source) + ": " + context.dateFormatter.formatUtc(instant) + "\n", ""};
}

const PropertyDictionary* dictionaryAt(const PropertyDictionary& dict, const std::string& key) {
  const PropertyValue* value = dict.find(key);
  if (value == nullptr) return nullptr;
  const auto* nested = std::get_if<std::shared_ptr<const PropertyDictionary>>(value);
  return nested != nullptr ? nested->get() : nullptr;
}

const std::string* textAt(const PropertyDictionary* dict, const std::string& key) {
  if (dict == nullptr) return nullptr;
  const PropertyValue* value = dict->find(key);
  return value != nullptr ? std::get_if<std::string>(value) : nullptr;
}

std::optional<Instant> dateIn(media::DateText& dates, const PropertyDictionary& props,
                              const std::string& dictKey, const std::string& dateKey) {
  const std::string* text = textAt(dictionaryAt(props, dictKey), dateKey);
  return text != nullptr ? parseExifDate(dates, *text) : std::nullopt;
}

std::optional<Outcome> imageAttempt(const Context& context, Platform& platform) {
  const std::optional<PropertyDictionary> props = platform.images.copyPropertiesOfFirstImage(context.url);
  if (!props) return std::nullopt;
  if (auto date = dateIn(platform.dates, *props, media::kExifDictionaryKey, media::kExifDateTimeOriginalKey)) {
    return printDate(context, *date, "image_exif_original");
  }
  if (auto date = dateIn(platform.dates, *props, media::kTiffDictionaryKey, media::kTiffDateTimeKey)) {
    return printDate(context, *date, "image_tiff_datetime");
  }
  return std::nullopt;
}

// The common key when there is one, else the item's own key if it is text.
const std::string* effectiveKey(const MetadataItem& item) {
  if (item.commonKey) return &*item.commonKey;
  return std::get_if<std::string>(&item.key);
}

std::optional<Instant> itemDate(media::DateText& dates, const MetadataItem& item) {
  if (item.dateValue) return item.dateValue;
  if (!item.stringValue) return std::nullopt;
  for (std::string_view pattern : videoDateFormats) {
    if (auto date = dates.parse(*item.stringValue, pattern)) return date;
  }
  return std::nullopt;
}

std::optional<Outcome> videoAttempt(const Context& context, Platform& platform) {
  const media::VideoMetadata metadata = platform.videos.readMetadata(context.url);
  for (const auto* list : {&metadata.commonMetadata, &metadata.metadata}) {
    for (const MetadataItem& item : *list) {
      const std::string* key = effectiveKey(item);
      if (key == nullptr || !contains(creationDateKeys, *key)) continue;
      if (auto date = itemDate(platform.dates, item)) return printDate(context, *date, "video_metadata");
    }
  }
  return std::nullopt;
}

}  // namespace

std::string pathExtension(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "";
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

std::optional<Instant> parseExifDate(media::DateText& dates, std::string_view text) {
  return dates.parse(text, imageDateFormat);
}

Outcome run(const std::vector<std::string>& args, Platform& platform) {
  if (args.size() != 2) return printUsage();
  const Context context{args[1], pathExtension(args[1]), platform.dates};
  if (contains(imageExtensions, context.ext)) {
    if (auto done = imageAttempt(context, platform)) return *done;
  }
  if (!contains(videoExtensions, context.ext)) return {};
  if (auto done = videoAttempt(context, platform)) return *done;
  return {};
}

}  // namespace quenby
