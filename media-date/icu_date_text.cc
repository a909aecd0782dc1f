#include "icu_date_text.h"

#include <algorithm>
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

// The numbers of the formatter's date fields: a run of decimal digits (any
// script) read as an integer, and integers written as ASCII digits padded
// to the field's width. ICU's own DecimalFormat does the same for these
// unsigned integer fields, but building its general number grammar on first
// use cost more than the rest of a Quenby run.
class DigitsNumberFormat final : public icu::NumberFormat {
 public:
  DigitsNumberFormat* clone() const override { return new DigitsNumberFormat(*this); }

  using icu::NumberFormat::format;
  icu::UnicodeString& format(double value, icu::UnicodeString& out, icu::FieldPosition& pos) const override {
    return format(static_cast<int64_t>(value), out, pos);
  }
  icu::UnicodeString& format(int32_t value, icu::UnicodeString& out, icu::FieldPosition& pos) const override {
    return format(static_cast<int64_t>(value), out, pos);
  }
  // At least the minimum and at most the maximum number of integer digits,
  // high-order digits dropped, as DecimalFormat does.
  icu::UnicodeString& format(int64_t value, icu::UnicodeString& out, icu::FieldPosition&) const override {
    std::string digits;
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
      digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
      magnitude /= 10;
    } while (magnitude != 0);
    const auto maxDigits = static_cast<std::size_t>(std::max(getMaximumIntegerDigits(), 1));
    const auto minDigits = static_cast<std::size_t>(std::max(getMinimumIntegerDigits(), 0));
    if (digits.size() > maxDigits) digits.erase(0, digits.size() - maxDigits);
    if (digits.size() < minDigits) digits.insert(0, minDigits - digits.size(), '0');
    if (value < 0) out.append(u'-');
    return out.append(icu::UnicodeString(digits.c_str(), static_cast<int32_t>(digits.size()), US_INV));
  }

  using icu::NumberFormat::parse;
  void parse(const icu::UnicodeString& text, icu::Formattable& result,
             icu::ParsePosition& pos) const override {
    const int32_t start = pos.getIndex();
    int32_t i = start;
    std::int64_t value = 0;
    int digits = 0;
    while (i < text.length()) {
      const int32_t digit = u_charDigitValue(text.char32At(i));
      // 18 digits cannot overflow; a longer run matches no date field anyway.
      if (digit < 0 || digits == 18) break;
      value = value * 10 + digit;
      ++digits;
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

icu::UnicodeString unicode(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

constexpr std::string_view kOutputPattern = "yyyy-MM-dd HH:mm:ss";

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

// One formatter for the run, given each pattern in turn: the same as a new
// formatter per pattern (applyPattern resets all the pattern decides, and
// neither parsing nor formatting keeps state), without loading the locale's
// data again. It is on UTC: zone fields in a text still set their own offset,
// and texts without one come out as wall-clock fields counted as UTC.
icu::SimpleDateFormat* IcuDateText::formatterFor(std::string_view pattern) {
  if (!formatter_) {
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(unicode(pattern), icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) return nullptr;
    format->adoptNumberFormat(new DigitsNumberFormat());
    format->setLenient(false);
    format->adoptTimeZone(new icu::SimpleTimeZone(0, icu::UnicodeString(u"UTC")));
    formatter_ = std::move(format);
  } else {
    formatter_->applyPattern(unicode(pattern));
  }
  return formatter_.get();
}

std::optional<Instant> IcuDateText::parse(std::string_view text, std::string_view pattern) {
  icu::SimpleDateFormat* format = formatterFor(pattern);
  if (format == nullptr) return std::nullopt;
  const icu::UnicodeString utext = unicode(text);
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
  icu::SimpleDateFormat* format = formatterFor(kOutputPattern);
  if (format == nullptr) return {};
  icu::UnicodeString out;
  format->format(static_cast<UDate>(instant.time_since_epoch().count()), out);
  std::string utf8;
  out.toUTF8String(utf8);
  return utf8;
}

}  // namespace media
