#include "media_files.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tarnwick {
namespace {

TEST(MediaFiles, ExtensionIsCutFromTheLastComponentAfterTheLastDot) {
  EXPECT_EQ(pathExtension("IMG_0001.HEIC"), "HEIC");
  EXPECT_EQ(pathExtension("a.b.c.mov"), "mov");
  EXPECT_EQ(pathExtension("noext"), "");
  EXPECT_EQ(pathExtension("trailing."), "");
  EXPECT_EQ(pathExtension(".heic"), "");
  EXPECT_EQ(pathExtension("dir.jpg/file"), "");
  EXPECT_EQ(pathExtension("dir/file.JPG"), "JPG");
  EXPECT_EQ(pathExtension("file.png/"), "png");
  EXPECT_EQ(pathExtension(""), "");
}

TEST(MediaFiles, MembershipIsExactAfterLowerCasing) {
  for (const char* name : {"IMG_0001.HEIC", "a.heif", "a.JpG", "a.jpeg", "a.PNG", "a.dng",
                           "a.tif", "a.TIFF", "a.mov", "a.MP4", "a.m4v"})
    EXPECT_TRUE(isMediaName(name)) << name;
  for (const char* name : {"IMG_0001.AAE", "IMG_0001", "a.jpgx", "a.jp", "a. jpg", "a.heic ",
                           ".jpg", "a.", "a.gif"})
    EXPECT_FALSE(isMediaName(name)) << name;
  EXPECT_EQ(supportedExtensions().size(), 11u);
}

TEST(MediaFiles, DateTextIsUtcWithWholeSecondsForAnySecondCount) {
  using namespace std::chrono;
  sys_seconds t = sys_days{year{2024} / 5 / 1} + hours{10} + minutes{2} + seconds{3};
  EXPECT_EQ(iso8601DateText(t), "2024-05-01T10:02:03Z");
  EXPECT_EQ(iso8601DateText(sys_seconds{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601DateText(sys_seconds{seconds{-1}}), "1969-12-31T23:59:59Z");
  // Outside what a nanosecond clock holds (1677-2262).
  EXPECT_EQ(iso8601DateText(sys_days{year{2300} / 1 / 1}), "2300-01-01T00:00:00Z");
  EXPECT_EQ(iso8601DateText(sys_days{year{1600} / 2 / 29} + hours{23}), "1600-02-29T23:00:00Z");
  EXPECT_EQ(iso8601DateText(sys_days{year{9999} / 12 / 31} + seconds{86399}), "9999-12-31T23:59:59Z");
  EXPECT_EQ(iso8601DateText(sys_seconds{seconds{253402300800}}), "10000-01-01T00:00:00Z");
  EXPECT_EQ(iso8601DateText(sys_seconds{seconds{-62167219200}}), "0000-01-01T00:00:00Z");
  EXPECT_EQ(iso8601DateText(sys_seconds{seconds{-62167219201}}), "-0001-12-31T23:59:59Z");
  // The ends of the range are written, not overflowed.
  EXPECT_EQ(iso8601DateText(sys_seconds{seconds{INT64_MAX}}), "292277026596-12-04T15:30:07Z");
  EXPECT_EQ(iso8601DateText(sys_seconds{seconds{INT64_MIN}}), "-292277022657-01-27T08:29:52Z");
}

}  // namespace
}  // namespace tarnwick
