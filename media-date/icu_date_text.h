// Date texts parsed and formatted with ICU's SimpleDateFormat (UTS #35
// patterns, locale en_US_POSIX, lenient parsing off). Wall-clock times are
// placed in the process's time zone with the C library's zone database, not
// ICU's bundled zone data.
#pragma once

#include <memory>

#include <unicode/smpdtfmt.h>

#include "platform.h"

namespace media {

class IcuDateText final : public DateText {
 public:
  IcuDateText();
  ~IcuDateText() override;
  std::optional<Instant> parse(std::string_view text, std::string_view pattern) override;
  std::string formatUtc(Instant instant) override;

 private:
  icu::SimpleDateFormat* formatterFor(std::string_view pattern);
  std::unique_ptr<icu::SimpleDateFormat> formatter_;
};

// True when the pattern has a time-zone field outside quoted text.
bool patternHasZoneField(std::string_view pattern);

}  // namespace media
