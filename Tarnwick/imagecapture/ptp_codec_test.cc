#include "ptp_codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace imagecapture::ptp {
namespace {

using ::testing::ElementsAre;

// Builds datasets as a phone writes them.
struct Writer {
  Bytes bytes;
  Writer& u16(std::uint16_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  Writer& u32(std::uint32_t v) { return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16)); }
  // A PTP string of these UTF-16 units (with the closing NUL).
  Writer& units(std::u16string_view text) {
    if (text.empty()) {
      bytes.push_back(0);
      return *this;
    }
    bytes.push_back(static_cast<std::uint8_t>(text.size() + 1));
    for (char16_t unit : text) u16(unit);
    return u16(0);
  }
  Writer& array16(std::initializer_list<std::uint16_t> values) {
    u32(static_cast<std::uint32_t>(values.size()));
    for (auto v : values) u16(v);
    return *this;
  }
};

Bytes objectInfo(std::u16string_view name, std::u16string_view capture, std::u16string_view modified,
                 std::uint16_t format = 0x3801, std::uint32_t size = 8) {
  Writer w;
  w.u32(0x00010001).u16(format).u16(0).u32(size).u16(0);
  for (int i = 0; i < 6; ++i) w.u32(0);
  w.u32(0x21).u16(format == kFormatAssociation ? 1 : 0).u32(0).u32(0);
  w.units(name).units(capture).units(modified).units(u"");
  return w.bytes;
}

