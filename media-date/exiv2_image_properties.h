// Image properties of JPEG, PNG, TIFF and DNG files read with exiv2. HEIF/HEIC
// files (any file that starts with an ISO-BMFF `ftyp` box) have their Exif
// item located by our own box reader and only its TIFF block decoded by
// exiv2. Only the two dates the program looks for are carried over.
#pragma once

#include "byte_source.h"
#include "platform.h"

namespace media {

class Exiv2ImagePropertyReader final : public ImagePropertyReader {
 public:
  Exiv2ImagePropertyReader();
  std::optional<PropertyDictionary> copyPropertiesOfFirstImage(const std::string& path) override;
};

// The properties made from a decoded TIFF/Exif block, or nothing when it does
// not decode. Exposed for tests and the fuzzer.
std::optional<PropertyDictionary> propertiesFromExifTiff(const Bytes& tiff);

}  // namespace media
