#include "icu_date_text.h"

#include <cmath>
#include <memory>

#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/numfmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/uchar.h>
#include <unicode/simpletz.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "local_time.h"

namespace media {
namespace {

// The number reader behind the parsing formatters: a run of decimal digits
// (any script) as an integer. ICU's own DecimalFormat does the same for the
// unsigned integer fields of these patterns, but builds its general number
// grammar on first use, which cost more than the rest of a Quenby run.
class DigitsNumberFormat final : public icu::NumberFormat {
 public:
  DigitsNumberFormat* clone() const override { return new DigitsNumberFormat(*this); }

  using icu::NumberFormat::format;
  // Parsing only; formatting is left to the output formatter's own numbers.
  icu::UnicodeString& format(double, icu::UnicodeString& out, icu::FieldPosition&) const override {
    return out;
  }
  icu::UnicodeString& format(int32_t, icu::UnicodeString& out, icu::FieldPosition&) const override {
    return out;
  }
  icu::UnicodeString& format(int64_t, icu::UnicodeString& out, icu::FieldPosition&) const override {
    return out;
  }

  using icu::NumberFormat::parse;
  void parse(const icu::UnicodeString& text, icu::Formattable& result,
             icu::ParsePosition& pos) const override {
    const int32_t start = pos.getIndex();
    int32_t i = start;
    std::int64_t value = 0;
    while (i < text.length()) {
      const UChar32 c = text.char32At(i);
      const int32_t digit = u_charDigitValue(c);
      // 18 digits cannot overflow; a longer run matches no date field anyway.
      if (digit < 0 || i - start >= 18) break;
      value = value * 10 + digit;
      i = text.moveIndex32(i, 1);
    }
    if (i == start) {
      pos.setErrorIndex(start);
      return;
    }
    result.setInt64(value);
    pos.setIndex(i);
  }

  bool operator==(const icu::Format& other) const override {
    return dynamic_cast<const DigitsNumberFormat*>(&other) != nullptr;
  }
  UClassID getDynamicClassID() const override { return getStaticClassID(); }
  static UClassID getStaticClassID() {
    static char id = 0;
    return &id;
  }
};

// A formatter on UTC: zone fields in the text still set their own offset,
// and texts without one come out as wall-clock fields counted as UTC.
std::unique_ptr<icu::SimpleDateFormat> utcFormatter(std::string_view pattern, bool parsing) {
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(
      icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))),
      icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) return nullptr;
  if (parsing) format->adoptNumberFormat(new DigitsNumberFormat());
  format->setLenient(false);
  format->adoptTimeZone(new icu::SimpleTimeZone(0, icu::UnicodeString(u"UTC")));
  return format;
}

}  // namespace

bool patternHasZoneField(std::string_view pattern) {
  bool quoted = false;
  for (char c : pattern) {
    if (c == '\'') quoted = !quoted;
    else if (!quoted && (c == 'Z' || c == 'z' || c == 'X' || c == 'x' || c == 'O' || c == 'v' || c == 'V'))
      return true;
  }
  return false;
}

IcuDateText::IcuDateText() {
  // Zones are the C library's business here (see local_time.h); keep ICU
  // from looking up the process zone in its own data.
  icu::TimeZone::adoptDefault(new icu::SimpleTimeZone(0, icu::UnicodeString(u"UTC")));
}

IcuDateText::~IcuDateText() = default;

std::optional<Instant> IcuDateText::parse(std::string_view text, std::string_view pattern) {
  // One parsing formatter, given each pattern in turn: the same as a new
  // formatter per pattern (applyPattern resets what the pattern decides, and
  // parsing keeps no state), without loading the locale's data again.
  if (!parser_) parser_ = utcFormatter(pattern, true);
  if (!parser_) return std::nullopt;
  icu::SimpleDateFormat* format = parser_.get();
  format->applyPattern(
      icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))));
  const icu::UnicodeString utext =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::ParsePosition pos(0);
  const UDate parsed = format->parse(utext, pos);
  if (pos.getErrorIndex() >= 0 || pos.getIndex() == 0) return std::nullopt;
  // ICU stops after a complete match; only blanks and tabs may follow.
  for (int32_t i = pos.getIndex(); i < utext.length(); ++i) {
    const char16_t c = utext.charAt(i);
    if (c != u' ' && c != u'\t') return std::nullopt;
  }
  if (!std::isfinite(parsed)) return std::nullopt;
  const auto millis = static_cast<std::int64_t>(std::floor(parsed));
  if (patternHasZoneField(pattern)) return Instant(std::chrono::milliseconds(millis));
  // Wall-clock fields: place them in the local zone.
  const std::int64_t wallSeconds = millis >= 0 ? millis / 1000 : -((-millis + 999) / 1000);
  const std::int64_t fraction = millis - wallSeconds * 1000;
  const std::int64_t seconds = localWallToInstant(wallSeconds);
  return Instant(std::chrono::milliseconds(seconds * 1000 + fraction));
}

std::string IcuDateText::formatUtc(Instant instant) {
  const std::unique_ptr<icu::SimpleDateFormat> format = utcFormatter("yyyy-MM-dd HH:mm:ss", false);
  if (!format) return {};
  icu::UnicodeString out;
  format->format(static_cast<UDate>(instant.time_since_epoch().count()), out);
  std::string utf8;
  out.toUTF8String(utf8);
  return utf8;
}

}  // namespace media
