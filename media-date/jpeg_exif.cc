#include "jpeg_exif.h"

#include <array>

#include "box_reader.h"

namespace media {
namespace {

constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kStartOfScan = 0xDA;
constexpr std::uint8_t kApp1 = 0xE1;
constexpr std::array<std::uint8_t, 6> kExifPrefix = {'E', 'x', 'i', 'f', 0, 0};

// Far more segments than any camera writes before its image data.
constexpr int kMaxSegments = 1 << 16;

// Markers that stand alone, without a length field: TEM and RST0-RST7.
bool standsAlone(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

}  // namespace

std::optional<Bytes> findJpegExifTiff(ByteSource& source) {
  std::array<std::uint8_t, 2> soi{};
  if (source.size() < soi.size() || !source.readAt(0, soi) || soi[0] != 0xFF ||
      soi[1] != kStartOfImage) {
    return std::nullopt;
  }
  std::uint64_t at = 2;
  for (int n = 0; n < kMaxSegments; ++n) {
    // A marker is 0xFF and a code, with any number of 0xFF fill bytes between.
    std::array<std::uint8_t, 1> byte{};
    if (!source.readAt(at, byte) || byte[0] != 0xFF) return std::nullopt;
    std::uint8_t marker = 0xFF;
    while (marker == 0xFF) {
      if (!source.readAt(++at, byte)) return std::nullopt;
      marker = byte[0];
    }
    ++at;  // past the code
    if (marker == kStartOfScan || marker == kEndOfImage || marker == kStartOfImage) {
      return std::nullopt;  // the image data starts: Exif comes before it
    }
    if (standsAlone(marker)) continue;
    std::array<std::uint8_t, 2> lengthField{};
    if (!source.readAt(at, lengthField)) return std::nullopt;
    const std::uint16_t length = ByteReader(lengthField).u16();  // counts itself
    if (length < 2 || length > source.size() - at) return std::nullopt;
    const std::uint64_t payload = at + 2;
    const std::uint64_t end = at + length;
    if (marker == kApp1 && end - payload >= kExifPrefix.size()) {
      std::array<std::uint8_t, kExifPrefix.size()> prefix{};
      if (!source.readAt(payload, prefix)) return std::nullopt;
      if (prefix == kExifPrefix) return readRange(source, payload + kExifPrefix.size(), end, length);
    }
    at = end;
  }
  return std::nullopt;
}

}  // namespace media
