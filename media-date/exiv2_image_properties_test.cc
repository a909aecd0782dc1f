#include "exiv2_image_properties.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "fixtures.h"

namespace media {
namespace {

class ImagePropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quenby-props-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const fixtures::Bytes& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
    return path;
  }

  // "exif|tiff" dates found, "-" for a missing one; "none" without properties.
  std::string datesOf(const std::string& path) {
    const auto props = reader_.copyPropertiesOfFirstImage(path);
    if (!props) return "none";
    auto text = [&](const std::string& dictKey, const std::string& key) -> std::string {
      const PropertyValue* d = props->find(dictKey);
      if (!d) return "-";
      const auto& dict = std::get<std::shared_ptr<const PropertyDictionary>>(*d);
      const PropertyValue* v = dict->find(key);
      if (!v) return "-";
      if (const auto* s = std::get_if<std::string>(v)) return *s;
      return "(not text)";
    };
    return text(kExifDictionaryKey, kExifDateTimeOriginalKey) + "|" + text(kTiffDictionaryKey, kTiffDateTimeKey);
  }

  std::string dir_;
  Exiv2ImagePropertyReader reader_;
};

const fixtures::ExifDates kBoth{"2023:05:01 12:00:00", "2023:05:01 12:00:05"};
const std::string kBothDates = "2023:05:01 12:00:00|2023:05:01 12:00:05";

TEST_F(ImagePropertiesTest, ReadsBothDatesFromEveryStillFormat) {
  fixtures::ExifDates little = kBoth;
  little.bigEndian = false;
  EXPECT_EQ(datesOf(write("a.jpg", fixtures::jpeg(kBoth))), kBothDates);
  EXPECT_EQ(datesOf(write("b.png", fixtures::png(kBoth))), kBothDates);
  EXPECT_EQ(datesOf(write("c.png", fixtures::png(kBoth, fixtures::PngExif::rawProfileText))), kBothDates);
  EXPECT_EQ(datesOf(write("d.tif", fixtures::tiffImage(little))), kBothDates);
  EXPECT_EQ(datesOf(write("e.tiff", fixtures::tiffImage(kBoth))), kBothDates);
  EXPECT_EQ(datesOf(write("f.dng", fixtures::dng(little))), kBothDates);
  EXPECT_EQ(datesOf(write("g.heic", fixtures::heic(kBoth))), kBothDates);
  fixtures::HeicOptions wide;
  wide.ilocVersion = 2;
  wide.offsetSize = 8;
  wide.largeMdat = true;
  EXPECT_EQ(datesOf(write("h.heif", fixtures::heic(kBoth, wide))), kBothDates);
}

TEST_F(ImagePropertiesTest, MissingDatesAndMissingExif) {
  EXPECT_EQ(datesOf(write("a.jpg", fixtures::jpeg({std::nullopt, "2022:12:24 18:30:00"}))),
            "-|2022:12:24 18:30:00");
  EXPECT_EQ(datesOf(write("b.png", fixtures::png(kBoth, fixtures::PngExif::none))), "-|-");
  EXPECT_EQ(datesOf(dir_ + "/missing.jpg"), "none");
  EXPECT_EQ(datesOf(dir_), "none");
}

TEST_F(ImagePropertiesTest, ContentDecidesTheFormatNotTheName) {
  EXPECT_EQ(datesOf(write("photo.heic", fixtures::jpeg(kBoth))), kBothDates);
  EXPECT_EQ(datesOf(write("photo.jpg", fixtures::heic(kBoth))), kBothDates);
  const std::string movie = datesOf(write("movie.jpg", fixtures::iphoneMov({{"com.apple.quicktime.creationdate", "x"}})));
  EXPECT_TRUE(movie == "none" || movie == "-|-") << movie;
  EXPECT_EQ(datesOf(write("text.jpg", fixtures::bytesOf("not an image at all"))), "none");
  // exiv2 opens metadata-only files too, and turns a sidecar's XMP dates into
  // Exif: neither is a picture.
  const std::string xmp =
      "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>"
      "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
      "<rdf:Description rdf:about='' xmlns:exif='http://ns.adobe.com/exif/1.0/' xmlns:xmp='http://ns.adobe.com/xap/1.0/'>"
      "<exif:DateTimeOriginal>2023-05-01T12:00:00</exif:DateTimeOriginal>"
      "<xmp:ModifyDate>2023-05-01T12:00:05</xmp:ModifyDate>"
      "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
  EXPECT_EQ(datesOf(write("sidecar.jpg", fixtures::bytesOf(xmp))), "none");
  const fixtures::Bytes jpeg = fixtures::jpeg(kBoth);
  fixtures::Bytes exv = fixtures::bytesOf("\xFF\x01" "Exiv2");
  exv.insert(exv.end(), jpeg.begin() + 2, jpeg.end());
  EXPECT_EQ(datesOf(write("metadata.tif", exv)), "none");
  EXPECT_EQ(datesOf(write("empty.png", {})), "none");
}