TEST(PtpCodec, ContainersAsTheyGoOnTheWire) {
  const std::uint32_t params[] = {0x00010001, 0, 0};
  EXPECT_THAT(commandContainer(0x1007, 5, params),
              ElementsAre(24, 0, 0, 0, 1, 0, 0x07, 0x10, 5, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_THAT(dataHeader(0x900E, 0, 6), ElementsAre(18, 0, 0, 0, 2, 0, 0x0E, 0x90, 0, 0, 0, 0));
  EXPECT_THAT(dataHeader(0x1009, 7, 5ull << 30), ElementsAre(0xFE, 0xFF, 0xFF, 0xFF, 2, 0, 9, 0x10, 7, 0, 0, 0));
  auto header = parseHeader(dataHeader(0x1009, 7, 5ull << 30));
  ASSERT_TRUE(header);
  EXPECT_FALSE(header->lengthKnown());
  EXPECT_FALSE(parseHeader(Bytes(11, 0)));
}

TEST(PtpCodec, ResponsesAndEventsMustBeWholeContainers) {
  Bytes ok = {16, 0, 0, 0, 3, 0, 0x01, 0x20, 9, 0, 0, 0, 0x2A, 0, 0, 0};
  auto response = parseResponse(ok);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->code, 0x2001);
  EXPECT_EQ(response->transactionId, 9u);
  EXPECT_THAT(response->params, ElementsAre(0x2A));
  Bytes event = {16, 0, 0, 0, 4, 0, 0x05, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 0xCE, 0xFA, 0xED, 0xFE};
  ASSERT_TRUE(parseEvent(event));
  EXPECT_THAT(parseEvent(event)->params, ElementsAre(kPlaceholderStorage));
  const Bytes broken[] = {
      {},
      Bytes(ok.begin(), ok.end() - 1),                              // shorter than its length
      {17, 0, 0, 0, 3, 0, 1, 0x20, 9, 0, 0, 0, 1, 2, 3, 4, 5},      // a parameter cut short
      {36, 0, 0, 0, 3, 0, 1, 0x20, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},                          // six parameters
      event,                                                        // an event is not a response
  };
  for (const auto& bytes : broken) EXPECT_FALSE(parseResponse(bytes)) << bytes.size();
  EXPECT_FALSE(parseEvent(ok));
}

TEST(PtpCodec, Utf16BecomesUtf8WithReplacementForLoneSurrogates) {
  struct Case {
    std::u16string in;
    std::string out;
  };
  const Case cases[] = {
      {u"IMG_0001.HEIC", "IMG_0001.HEIC"},
      {u"Фото.HEIC", "Фото.HEIC"},
      {u"café.JPG", "café.JPG"},
      {u"\xD83D\xDCF7.JPG", "📷.JPG"},           // a pair
      {u"\xD800x.JPG", "\xEF\xBF\xBDx.JPG"},     // a high surrogate alone
      {u"a\xDC00", "a\xEF\xBF\xBD"},             // a low surrogate alone
      {u"a\xD800", "a\xEF\xBF\xBD"},             // a high surrogate at the end
      {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // the wrong order
      {u"a\x000A" u"b", "a\nb"},                 // control characters stay (the report escapes them)
  };
  for (const auto& c : cases) EXPECT_EQ(utf16ToUtf8(c.in), c.out);
}

TEST(PtpCodec, StringsReadUpToTheirNulAndNeverPastTheData) {
  struct Case {
    Bytes bytes;
    std::optional<std::string> text;  // nothing: the read fails
  };
  const Case cases[] = {
      {{0}, ""},
      {{3, 'a', 0, 'b', 0, 0, 0}, "ab"},
      {{3, 'a', 0, 0, 0, 'b', 0}, "a"},   // a NUL inside ends it
      {{2, 'a', 0, 'b', 0}, "ab"},        // no closing NUL
      {{4, 'a', 0, 'b', 0, 0, 0}, std::nullopt},  // the count runs past the bytes
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    LeReader reader(c.bytes);
    std::string text = reader.string();
    EXPECT_EQ(reader.ok() ? std::optional(text) : std::nullopt, c.text) << c.bytes.size();
  }
  // An array whose count promises more than is there.
  const Bytes promise = {0xFF, 0xFF, 0xFF, 0x7F, 1, 0};
  LeReader reader(promise);
  EXPECT_TRUE(reader.array16().empty());
  EXPECT_FALSE(reader.ok());
}

TEST(PtpCodec, DeviceInfoAndObjectInfo) {
  Writer device;
  device.u16(100).u32(6).u16(100).units(u"microsoft.com: 1.0;").u16(0);
  device.array16({0x1001, 0x1002, 0x9805}).array16({0x4004, 0x4005}).array16({}).array16({}).array16({0x3801});
  device.units(u"Apple Inc.").units(u"Apple iPhone").units(u"17.5").units(u"00008110000A1B2C3D4E5F60");
  auto info = parseDeviceInfo(device.bytes);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->model, "Apple iPhone");
  EXPECT_EQ(info->serialNumber, "00008110000A1B2C3D4E5F60");
  EXPECT_THAT(info->operations, ElementsAre(0x1001, 0x1002, 0x9805));
  device.bytes.pop_back();
  EXPECT_FALSE(parseDeviceInfo(device.bytes));

  auto photo = parseObjectInfo(objectInfo(u"Тест.HEIC", u"20211005T143000.0", u"20230830T090000"));
  ASSERT_TRUE(photo);
  EXPECT_EQ(photo->filename, "Тест.HEIC");
  EXPECT_EQ(photo->captureDate, "20211005T143000.0");
  EXPECT_EQ(photo->modificationDate, "20230830T090000");
  EXPECT_EQ(photo->parent, 0x21u);
  EXPECT_EQ(photo->size, 8u);
  EXPECT_FALSE(photo->isFolder());
  EXPECT_FALSE(parseObjectInfo(objectInfo(u"IMG_0100.MOV", u"", u"", 0x300D, 0xFFFFFFFF))->size);
  EXPECT_TRUE(parseObjectInfo(objectInfo(u"202110__", u"", u"", kFormatAssociation))->isFolder());
  Bytes cut = objectInfo(u"IMG_0001.JPG", u"", u"");
  cut.resize(cut.size() - 3);  // inside ModificationDate
  EXPECT_FALSE(parseObjectInfo(cut));
  EXPECT_THAT(*parseU32Array(Bytes{2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}), ElementsAre(1, 2));
  EXPECT_FALSE(parseU32Array(Bytes{2, 0, 0, 0, 1, 0, 0, 0}));
}

// The bulk catalogue as far as the end-to-end tests do not reach: an empty
// store, and records that do not read (the phone is then asked one by one).
TEST(PtpCodec, BulkCatalogueRecordsAndNothingPastThem) {
  Bytes info = objectInfo(u"IMG_0100.MOV", u"", u"", 0x300D);
  info.insert(info.begin() + 12, {1, 0, 0, 0});  // a 64-bit size: 0x1'00000008
  Bytes movie = Writer().u32(7).u32(static_cast<std::uint32_t>(info.size())).bytes;
  movie.insert(movie.end(), info.begin(), info.end());
  EXPECT_EQ(parseObjectInfoRecords(movie)->at(0).info.size, 0x100000008u);
  EXPECT_TRUE(parseObjectInfoRecords(Bytes{0, 0, 0, 0})->empty());
  Bytes longer = movie, cut = movie, handleZero = movie, trailing = movie;
  longer[4] += 1;  // the dataset runs past the bytes
  cut[4] -= 3;     // ...or its ObjectInfo past the dataset
  cut.resize(cut.size() - 3);
  handleZero[0] = 0;
  trailing.insert(trailing.end(), {0, 0, 0, 0});
  for (const Bytes& bytes : {Bytes{}, longer, cut, handleZero, trailing, Bytes(movie.begin(), movie.begin() + 6)})
    EXPECT_FALSE(parseObjectInfoRecords(bytes)) << bytes.size();
}

TEST(PtpCodec, DatesAsPhonesWriteThemAndNothingElse) {
  struct Case {
    const char* text;
    std::optional<WallTime> time;
  };
  const WallTime october{2021, 10, 5, 14, 30, 0, std::nullopt};
  auto zoned = [&](int minutes) {
    WallTime t = october;
    t.offsetMinutes = minutes;
    return t;
  };
  const Case cases[] = {
      {"20211005T143000", october},
      {"20211005T143000.0", october},
      {"20211005T143000Z", zoned(0)},
      {"20211005T143000.5+0200", zoned(120)},
      {"20211005T143000-0530", zoned(-330)},
      {"20200229T000000", WallTime{2020, 2, 29, 0, 0, 0, std::nullopt}},
      {"", std::nullopt},
      {"2021-10-05T14:30:00", std::nullopt},
      {"20211005 143000", std::nullopt},
      {"20211005T1430", std::nullopt},
      {"20211305T143000", std::nullopt},
      {"00000000T000000", std::nullopt},
      {"20210229T143000", std::nullopt},
      {"20211005T240000", std::nullopt},
      {"20211005T143060", std::nullopt},
      {"20211005T143000.", std::nullopt},
      {"20211005T143000.0X", std::nullopt},
      {"20211005T143000+02", std::nullopt},
      {"2021100aT143000", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseDate(c.text), c.time) << c.text;
}

TEST(PtpCodec, ResponseCodesAreNamedInTheCause) {
  EXPECT_EQ(describeResponse(0x2019), "телефон ответил PTP 0x2019 (устройство занято)");
  EXPECT_EQ(describeResponse(0x2007), "телефон ответил PTP 0x2007 (передача не завершена)");
  EXPECT_EQ(describeResponse(0xA801), "телефон ответил PTP 0xA801 (неизвестный код)");
}

}  // namespace
}  // namespace imagecapture::ptp
