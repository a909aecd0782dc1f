// A photo's own capture date, as the phone takes it for ObjectInfo's
// CaptureDate: Exif DateTimeOriginal, read with exiv2 (JPEG, HEIC, PNG,
// TIFF, DNG).
#pragma once

#include <optional>
#include <string>

#include "file_system.h"

namespace emulated_phone::usb {

// Largest photo read into memory to look for its date.
constexpr uint64_t kMaxExifScanBytes = 64u << 20;

// DateTimeOriginal as written ("YYYY:MM:DD HH:MM:SS"), or nothing.
std::optional<std::string> exifDateTimeOriginal(OpenFile& file);

}  // namespace emulated_phone::usb
