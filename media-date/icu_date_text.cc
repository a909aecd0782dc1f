#include "icu_date_text.h"

#include <cmath>
#include <memory>

#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/simpletz.h>
#include <unicode/unistr.h>

#include "local_time.h"

namespace media {
namespace {

// A formatter on UTC: zone fields in the text still set their own offset,
// and texts without one come out as wall-clock fields counted as UTC.
std::unique_ptr<icu::SimpleDateFormat> utcFormatter(std::string_view pattern) {
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(
      icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))),
      icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) return nullptr;
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

std::optional<Instant> IcuDateText::parse(std::string_view text, std::string_view pattern) {
  const std::unique_ptr<icu::SimpleDateFormat> format = utcFormatter(pattern);
  if (!format) return std::nullopt;
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
  const std::unique_ptr<icu::SimpleDateFormat> format = utcFormatter("yyyy-MM-dd HH:mm:ss");
  if (!format) return {};
  icu::UnicodeString out;
  format->format(static_cast<UDate>(instant.time_since_epoch().count()), out);
  std::string utf8;
  out.toUTF8String(utf8);
  return utf8;
}

}  // namespace media
