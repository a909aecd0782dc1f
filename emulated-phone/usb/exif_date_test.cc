#include "exif_date.h"

#include <gtest/gtest.h>

#include "fake_tree_fs.h"
#include "ptp_wire.h"

namespace emulated_phone::usb {
namespace {

// A JPEG of nothing but an Exif block: IFD0 points at the Exif IFD, which
// holds DateTimeOriginal.
std::string jpegWithDate(const std::string& date) {
  Dataset tiff;
  tiff.bytes(std::string("II*\0", 4)).u32(8);
  tiff.u16(1).u16(0x8769).u16(4).u32(1).u32(26).u32(0);                  // IFD0 at 8
  tiff.u16(1).u16(0x9003).u16(2).u32(20).u32(44).u32(0).bytes(date + '\0');  // Exif IFD at 26
  const std::string app1 = std::string("Exif\0\0", 6) + tiff.data();
  std::string jpeg = "\xFF\xD8\xFF\xE1";
  jpeg.push_back(static_cast<char>((app1.size() + 2) >> 8));
  jpeg.push_back(static_cast<char>((app1.size() + 2) & 0xFF));
  return jpeg + app1 + "\xFF\xD9";
}

TEST(ExifDateTest, DateTimeOriginalOfAPhotoAndNothingElse) {
  TextFile photo(jpegWithDate("2023:05:01 12:34:56"));
  EXPECT_EQ(exifDateTimeOriginal(photo), "2023:05:01 12:34:56");
  TextFile text("not a photo");
  EXPECT_EQ(exifDateTimeOriginal(text), std::nullopt);
  TextFile cut(jpegWithDate("2023:05:01 12:34:56").substr(0, 30));
  EXPECT_EQ(exifDateTimeOriginal(cut), std::nullopt);
}

}  // namespace
}  // namespace emulated_phone::usb
