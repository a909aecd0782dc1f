#include "box_reader.h"

#include <gtest/gtest.h>
#include <vector>

#include "fixtures.h"

namespace media {
namespace {

using fixtures::box;
using fixtures::box64;
using fixtures::concat;

TEST(BoxHeaderTest, ReadsPlainLargeToEndAndUuidHeaders) {
  const Bytes file = concat({box("ftyp", Bytes(4, 1)), box64("mdat", Bytes(10, 2))});
  SpanByteSource src(file);
  const auto first = readBoxHeader(src, 0, file.size());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, fourcc("ftyp"));
  EXPECT_EQ(first->payloadStart, 8u);
  EXPECT_EQ(first->end, 12u);
  const auto second = readBoxHeader(src, 12, file.size());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->payloadStart, 28u);
  EXPECT_EQ(second->end, file.size());

  Bytes toEnd = {0, 0, 0, 0, 'm', 'd', 'a', 't', 9, 9, 9};
  SpanByteSource toEndSrc(toEnd);
  const auto zero = readBoxHeader(toEndSrc, 0, toEnd.size());
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->end, toEnd.size());

  Bytes uuid = box("uuid", Bytes(20, 0));
  SpanByteSource uuidSrc(uuid);
  const auto u = readBoxHeader(uuidSrc, 0, uuid.size());
  ASSERT_TRUE(u);
  EXPECT_EQ(u->payloadStart, 24u);
}

TEST(BoxHeaderTest, RejectsSizesThatDoNotFit) {
  const std::vector<Bytes> bad = {
      {0, 0, 0, 20, 'm', 'o', 'o', 'v'},                            // larger than the file
      {0, 0, 0, 7, 'm', 'o', 'o', 'v'},                             // smaller than its header
      {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 8},     // 64-bit size below 16
      {0, 0, 0, 1, 'm', 'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},  // wraps
      {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0},                       // 64-bit size cut off
      {0, 0, 0, 9},                                                 // header cut off
      {0, 0, 0, 12, 'u', 'u', 'i', 'd', 0, 0, 0, 0},                // uuid without its 16 bytes
  };
  for (const Bytes& b : bad) {
    SpanByteSource src(b);
    EXPECT_FALSE(readBoxHeader(src, 0, b.size())) << b.size();
  }
  // A child may not reach past its parent even when the file goes on.
  const Bytes file = concat({box("moov", box("udta", {})), Bytes(100, 0)});
  SpanByteSource src(file);
  EXPECT_FALSE(readBoxHeader(src, 8, 12));
  EXPECT_TRUE(readBoxHeader(src, 8, 16));
}

TEST(BoxHeaderTest, ChildWalkStopsAtTheFirstMalformedBoxAndAtTheCap) {
  Bytes file = concat({box("free", {}), box("skip", {}), {0, 0, 0, 3, 'b', 'a', 'd', '!'}, box("moov", {})});
  SpanByteSource src(file);
  std::vector<std::string> seen;
  forEachBox(src, 0, file.size(), [&](const BoxHeader& b) {
    seen.push_back(fourccText(b.type));
    return true;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"free", "skip"}));

  Bytes many;
  for (int i = 0; i < 50; ++i) fixtures::append(many, box("free", {}));
  SpanByteSource manySrc(many);
  int count = 0;
  forEachBox(manySrc, 0, many.size(), [&](const BoxHeader&) { return ++count, true; }, 10);
  EXPECT_EQ(count, 10);
}

TEST(BoxHeaderTest, FourccTextMapsTheCopyrightByte) {
  EXPECT_EQ(fourccText(fourcc("\xA9" "day")), "\xC2\xA9" "day");
  EXPECT_EQ(fourccText(fourcc("moov")), "moov");
}

TEST(ByteReaderTest, ReadsPastTheEndYieldZeroAndStayFailed) {
  const Bytes b = {0x12, 0x34, 0x56};
  ByteReader r(b);
  EXPECT_EQ(r.u16(), 0x1234);
  EXPECT_EQ(r.u16(), 0);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.u8(), 0);  // the last byte is not handed out after a failure
  EXPECT_EQ(r.remaining(), 0u);

  ByteReader sized(b);
  EXPECT_EQ(sized.sized(0), 0u);
  EXPECT_EQ(sized.sized(2), 0x1234u);
  EXPECT_EQ(sized.sized(3), 0u);  // not a field size
  EXPECT_FALSE(sized.ok());

  ByteReader huge(b);
  EXPECT_TRUE(huge.bytes(SIZE_MAX).empty());
  EXPECT_FALSE(huge.ok());
}

TEST(ByteSourceTest, ReadRangeRefusesRangesOutsideTheSourceOrOverTheCap) {
  const Bytes b(100, 7);
  SpanByteSource src(b);
  EXPECT_TRUE(readRange(src, 10, 20, 10));
  EXPECT_FALSE(readRange(src, 10, 21, 10));
  EXPECT_FALSE(readRange(src, 90, 101, 1000));
  EXPECT_FALSE(readRange(src, 20, 10, 1000));
  EXPECT_FALSE(FileByteSource::open("/nonexistent/file"));
  EXPECT_FALSE(FileByteSource::open("/tmp"));  // not a regular file
}

}  // namespace
}  // namespace media
