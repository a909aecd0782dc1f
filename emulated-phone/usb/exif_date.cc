#include "exif_date.h"

#include <exiv2/exiv2.hpp>

#include <mutex>

namespace emulated_phone::usb {

std::optional<std::string> exifDateTimeOriginal(OpenFile& file) {
  static std::once_flag setup;
  std::call_once(setup, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::enableBMFF(true);  // HEIC
  });
  const uint64_t size = file.size();
  if (size == 0 || size > kMaxExifScanBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (file.readAt(bytes.data(), bytes.size(), 0) != static_cast<int64_t>(bytes.size())) return std::nullopt;
  const auto* data = reinterpret_cast<const Exiv2::byte*>(bytes.data());
  try {
    // Asked first: exiv2's exception for an unknown type costs milliseconds.
    if (Exiv2::ImageFactory::getType(data, static_cast<long>(bytes.size())) == Exiv2::ImageType::none)
      return std::nullopt;
    auto image = Exiv2::ImageFactory::open(data, static_cast<long>(bytes.size()));
    if (image.get() == nullptr) return std::nullopt;
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    auto it = exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal"));
    if (it == exif.end() || it->typeId() != Exiv2::asciiString) return std::nullopt;
    return it->toString();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace emulated_phone::usb
