// libFuzzer target: the ISO-BMFF box reader as Quenby uses it, over
// arbitrary bytes: movie metadata items and the HEIC Exif item location; and
// the JPEG marker walk to the Exif segment.
#include <cstddef>
#include <cstdint>
#include <span>

#include "box_video_metadata.h"
#include "byte_source.h"
#include "heic_exif.h"
#include "jpeg_exif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  media::SpanByteSource source(std::span<const std::uint8_t>(data, size));
  const media::VideoMetadata items = media::readBoxMetadata(source);
  // Every common item must also be among the format items.
  if (items.commonMetadata.size() > items.metadata.size()) __builtin_trap();
  if (media::looksLikeIsoBmff(source)) {
    const auto tiff = media::findHeicExifTiff(source);
    // Extents may repeat bytes, but the item stays within its cap.
    if (tiff && tiff->size() > media::kMaxExifItemBytes) __builtin_trap();
  }
  // An Exif segment holds at most 65535 - 2 - 6 bytes of TIFF.
  const auto jpegTiff = media::findJpegExifTiff(source);
  if (jpegTiff && jpegTiff->size() > 65527) __builtin_trap();
  return 0;
}
