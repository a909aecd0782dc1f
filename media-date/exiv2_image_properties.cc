#include "exiv2_image_properties.h"

#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>

#include "byte_source.h"
#include "heic_exif.h"
#include "jpeg_exif.h"

namespace media {
namespace {

// Text values become text; a date stored with any other Exif type becomes a
// number, which the program ignores, as a property of the wrong type.
void copyDate(const Exiv2::ExifData& exif, const char* exivKey, const std::string& name,
              PropertyDictionary& into) {
  const auto it = exif.findKey(Exiv2::ExifKey(exivKey));
  if (it == exif.end()) return;
  if (it->typeId() == Exiv2::asciiString) {
    into.entries[name] = it->toString();
  } else {
    into.entries[name] = std::int64_t{it->count() > 0 ? it->toLong(0) : 0};
  }
}

// The still-image formats read as pictures. exiv2 also opens containers of
// metadata alone (its own .exv files, XMP sidecars, whose XMP it turns into
// Exif) and movies; none of those is an image, whatever its name.
bool isStillImage(int type) {
  namespace T = Exiv2::ImageType;
  for (int still : {T::jpeg, T::crw, T::tiff, T::mrw, T::png, T::cr2, T::raf, T::orf, T::gif,
                    T::psd, T::tga, T::bmp, T::jp2, T::rw2, T::webp}) {
    if (type == still) return true;
  }
  return false;
}

bool hasGroup(const Exiv2::ExifData& exif, const std::string& group) {
  for (const Exiv2::Exifdatum& d : exif) {
    if (d.groupName() == group) return true;
  }
  return false;
}

PropertyDictionary propertiesOf(const Exiv2::ExifData& exif) {
  PropertyDictionary props;
  if (hasGroup(exif, "Photo")) {
    auto dict = std::make_shared<PropertyDictionary>();
    copyDate(exif, "Exif.Photo.DateTimeOriginal", kExifDateTimeOriginalKey, *dict);
    props.entries[kExifDictionaryKey] = std::shared_ptr<const PropertyDictionary>(dict);
  }
  if (hasGroup(exif, "Image")) {
    auto dict = std::make_shared<PropertyDictionary>();
    copyDate(exif, "Exif.Image.DateTime", kTiffDateTimeKey, *dict);
    props.entries[kTiffDictionaryKey] = std::shared_ptr<const PropertyDictionary>(dict);
  }
  return props;
}

}  // namespace

Exiv2ImagePropertyReader::Exiv2ImagePropertyReader() {
  // The program writes nothing but its result line.
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
}

std::optional<PropertyDictionary> propertiesFromExifTiff(const Bytes& tiff) {
  if (tiff.empty()) return std::nullopt;
  try {
    Exiv2::ExifData exif;
    if (Exiv2::ExifParser::decode(exif, tiff.data(), static_cast<uint32_t>(tiff.size())) ==
        Exiv2::invalidByteOrder) {
      return std::nullopt;
    }
    return propertiesOf(exif);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<PropertyDictionary> Exiv2ImagePropertyReader::copyPropertiesOfFirstImage(
    const std::string& path) {
  // Only regular files go on to exiv2, which opens the path again itself.
  const std::unique_ptr<FileByteSource> file = FileByteSource::open(path);
  if (!file) return std::nullopt;
  if (looksLikeIsoBmff(*file)) {
    const std::optional<Bytes> tiff = findHeicExifTiff(*file);
    if (!tiff) return PropertyDictionary{};
    return propertiesFromExifTiff(*tiff);
  }
  int type = Exiv2::ImageType::none;
  try {
    // Given a path, exiv2 reads names such as "http://..." or "data:..." as
    // URLs and fetches them; the file we checked is read as a plain file.
    auto image = Exiv2::ImageFactory::open(Exiv2::BasicIo::AutoPtr(new Exiv2::FileIo(path)));
    if (image.get() == nullptr || !isStillImage(image->imageType())) return std::nullopt;
    type = image->imageType();
    image->readMetadata();
    return propertiesOf(image->exifData());
  } catch (...) {
    // exiv2 drops everything when any segment is damaged or cut, even one
    // after the Exif block it has already decoded. A partly copied photo
    // keeps its date: a whole Exif segment is taken on its own.
    if (type != Exiv2::ImageType::jpeg) return std::nullopt;
  }
  const std::optional<Bytes> tiff = findJpegExifTiff(*file);
  if (!tiff) return std::nullopt;
  return propertiesFromExifTiff(*tiff);
}

}  // namespace media
