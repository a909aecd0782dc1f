#include "quenby.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "icu_date_text.h"

namespace quenby {
namespace {

using media::FakeImagePropertyReader;
using media::FakeVideoMetadataReader;
using media::MetadataItem;
using media::PropertyDictionary;

const std::string kCommonCreationDate(media::kCommonKeyCreationDate);

std::shared_ptr<const PropertyDictionary> dict(std::map<std::string, media::PropertyValue> entries) {
  auto d = std::make_shared<PropertyDictionary>();
  d->entries = std::move(entries);
  return d;
}

PropertyDictionary imageProps(std::optional<media::PropertyValue> exifDate,
                              std::optional<media::PropertyValue> tiffDate) {
  PropertyDictionary props;
  if (exifDate) props.entries[media::kExifDictionaryKey] = dict({{media::kExifDateTimeOriginalKey, *exifDate}});
  if (tiffDate) props.entries[media::kTiffDictionaryKey] = dict({{media::kTiffDateTimeKey, *tiffDate}});
  return props;
}

MetadataItem textItem(std::optional<std::string> commonKey, media::ItemKey key, std::string value) {
  MetadataItem item;
  item.commonKey = std::move(commonKey);
  item.key = std::move(key);
  item.stringValue = std::move(value);
  return item;
}

class QuenbyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz) savedTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (savedTz_) setenv("TZ", savedTz_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

  Outcome runOn(const std::string& path) { return run({"Quenby", path}, platform_); }

  FakeImagePropertyReader images_;
  FakeVideoMetadataReader videos_;
  media::IcuDateText dates_;
  Platform platform_{images_, videos_, dates_};
  std::optional<std::string> savedTz_;
};

TEST_F(QuenbyTest, WrongArgumentCountWritesUsageOnlyAndTouchesNothing) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"Quenby"}, {"Quenby", "a.jpg", "b.jpg"}}) {
    const Outcome o = run(args, platform_);
    EXPECT_EQ(o.status, 64);
    EXPECT_EQ(o.err, "Usage: Quenby /path/to/media\n");
    EXPECT_EQ(o.out, "");
  }
  EXPECT_TRUE(images_.opened.empty());
  EXPECT_TRUE(videos_.opened.empty());
}

TEST_F(QuenbyTest, ExtensionIsCutFromTheLastComponentAndLowerCased) {
  EXPECT_EQ(pathExtension("IMG_0001.HEIC"), "heic");
  EXPECT_EQ(pathExtension("/a.b/clip.MOV"), "mov");
  EXPECT_EQ(pathExtension("/a.jpg/noext"), "");
  EXPECT_EQ(pathExtension("archive.tar.GZ"), "gz");
  EXPECT_EQ(pathExtension("trailing."), "");
  EXPECT_EQ(pathExtension("dir/photo.JPG/"), "jpg");
  EXPECT_EQ(pathExtension(""), "");
}

TEST_F(QuenbyTest, FilesOutsideBothListsAreNeverOpened) {
  images_.result = imageProps(std::string("2023:05:01 12:00:00"), std::nullopt);
  for (const char* path : {"/tmp/noext", "/tmp/a.txt", "/tmp/a.gif", "/tmp/a.jpg.bak", "/tmp/a.JPGX"}) {
    const Outcome o = runOn(path);
    EXPECT_EQ(o.status, 1) << path;
    EXPECT_EQ(o.out + o.err, "") << path;
  }
  EXPECT_TRUE(images_.opened.empty());
  EXPECT_TRUE(videos_.opened.empty());
}

TEST_F(QuenbyTest, UpperCaseImageExtensionIsReadAsImage) {
  images_.result = imageProps(std::string("2023:05:01 12:00:00"), std::nullopt);
  const Outcome o = runOn("IMG_0001.HEIC");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "image_exif_original: 2023-05-01 12:00:00\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(images_.opened, std::vector<std::string>{"IMG_0001.HEIC"});
}

TEST_F(QuenbyTest, ExifDateWinsOverTiffDate) {
  images_.result = imageProps(std::string("2023:05:01 12:00:00"), std::string("2020:01:01 00:00:00"));
  EXPECT_EQ(runOn("a.jpg").out, "image_exif_original: 2023-05-01 12:00:00\n");
}

TEST_F(QuenbyTest, UnusableExifDateFallsBackToTiffDate) {
  const std::vector<std::optional<media::PropertyValue>> badExif = {
      std::nullopt, std::string(""), std::string("0000:00:00 00:00:00"), std::string("2023-05-01 12:00:00"),
      std::string("2023:05:01 12:00:00 junk"), std::int64_t{20230501}};
  for (const auto& exif : badExif) {
    images_.result = imageProps(exif, std::string("2022:12:24 18:30:00"));
    const Outcome o = runOn("a.tif");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "image_tiff_datetime: 2022-12-24 18:30:00\n");
  }
}

