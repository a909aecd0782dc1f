#include "jpeg_exif.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace media {
namespace {

using namespace std::literals;

const fixtures::ExifDates kDates{"2023:07:14 08:15:30", "2023:07:14 08:15:31"};

std::optional<Bytes> exifOf(const Bytes& file) {
  SpanByteSource src(file);
  return findJpegExifTiff(src);
}

// A marker segment whose length field counts itself and `payload`, or is
// `length` when given.
Bytes segment(std::uint8_t marker, const Bytes& payload, std::optional<std::uint16_t> length = {}) {
  Bytes out = {0xFF, marker};
  fixtures::putU16(out, length.value_or(static_cast<std::uint16_t>(payload.size() + 2)));
  fixtures::append(out, payload);
  return out;
}

Bytes exifSegment(const Bytes& tiff) {
  return segment(0xE1, fixtures::concat({fixtures::bytesOf("Exif\0\0"sv), tiff}));
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kSos = {0xFF, 0xDA, 0x00, 0x02};

TEST(JpegExifTest, FindsTheFirstExifSegmentBeforeTheImageData) {
  const Bytes tiff = fixtures::exifTiff(kDates);
  EXPECT_EQ(exifOf(fixtures::jpeg(kDates)), tiff);
  // JFIF first, an XMP APP1, fill bytes and a standalone marker on the way;
  // a second Exif segment is not looked at.
  const Bytes xmp = segment(0xE1, fixtures::bytesOf("http://ns.adobe.com/xap/1.0/\0<x/>"sv));
  EXPECT_EQ(exifOf(fixtures::concat({kSoi, segment(0xE0, fixtures::bytesOf("JFIF")), xmp,
                                     {0xFF, 0xFF, 0xFF, 0xD0}, exifSegment(tiff),
                                     exifSegment(fixtures::exifTiff({"2001:01:01 00:00:00", {}})), kSos})),
            tiff);
  // Whatever follows the Exif segment is not read: cut, or a length past the end.
  const Bytes cutIcc = segment(0xE2, fixtures::bytesOf("ICC_PROFILE\0\x01\x01"sv), 3000);
  EXPECT_EQ(exifOf(fixtures::concat({kSoi, exifSegment(tiff), cutIcc})), tiff);
  EXPECT_EQ(exifOf(fixtures::concat({kSoi, exifSegment(tiff), {0xFF, 0xDB, 0xFF}})), tiff);
  EXPECT_EQ(exifOf(fixtures::concat({kSoi, exifSegment({})})), Bytes{});
}

TEST(JpegExifTest, NothingWhenTheWayToTheExifSegmentIsBroken) {
  const Bytes exif = exifSegment(fixtures::exifTiff(kDates));
  const Bytes whole = fixtures::concat({kSoi, exif});
  EXPECT_FALSE(exifOf({}));
  EXPECT_FALSE(exifOf(fixtures::exifTiff(kDates)));               // not a JPEG
  EXPECT_FALSE(exifOf(Bytes(whole.begin(), whole.end() - 1)));    // Exif segment cut
  EXPECT_FALSE(exifOf(fixtures::concat({kSoi, segment(0xE0, Bytes(10, 0), 100), exif})));
  EXPECT_FALSE(exifOf(fixtures::concat({kSoi, segment(0xE0, {}, 1), exif})));  // length below 2
  EXPECT_FALSE(exifOf(fixtures::concat({kSoi, {0x00}, exif})));    // not a marker
  EXPECT_FALSE(exifOf(fixtures::concat({kSoi, kSos, exif})));      // after the image data
  EXPECT_FALSE(exifOf(fixtures::concat({kSoi, {0xFF, 0xD9}, exif})));
  EXPECT_FALSE(exifOf(fixtures::concat({kSoi, {0xFF, 0xFF}})));     // fill bytes to the end
}

}  // namespace
}  // namespace media
