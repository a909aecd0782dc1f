#include "icu_date_text.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

#include <unicode/parsepos.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>

#include "local_time.h"

namespace media {
namespace {

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (saved_) setenv("TZ", saved_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

class DateTextTest : public ::testing::Test {
 protected:
  // The parsed text as the program prints it, or "none".
  std::string utc(std::string_view text, std::string_view pattern) {
    const auto instant = dates_.parse(text, pattern);
    return instant ? dates_.formatUtc(*instant) : "none";
  }
  IcuDateText dates_;
};

constexpr std::string_view kImage = "yyyy:MM:dd HH:mm:ss";
constexpr std::string_view kOffset = "yyyy-MM-dd'T'HH:mm:ssZ";
constexpr std::string_view kFraction = "yyyy-MM-dd'T'HH:mm:ss.SSSZ";
constexpr std::string_view kLocal = "yyyy-MM-dd HH:mm:ss";

TEST_F(DateTextTest, WallClockTimesFollowTheProcessZone) {
  const std::vector<std::pair<const char*, std::string>> zones = {
      {"UTC", "2023-05-01 12:00:00"},
      {"Europe/Moscow", "2023-05-01 09:00:00"},
      {"America/New_York", "2023-05-01 16:00:00"},
      {"<+03>-3", "2023-05-01 09:00:00"},
      // Mexico dropped daylight saving time in 2022; the system's zone data knows.
      {"America/Mexico_City", "2023-05-01 18:00:00"},
  };
  for (const auto& [tz, expected] : zones) {
    ScopedTz zone(tz);
    EXPECT_EQ(utc("2023:05:01 12:00:00", kImage), expected) << tz;
    EXPECT_EQ(utc("2023-05-01 12:00:00", kLocal), expected) << tz;
  }
}

TEST_F(DateTextTest, TextsWithAnOffsetIgnoreTheProcessZone) {
  for (const char* tz : {"UTC", "Europe/Moscow", "America/New_York"}) {
    ScopedTz zone(tz);
    EXPECT_EQ(utc("2023-06-10T18:30:00+0200", kOffset), "2023-06-10 16:30:00") << tz;
    EXPECT_EQ(utc("2023-06-10T18:30:00.250+0200", kFraction), "2023-06-10 16:30:00") << tz;
    EXPECT_EQ(utc("2023-06-10T18:30:00-0930", kOffset), "2023-06-11 04:00:00") << tz;
    EXPECT_EQ(utc("2023-06-10T18:30:00.250+0200", kOffset), "none") << tz;
    EXPECT_EQ(utc("2023-06-10T18:30:00+0200", kFraction), "none") << tz;
    EXPECT_EQ(utc("2023-06-10T18:30:00", kOffset), "none") << tz;
  }
}

TEST_F(DateTextTest, WholeTextMustMatchExceptTrailingBlanks) {
  ScopedTz zone("UTC");
  EXPECT_EQ(utc("2023:05:01 12:00:00 \t ", kImage), "2023-05-01 12:00:00");
  EXPECT_EQ(utc("2023:05:01 12:00:00Z", kImage), "none");
  EXPECT_EQ(utc("2023:05:01 12:00:00\n", kImage), "none");
  EXPECT_EQ(utc("2023:05:01 12:00:00.5", kImage), "none");
  EXPECT_EQ(utc("2023-06-10T18:30:00+0200junk", kOffset), "none");
  EXPECT_EQ(utc("2023-06-10 18:30:00+0200", kLocal), "none");
  EXPECT_EQ(utc("", kImage), "none");
  EXPECT_EQ(utc("    ", kImage), "none");
}

TEST_F(DateTextTest, InvalidCalendarFieldsAreRejected) {
  ScopedTz zone("UTC");
  for (const char* text : {"0000:00:00 00:00:00", "2023:02:29 12:00:00", "2023:13:01 12:00:00",
                           "2023:05:01 24:00:00", "2023:05:01 12:60:00", "2023-05-01 12:00:00",
                           "2023:05:01T12:00:00"}) {
    EXPECT_EQ(utc(text, kImage), "none") << text;
  }
  EXPECT_EQ(utc("2024:02:29 23:59:59", kImage), "2024-02-29 23:59:59");
}

TEST_F(DateTextTest, FractionsNeverShowAndDoNotRoundUp) {
  ScopedTz zone("UTC");
  EXPECT_EQ(utc("2023-12-31T23:59:59.999+0000", kFraction), "2023-12-31 23:59:59");
  EXPECT_EQ(utc("1969-12-31T23:59:59.500+0000", kFraction), "1969-12-31 23:59:59");
}

TEST_F(DateTextTest, DatesBeforeTheEpochAndAcrossTheYear) {
  ScopedTz zone("Europe/Moscow");
  EXPECT_EQ(utc("1960:01:01 03:00:00", kImage), "1960-01-01 00:00:00");
  EXPECT_EQ(utc("2024:01:01 02:59:59", kImage), "2023-12-31 23:59:59");
}

TEST_F(DateTextTest, DaylightSavingGapAndOverlap) {
  ScopedTz zone("America/New_York");
  // 2023-03-12: clocks jump from 02:00 EST to 03:00 EDT. A time in the gap is
  // read with the offset before it (EST).
  EXPECT_EQ(utc("2023-03-12 02:30:00", kLocal), "2023-03-12 07:30:00");
  EXPECT_EQ(utc("2023-03-12 01:59:59", kLocal), "2023-03-12 06:59:59");
  EXPECT_EQ(utc("2023-03-12 03:00:00", kLocal), "2023-03-12 07:00:00");
  // 2023-11-05: 01:00-02:00 happens twice; the later (EST) instant wins.
  EXPECT_EQ(utc("2023-11-05 01:30:00", kLocal), "2023-11-05 06:30:00");
  EXPECT_EQ(utc("2023-11-05 00:59:59", kLocal), "2023-11-05 04:59:59");
  EXPECT_EQ(utc("2023-11-05 02:00:00", kLocal), "2023-11-05 07:00:00");
}

TEST_F(DateTextTest, GapOfAWholeDayStillGivesADate) {
  // Samoa skipped 2011-12-30 when it moved across the date line.
  ScopedTz zone("Pacific/Apia");
  EXPECT_EQ(utc("2011:12:30 12:00:00", kImage), "2011-12-30 22:00:00");
  EXPECT_EQ(utc("2011:12:31 00:00:00", kImage), "2011-12-30 10:00:00");
}

// The parsing formatters read numbers with their own small digit reader; on
// the texts below they must agree with ICU's stock formatter.
std::string stockIcu(std::string_view text, std::string_view pattern) {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(icu::UnicodeString::fromUTF8(std::string(pattern)), icu::Locale("en_US_POSIX"), status);
  format.setLenient(false);
  format.adoptTimeZone(new icu::SimpleTimeZone(0, icu::UnicodeString(u"UTC")));
  const icu::UnicodeString utext = icu::UnicodeString::fromUTF8(std::string(text));
  icu::ParsePosition pos(0);
  const UDate d = format.parse(utext, pos);
  if (U_FAILURE(status) || pos.getErrorIndex() >= 0 || pos.getIndex() == 0) return "none";
  for (int32_t i = pos.getIndex(); i < utext.length(); ++i) {
    if (utext.charAt(i) != u' ' && utext.charAt(i) != u'\t') return "none";
  }
  icu::SimpleDateFormat out(icu::UnicodeString("yyyy-MM-dd HH:mm:ss"), icu::Locale("en_US_POSIX"), status);
  out.adoptTimeZone(new icu::SimpleTimeZone(0, icu::UnicodeString(u"UTC")));
  icu::UnicodeString s;
  std::string utf8;
  out.format(d, s).toUTF8String(utf8);
  return utf8;
}

TEST_F(DateTextTest, AgreesWithStockIcuParsing) {
  ScopedTz zone("UTC");
  const std::vector<std::string> texts = {
      "2023:05:01 12:00:00", "2023:5:1 1:2:3", "2023:05:01 12:00:00.5", " 2023:05:01 12:00:00",
      "+2023:05:01 12:00:00", "-2023:05:01 12:00:00", "2023:-5:01 12:00:00", "20230:05:01 12:00:00",
      "\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x92\xEF\xBC\x93:05:01 12:00:00",  // full-width digits
      "\xD9\xA2\xD9\xA0\xD9\xA2\xD9\xA3:05:01 12:00:00",                    // Arabic-Indic digits
      "2023:05:01 12:00:0", "2023:05:01 12:00", "2023:05:01 12:00:00:00", "1:1:1 1:1:1",
      "99999999999999999999:01:01 00:00:00", "2023:05:01 123:00:00", "2023:05:01 12:00:1e3",
      "2023-06-10T18:30:00+0200", "2023-06-10T18:30:00.2+0200", "2023-06-10T18:30:00.2500+0200",
      "2023-06-10T18:30:00.25+02:00", "2023-06-10T18:30:00+02:00", "2023-06-10T18:30:00Z",
      "2023-06-10T18:30:00GMT+2", "2023-06-10T18:30:00 +0200", "2023-06-10T18:30:00+02",
      "2023-06-10T18:30:00+2", "2023-06-10T18:30:00.000000Z", "2023-06-10T18:30:00-1400",
      "2023-06-10 18:30:00", "2023-06-10 18:30", "2023-6-1 8:3:0",
  };
  const std::vector<std::string_view> patterns = {kImage, kOffset, kFraction, kLocal};
  for (std::string_view pattern : patterns) {
    for (const std::string& text : texts) {
      EXPECT_EQ(utc(text, pattern), stockIcu(text, pattern)) << text << " / " << pattern;
    }
  }
}

std::string stockIcuFormat(std::int64_t millis) {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat out(icu::UnicodeString("yyyy-MM-dd HH:mm:ss"), icu::Locale("en_US_POSIX"), status);
  out.adoptTimeZone(new icu::SimpleTimeZone(0, icu::UnicodeString(u"UTC")));
  icu::UnicodeString s;
  std::string utf8;
  out.format(static_cast<UDate>(millis), s).toUTF8String(utf8);
  return utf8;
}

TEST_F(DateTextTest, FormatsLikeStockIcuAcrossEras) {
  const std::vector<std::int64_t> instants = {
      0, 999, -1, 1700000000000, 253402300799000,  // 9999-12-31 23:59:59
      253402300800000,                             // year 10000
      -12219292800000, -12219292800001,            // the Gregorian cutover, 1582-10-15
      -62135596800000, -62135596800001,            // year 1, and 1 BC
      -62198755200000, -100000000000000, 32503680000000000,
  };
  for (std::int64_t millis : instants) {
    EXPECT_EQ(dates_.formatUtc(Instant(std::chrono::milliseconds(millis))), stockIcuFormat(millis)) << millis;
    // Switching between parsing and formatting patterns keeps both right.
    EXPECT_EQ(utc("2023:05:01 12:00:00", kImage), "2023-05-01 12:00:00");
  }
}

TEST_F(DateTextTest, LocalWallTimeRoundTripsThroughTheCLibrary) {
  ScopedTz zone("Europe/Moscow");
  for (std::int64_t t : {0LL, 1000000000LL, 1700000000LL, -1000000000LL}) {
    EXPECT_EQ(localWallToInstant(t + localOffsetAt(t)), t) << t;
  }
}

}  // namespace
}  // namespace media
