#include "box_video_metadata.h"

#include <gtest/gtest.h>

#include "box_reader.h"
#include "fixtures.h"

namespace media {
namespace {

using fixtures::box;
using fixtures::concat;
using fixtures::kCopyrightDay;

const std::string kUtf8Day = "\xC2\xA9" "day";

VideoMetadata read(const Bytes& file) {
  SpanByteSource src(file);
  return readBoxMetadata(src);
}

std::vector<std::string> keysOf(const std::vector<MetadataItem>& items) {
  std::vector<std::string> out;
  for (const MetadataItem& item : items) {
    if (const auto* text = std::get_if<std::string>(&item.key)) out.push_back(*text);
    else if (const auto* n = std::get_if<std::uint32_t>(&item.key)) out.push_back(std::string(1, '#').append(std::to_string(*n)));
    else out.push_back("-");
  }
  return out;
}

const std::vector<fixtures::MetaItem> kIphoneItems = {
    {"com.apple.quicktime.make", "Apple"},
    {"com.apple.quicktime.model", "iPhone 15 Pro"},
    {"com.apple.quicktime.creationdate", "2023-07-14T08:20:00+0200"},
};

void expectIphoneItems(const VideoMetadata& m) {
  ASSERT_EQ(m.commonMetadata.size(), 1u);
  EXPECT_EQ(m.commonMetadata[0].commonKey, "creationDate");
  EXPECT_EQ(m.commonMetadata[0].stringValue, "2023-07-14T08:20:00+0200");
  EXPECT_FALSE(m.commonMetadata[0].dateValue);  // stored as text
  EXPECT_EQ(keysOf(m.metadata), (std::vector<std::string>{"com.apple.quicktime.make", "com.apple.quicktime.model",
                                                          "com.apple.quicktime.creationdate"}));
  ASSERT_EQ(m.metadata.size(), 3u);
  EXPECT_EQ(m.metadata[1].stringValue, "iPhone 15 Pro");
  for (const MetadataItem& item : m.metadata) EXPECT_FALSE(item.commonKey);
}

TEST(BoxVideoMetadataTest, IphoneLayoutWithMoovAtTheEnd) {
  expectIphoneItems(read(fixtures::iphoneMov(kIphoneItems, 5000)));
}

TEST(BoxVideoMetadataTest, FfmpegMdtaLayoutUnderUserDataWithVersionAndFlags) {
  const Bytes file = concat({fixtures::ftyp("qt  ", {"qt  "}),
                             box("moov", concat({fixtures::mvhd(), box("udta", fixtures::ffmpegMdtaMeta(kIphoneItems))})),
                             box("mdat", Bytes(100, 0))});
  expectIphoneItems(read(file));
}

TEST(BoxVideoMetadataTest, SixtyFourBitMediaDataBeforeTheMovieIsSkipped) {
  const Bytes file = concat({fixtures::ftyp("qt  ", {"qt  "}), fixtures::box64("mdat", Bytes(3000, 0)),
                             box("moov", fixtures::iphoneMeta(kIphoneItems))});
  expectIphoneItems(read(file));
}

TEST(BoxVideoMetadataTest, UserDataAndItunesDaysAreCreationDateSources) {
  const VideoMetadata mov = read(fixtures::ffmpegMov("2019-11-02T10:00:00.500-0700"));
  ASSERT_EQ(mov.commonMetadata.size(), 1u);
  EXPECT_EQ(mov.commonMetadata[0].stringValue, "2019-11-02T10:00:00.500-0700");
  EXPECT_EQ(keysOf(mov.metadata), std::vector<std::string>{kUtf8Day});

  const VideoMetadata mp4 = read(fixtures::ffmpegMp4("2023-03-26T01:30:00Z"));
  ASSERT_EQ(mp4.commonMetadata.size(), 1u);
  EXPECT_EQ(mp4.commonMetadata[0].stringValue, "2023-03-26T01:30:00Z");
  EXPECT_EQ(keysOf(mp4.metadata), std::vector<std::string>{kUtf8Day});
}

TEST(BoxVideoMetadataTest, CommonItemsFollowFileOrderAcrossSources) {
  const Bytes moov = box("moov", concat({box("udta", concat({fixtures::udtaText(kCopyrightDay, "first"),
                                                             fixtures::udtaText("\xA9" "nam", "title")})),
                                         fixtures::iphoneMeta({{"com.apple.quicktime.creationdate", "second"}}),
                                         box("udta", fixtures::itunesMeta({{kCopyrightDay, "third"}}))}));
  const VideoMetadata m = read(concat({fixtures::ftyp("qt  ", {}), moov}));
  ASSERT_EQ(m.commonMetadata.size(), 3u);
  EXPECT_EQ(m.commonMetadata[0].stringValue, "first");
  EXPECT_EQ(m.commonMetadata[1].stringValue, "second");
  EXPECT_EQ(m.commonMetadata[2].stringValue, "third");
  EXPECT_EQ(keysOf(m.metadata), (std::vector<std::string>{kUtf8Day, "\xC2\xA9" "nam",
                                                          "com.apple.quicktime.creationdate", kUtf8Day}));
}

TEST(BoxVideoMetadataTest, OnlyTheFirstMovieBoxCounts) {
  const Bytes file = concat({box("moov", fixtures::iphoneMeta({{"com.apple.quicktime.creationdate", "a"}})),
                             box("moov", fixtures::iphoneMeta({{"com.apple.quicktime.creationdate", "b"}}))});
  const VideoMetadata m = read(file);
  ASSERT_EQ(m.metadata.size(), 1u);
  EXPECT_EQ(m.metadata[0].stringValue, "a");
}

// The ilst entry whose key index is 1, with its data box replaced.
Bytes mdtaMetaWith(const Bytes& keysPayload, const Bytes& ilstPayload) {
  Bytes hdlr;
  fixtures::putU32(hdlr, 0);
  fixtures::append(hdlr, fixtures::bytesOf("mdta"));
  hdlr.resize(hdlr.size() + 13, 0);
  return box("moov", box("meta", concat({fixtures::fullBox("hdlr", 0, 0, hdlr), fixtures::fullBox("keys", 0, 0, keysPayload),
                                         box("ilst", ilstPayload)})));
}

Bytes keysPayload(std::uint32_t count, const std::vector<std::string>& keys) {
  Bytes p;
  fixtures::putU32(p, count);
  for (const std::string& k : keys) {
    fixtures::putU32(p, static_cast<std::uint32_t>(k.size() + 8));
    fixtures::append(p, fixtures::bytesOf("mdta"));
    fixtures::append(p, fixtures::bytesOf(k));
  }
  return p;
}

Bytes ilstEntry(std::uint32_t index, std::uint32_t type, const Bytes& value) {
  Bytes data;
  fixtures::putU32(data, type);
  fixtures::putU32(data, 0);
  fixtures::append(data, value);
  Bytes entry;
  const Bytes dataBox = box("data", data);
  fixtures::putU32(entry, static_cast<std::uint32_t>(dataBox.size() + 8));
  fixtures::putU32(entry, index);
  fixtures::append(entry, dataBox);
  return entry;
}

TEST(BoxVideoMetadataTest, KeysCountFarLargerThanTheBoxKeepsTheKeysPresent) {
  const Bytes file = mdtaMetaWith(keysPayload(0xFFFFFFFF, {"com.apple.quicktime.creationdate"}),
                                  ilstEntry(1, 1, fixtures::bytesOf("2023-01-01 00:00:00")));
  const VideoMetadata m = read(file);
  EXPECT_EQ(keysOf(m.metadata), std::vector<std::string>{"com.apple.quicktime.creationdate"});
  EXPECT_EQ(m.commonMetadata.size(), 1u);
}

TEST(BoxVideoMetadataTest, IndexWithoutKeyStaysANumberAndIsNoCreationDate) {
  const Bytes file = mdtaMetaWith(keysPayload(1, {"com.apple.quicktime.creationdate"}),
                                  concat({ilstEntry(0, 1, fixtures::bytesOf("x")), ilstEntry(2, 1, fixtures::bytesOf("y")),
                                          ilstEntry(0xFFFFFFFF, 1, fixtures::bytesOf("z"))}));
  const VideoMetadata m = read(file);
  EXPECT_EQ(keysOf(m.metadata), (std::vector<std::string>{"#0", "#2", "#4294967295"}));
  EXPECT_TRUE(m.commonMetadata.empty());
}

TEST(BoxVideoMetadataTest, OnlyTextDataTypesGiveATextValue) {
  const Bytes utf16 = {0x00, '2', 0x00, '0', 0xD8, 0x3D, 0xDE, 0x00};  // "20" and U+1F600
  const Bytes file = mdtaMetaWith(keysPayload(5, {"a", "b", "c", "d", "e"}),
                                  concat({ilstEntry(1, 2, utf16), ilstEntry(2, 23, {0x41, 0x20, 0, 0}),
                                          ilstEntry(3, 1, {'c', 'a', 'f', 0xE9}),  // Latin-1 bytes
                                          ilstEntry(4, 4, fixtures::bytesOf("sort")), ilstEntry(5, 5, {0, 'x'})}));
  const VideoMetadata m = read(file);
  ASSERT_EQ(m.metadata.size(), 5u);
  EXPECT_EQ(m.metadata[0].stringValue, "20\xF0\x9F\x98\x80");
  EXPECT_FALSE(m.metadata[1].stringValue);
  EXPECT_EQ(m.metadata[2].stringValue, "caf\xC3\xA9");
  EXPECT_EQ(m.metadata[3].stringValue, "sort");
  EXPECT_EQ(m.metadata[4].stringValue, "x");
}

TEST(BoxVideoMetadataTest, UserDataTextLongerThanItsBoxHasNoValue) {
  Bytes p;
  fixtures::putU16(p, 500);
  fixtures::putU16(p, 0);
  fixtures::append(p, fixtures::bytesOf("2023"));
  const VideoMetadata m = read(box("moov", box("udta", box(kCopyrightDay, p))));
  ASSERT_EQ(m.commonMetadata.size(), 1u);
  EXPECT_FALSE(m.commonMetadata[0].stringValue);
}

TEST(BoxVideoMetadataTest, MalformedFilesGiveNoItemsAndDoNotCrash) {
  EXPECT_TRUE(read({}).metadata.empty());
  EXPECT_TRUE(read(fixtures::jpeg({"2023:01:01 00:00:00", std::nullopt})).metadata.empty());
  // A movie box that claims more than the file holds.
  Bytes tooLong = fixtures::iphoneMov(kIphoneItems);
  const Bytes moovTag = fixtures::bytesOf("moov");
  const auto moovAt = std::search(tooLong.begin(), tooLong.end(), moovTag.begin(), moovTag.end()) - 4;
  moovAt[0] = 0x7F;
  EXPECT_TRUE(read(tooLong).metadata.empty());
  // Deep nesting is not followed.
  Bytes deep = box("meta", {});
  for (int i = 0; i < 5000; ++i) deep = box("udta", deep);
  EXPECT_TRUE(read(box("moov", deep)).metadata.empty());
  // Every truncation of a real layout.
  const Bytes file = fixtures::iphoneMov(kIphoneItems);
  for (std::size_t n = 0; n < file.size(); ++n) {
    const VideoMetadata m = read(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_TRUE(m.metadata.empty()) << n;  // the movie box is last: any cut breaks it
  }
}

TEST(BoxVideoMetadataTest, ReaderOverAMissingFileGivesNoItems) {
  BoxVideoMetadataReader reader;
  const VideoMetadata m = reader.readMetadata("/nonexistent/clip.mov");
  EXPECT_TRUE(m.commonMetadata.empty());
  EXPECT_TRUE(m.metadata.empty());
}

}  // namespace
}  // namespace media