TEST_F(ImagePropertiesTest, PathsThatLookLikeUrlsAreReadAsLocalFiles) {
  // "http://127.0.0.1:9/x.jpg" names the file http:/127.0.0.1:9/x.jpg below
  // the current directory; nothing is fetched.
  std::filesystem::create_directories(dir_ + "/http:/127.0.0.1:9");
  write("http:/127.0.0.1:9/x.jpg", fixtures::jpeg(kBoth));
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  const std::string dates = datesOf("http://127.0.0.1:9/x.jpg");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(dates, kBothDates);
}

TEST_F(ImagePropertiesTest, TruncatedFilesNeverCrash) {
  for (const auto& [name, file] : std::vector<std::pair<std::string, fixtures::Bytes>>{
           {"t.jpg", fixtures::jpeg(kBoth)}, {"t.png", fixtures::png(kBoth)}, {"t.tif", fixtures::tiffImage(kBoth)},
           {"t.heic", fixtures::heic(kBoth)}}) {
    for (std::size_t n = 0; n < file.size(); n += 7) {
      const std::string path = write(name, fixtures::Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
      const std::string dates = datesOf(path);
      EXPECT_TRUE(dates == "none" || dates.find('|') != std::string::npos) << name << " " << n;
    }
  }
}

// The fixture JPEG cut or damaged right after its Exif segment: `after`
// replaces everything that follows it.
fixtures::Bytes jpegWithAfterExif(const fixtures::ExifDates& dates, const fixtures::Bytes& after) {
  const fixtures::Bytes whole = fixtures::jpeg(dates);
  const std::size_t exifEnd = 4 + (std::size_t{whole[4]} << 8 | whole[5]);
  return fixtures::concat({fixtures::Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(exifEnd)), after});
}

TEST_F(ImagePropertiesTest, JpegKeepsItsExifWhenALaterSegmentIsCutOrDamaged) {
  // A camera file cut inside its ICC profile, and a table whose length runs
  // past the end: exiv2 throws on both after it has decoded the Exif block.
  fixtures::Bytes cutIcc = {0xFF, 0xE2, 0x0B, 0xB8};
  fixtures::append(cutIcc, fixtures::bytesOf(std::string_view("ICC_PROFILE\0\x01\x01", 14)));
  cutIcc.resize(400, 0x20);
  EXPECT_EQ(datesOf(write("cut.jpg", jpegWithAfterExif(kBoth, cutIcc))), kBothDates);
  EXPECT_EQ(datesOf(write("dqt.jpg", jpegWithAfterExif(kBoth, {0xFF, 0xDB, 0xFF, 0xFF, 0, 1}))), kBothDates);
  EXPECT_EQ(datesOf(write("tiff.jpg", jpegWithAfterExif({std::nullopt, "2022:12:24 18:30:00"}, cutIcc))),
            "-|2022:12:24 18:30:00");
  // A damaged Exif block itself still gives nothing.
  const fixtures::Bytes jpeg = fixtures::jpeg(kBoth);
  EXPECT_EQ(datesOf(write("exif.jpg", fixtures::Bytes(jpeg.begin(), jpeg.begin() + 40))), "none");
  fixtures::Bytes garbage = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x14};
  fixtures::append(garbage, fixtures::bytesOf(std::string_view("Exif\0\0XX*\0garbage!", 18)));
  fixtures::append(garbage, cutIcc);
  EXPECT_EQ(datesOf(write("garbage.jpg", garbage)), "none");
}

TEST_F(ImagePropertiesTest, ExifBlockDecodingRejectsGarbage) {
  EXPECT_FALSE(propertiesFromExifTiff({}));
  EXPECT_FALSE(propertiesFromExifTiff(fixtures::bytesOf("XX*\0garbage")));
  const auto good = propertiesFromExifTiff(fixtures::exifTiff(kBoth));
  ASSERT_TRUE(good);
  EXPECT_TRUE(good->find(kExifDictionaryKey));
}

}  // namespace
}  // namespace media
