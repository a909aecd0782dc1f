#include "heic_exif.h"

#include <gtest/gtest.h>

#include "box_reader.h"
#include "fixtures.h"

namespace media {
namespace {

const fixtures::ExifDates kDates{"2023:07:14 08:15:30", "2023:07:14 08:15:31"};

std::optional<Bytes> exifOf(const Bytes& file) {
  SpanByteSource src(file);
  return findHeicExifTiff(src);
}

TEST(HeicExifTest, FindsTheExifItemInEveryIlocLayout) {
  const Bytes expected = fixtures::exifTiff(kDates);
  std::vector<fixtures::HeicOptions> layouts;
  for (int version : {0, 1, 2}) {
    for (int offsetSize : {4, 8}) {
      for (int lengthSize : {4, 8}) {
        for (int baseSize : {0, 4, 8}) {
          fixtures::HeicOptions o;
          o.ilocVersion = version;
          o.offsetSize = offsetSize;
          o.lengthSize = lengthSize;
          o.baseOffsetSize = baseSize;
          layouts.push_back(o);
        }
      }
    }
  }
  fixtures::HeicOptions noOffsetField;  // extents at the base offset itself
  noOffsetField.offsetSize = 0;
  noOffsetField.baseOffsetSize = 4;
  fixtures::HeicOptions split;
  split.splitExif = true;
  split.ilocVersion = 1;
  fixtures::HeicOptions toEnd;  // length 0: the rest of the file
  toEnd.lengthSize = 0;
  fixtures::HeicOptions large;
  large.largeMdat = true;
  large.ilocVersion = 2;
  large.exifItemId = 70000;
  fixtures::HeicOptions bare;  // no "Exif\0\0" before the TIFF header
  bare.exifPrefix = false;
  fixtures::HeicOptions inIdat;  // construction method 1
  inIdat.ilocVersion = 1;
  inIdat.exifInIdat = true;
  fixtures::HeicOptions ilocFirst;  // children in another order
  ilocFirst.ilocFirst = true;
  for (const auto& o : {noOffsetField, split, toEnd, large, bare, inIdat, ilocFirst}) layouts.push_back(o);

  for (const fixtures::HeicOptions& o : layouts) {
    if (o.ilocVersion < 2 && o.exifItemId > 0xFFFF) continue;
    const auto tiff = exifOf(fixtures::heic(kDates, o));
    ASSERT_TRUE(tiff) << "version " << o.ilocVersion << " offset " << o.offsetSize << " length "
                      << o.lengthSize << " base " << o.baseOffsetSize;
    EXPECT_EQ(*tiff, expected);
  }
}

TEST(HeicExifTest, ExifNotDescribingThePrimaryItemIsNotUsed) {
  fixtures::HeicOptions o;
  o.linkExifToPrimary = false;
  EXPECT_FALSE(exifOf(fixtures::heic(kDates, o)));
}

TEST(HeicExifTest, NonHeifFilesAndBrokenFilesGiveNothing) {
  EXPECT_FALSE(exifOf(fixtures::jpeg(kDates)));
  EXPECT_FALSE(exifOf(fixtures::iphoneMov({{"com.apple.quicktime.creationdate", "x"}})));
  EXPECT_FALSE(exifOf({}));
  // Every truncation of a valid file: no crash, and nothing once the Exif
  // item's bytes are cut.
  const Bytes file = fixtures::heic(kDates);
  for (std::size_t n = 0; n < file.size(); ++n) {
    const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(exifOf(cut)) << n;
  }
}

// Rewrites the first occurrence of `from` in `file` with `to` (same length).
void patch(Bytes& file, const Bytes& from, const Bytes& to) {
  const auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
  ASSERT_NE(at, file.end());
  std::copy(to.begin(), to.end(), at);
}

TEST(HeicExifTest, ExtentsAndOffsetsOutsideTheFileGiveNothing) {
  fixtures::HeicOptions o;
  o.offsetSize = 8;
  o.lengthSize = 8;
  Bytes file = fixtures::heic(kDates, o);
  const Bytes exifItem = [] {
    Bytes b;
    fixtures::putU32(b, 6);
    fixtures::append(b, fixtures::bytesOf(std::string("Exif\0\0", 6)));
    return b;
  }();
  // The Exif item's length field holds the item size: make it enormous.
  Bytes length;
  fixtures::putU64(length, fixtures::exifTiff(kDates).size() + 10);
  Bytes hugeLength;
  fixtures::putU64(hugeLength, UINT64_MAX - 3);
  Bytes f1 = file;
  patch(f1, length, hugeLength);
  EXPECT_FALSE(exifOf(f1));

  // The 4-byte TIFF offset at the start of the item points past the item.
  Bytes f2 = file;
  patch(f2, exifItem, {0x7F, 0xFF, 0xFF, 0xFF, 'E', 'x', 'i', 'f', 0, 0});
  EXPECT_FALSE(exifOf(f2));
}

// An iloc extent: a 4-byte offset followed by a 4-byte length.
Bytes concat4(std::uint32_t offset, const Bytes& length) {
  Bytes out;
  fixtures::putU32(out, offset);
  fixtures::append(out, length);
  return out;
}

TEST(HeicExifTest, UnsupportedIlocFieldSizesAndConstructionGiveNothing) {
  fixtures::HeicOptions o;
  o.ilocVersion = 1;
  Bytes file = fixtures::heic(kDates, o);
  // iloc: version/flags, then the field-size bytes 0x44 0x00.
  Bytes f1 = file;
  patch(f1, {'i', 'l', 'o', 'c', 1, 0, 0, 0, 0x44}, {'i', 'l', 'o', 'c', 1, 0, 0, 0, 0x34});
  EXPECT_FALSE(exifOf(f1));
  // Construction method 1 reads from idat, and there is none here.
  Bytes f2 = file;
  patch(f2, {0x00, 0x02, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x02, 0x00, 0x01, 0x00, 0x00});
  EXPECT_FALSE(exifOf(f2));
  // Construction method 2 (item offsets) is not supported.
  Bytes f3 = file;
  patch(f3, {0x00, 0x02, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x02, 0x00, 0x02, 0x00, 0x00});
  EXPECT_FALSE(exifOf(f3));
  // An idat item whose extent runs past the idat box.
  fixtures::HeicOptions idat;
  idat.ilocVersion = 1;
  idat.exifInIdat = true;
  Bytes f4 = fixtures::heic(kDates, idat);
  Bytes exifLength;
  fixtures::putU32(exifLength, static_cast<std::uint32_t>(fixtures::exifTiff(kDates).size() + 10));
  Bytes longer;
  fixtures::putU32(longer, static_cast<std::uint32_t>(fixtures::exifTiff(kDates).size() + 11));
  patch(f4, concat4(0, exifLength), concat4(0, longer));
  EXPECT_FALSE(exifOf(f4));
}

}  // namespace
}  // namespace media