TEST_F(QuenbyTest, SubDictionaryOfTheWrongTypeCountsAsAbsent) {
  PropertyDictionary props;
  props.entries[media::kExifDictionaryKey] = std::string("2023:05:01 12:00:00");
  props.entries[media::kTiffDictionaryKey] = std::int64_t{7};
  images_.result = props;
  EXPECT_EQ(runOn("a.png").status, 1);
}

TEST_F(QuenbyTest, ImageWithoutUsableDateEndsWithoutVideoReading) {
  MetadataItem item = textItem(kCommonCreationDate, std::monostate{}, "2023-05-01 12:00:00");
  videos_.result.commonMetadata = {item};
  for (const std::optional<PropertyDictionary>& props :
       {std::optional<PropertyDictionary>{}, std::optional(PropertyDictionary{}),
        std::optional(imageProps(std::string("bad"), std::string("worse")))}) {
    images_.result = props;
    const Outcome o = runOn("IMG_0002.heic");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out + o.err, "");
  }
  EXPECT_TRUE(videos_.opened.empty());
}

TEST_F(QuenbyTest, ImageDateIsReadInTheMachinesZone) {
  images_.result = imageProps(std::string("2023:05:01 12:00:00"), std::nullopt);
  setenv("TZ", "<+03>-3", 1);  // a fixed UTC+03:00 zone
  EXPECT_EQ(runOn("a.jpeg").out, "image_exif_original: 2023-05-01 09:00:00\n");
  setenv("TZ", "UTC", 1);
  EXPECT_EQ(runOn("a.jpeg").out, "image_exif_original: 2023-05-01 12:00:00\n");
}

TEST_F(QuenbyTest, VideoTextDatesInEachPattern) {
  setenv("TZ", "America/New_York", 1);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2023-06-10T18:30:00+0200", "2023-06-10 16:30:00"},
      {"2023-06-10T18:30:00.250+0200", "2023-06-10 16:30:00"},
      {"2023-06-10 18:30:00", "2023-06-10 22:30:00"},  // local, EDT
  };
  for (const auto& [text, expected] : cases) {
    videos_.result.metadata = {textItem(std::nullopt, std::string("com.apple.quicktime.creationdate"), text)};
    const Outcome o = runOn("clip.MOV");
    EXPECT_EQ(o.status, 0) << text;
    EXPECT_EQ(o.out, "video_metadata: " + expected + "\n") << text;
  }
}

TEST_F(QuenbyTest, CommonItemsComeBeforeFormatItems) {
  videos_.result.metadata = {textItem(std::nullopt, std::string("com.apple.quicktime.creationdate"),
                                      "2001-01-01 00:00:00")};
  videos_.result.commonMetadata = {textItem(kCommonCreationDate, std::monostate{},
                                            "2002-02-02 02:02:02")};
  EXPECT_EQ(runOn("a.mp4").out, "video_metadata: 2002-02-02 02:02:02\n");
}

TEST_F(QuenbyTest, DateValueWinsOverTextValue) {
  MetadataItem item = textItem(std::nullopt, std::string("creationDate"), "2001-01-01 00:00:00");
  item.dateValue = Instant(std::chrono::seconds(1700000000) + std::chrono::milliseconds(999));
  videos_.result.metadata = {item};
  EXPECT_EQ(runOn("a.m4v").out, "video_metadata: 2023-11-14 22:13:20\n");
}

TEST_F(QuenbyTest, QualifyingItemWithoutUsableDateDoesNotStopTheSearch) {
  MetadataItem noValue;
  noValue.commonKey = kCommonCreationDate;
  videos_.result.commonMetadata = {
      noValue,
      textItem(kCommonCreationDate, std::monostate{}, "yesterday"),
      textItem(kCommonCreationDate, std::monostate{}, "2023-06-10T18:30:00+0200 "),
  };
  EXPECT_EQ(runOn("a.mov").out, "video_metadata: 2023-06-10 16:30:00\n");
}

TEST_F(QuenbyTest, CommonKeyDecidesEvenWhenTheOwnKeyWouldQualify) {
  videos_.result.commonMetadata = {
      textItem(std::string("make"), std::string("com.apple.quicktime.creationdate"), "2001-01-01 00:00:00")};
  videos_.result.metadata = {
      textItem(std::nullopt, std::uint32_t{4}, "2002-02-02 00:00:00"),  // a numeric key counts as absent
      textItem(std::nullopt, std::string("com.apple.quicktime.creationDate"), "2003-03-03 00:00:00"),
      textItem(std::nullopt, std::string("\xC2\xA9" "day"), "2004-04-04 00:00:00"),
  };
  const Outcome o = runOn("a.mov");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out + o.err, "");
}

TEST_F(QuenbyTest, VideoWithoutMetadataFailsSilently) {
  const Outcome o = runOn("/nonexistent/clip.mp4");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_TRUE(images_.opened.empty());
}

}  // namespace
}  // namespace quenby
