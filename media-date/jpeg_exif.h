// Finds the Exif block of a JPEG file with a bounds-checked walk over its
// marker segments, for files that exiv2 gives up on because of a damaged or
// cut segment after the Exif one.
#pragma once

#include <optional>

#include "byte_source.h"

namespace media {

// The TIFF structure of the first APP1 segment that starts with "Exif\0\0"
// (the bytes after that prefix), or nothing when the source is not a JPEG,
// has no such segment before its image data, or a segment before it is
// malformed or runs past the end of the file.
std::optional<Bytes> findJpegExifTiff(ByteSource& source);

}  // namespace media
