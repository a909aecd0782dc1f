// Finds the Exif block of a HEIF/HEIC image: the `Exif` item that describes
// (`cdsc` reference) the primary item (`pitm`), located through `iinf` and
// `iloc`.
#pragma once

#include <optional>

#include "byte_source.h"

namespace media {

// Largest Exif item read into memory.
inline constexpr std::uint64_t kMaxExifItemBytes = 4u << 20;

// The TIFF structure of the primary image's Exif item (the bytes after the
// item's leading 4-byte offset and whatever that offset skips), or nothing.
std::optional<Bytes> findHeicExifTiff(ByteSource& source);

// True when the source starts with an ISO-BMFF `ftyp` box.
bool looksLikeIsoBmff(ByteSource& source);

}  // namespace media
