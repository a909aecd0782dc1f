#include "media_files.h"

#include <gtest/gtest.h>

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

TEST(MediaFiles, DateTextIsUtcWithWholeSeconds) {
  using namespace std::chrono;
  sys_seconds t = sys_days{year{2024} / 5 / 1} + hours{10} + minutes{2} + seconds{3};
  EXPECT_EQ(iso8601DateText(t), "2024-05-01T10:02:03Z");
  EXPECT_EQ(iso8601DateText(t + milliseconds(999)), "2024-05-01T10:02:03Z");
  EXPECT_EQ(iso8601DateText(system_clock::time_point{}), "1970-01-01T00:00:00Z");
  // Before the epoch, fractions go down to the earlier second.
  EXPECT_EQ(iso8601DateText(system_clock::time_point{} - milliseconds(500)),
            "1969-12-31T23:59:59Z");
  EXPECT_EQ(iso8601DateText(t).size(), 20u);
}

}  // namespace
}  // namespace tarnwick
