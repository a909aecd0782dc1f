#include "wall_clock.h"

#include <ctime>
#include <mutex>

namespace imagecapture {

namespace {

// Seconds since 1970 of a civil date and time read as UTC.
std::int64_t utcSeconds(const ptp::WallTime& t) {
  using namespace std::chrono;
  const sys_days day = year{t.year} / month{static_cast<unsigned>(t.month)} / t.day;
  return day.time_since_epoch().count() * 86400LL + t.hour * 3600LL + t.minute * 60LL + t.second;
}

// The zone's offset from UTC at `instant`, in seconds; nothing where the
// system cannot tell.
std::optional<long> offsetAt(std::int64_t instant) {
  std::time_t at = static_cast<std::time_t>(instant);
  std::tm local{};
  if (::localtime_r(&at, &local) == nullptr) return std::nullopt;
  return local.tm_gmtoff;
}

bool showsAs(std::int64_t instant, const ptp::WallTime& t) {
  std::time_t at = static_cast<std::time_t>(instant);
  std::tm local{};
  if (::localtime_r(&at, &local) == nullptr) return false;
  return local.tm_year + 1900 == t.year && local.tm_mon + 1 == t.month && local.tm_mday == t.day &&
         local.tm_hour == t.hour && local.tm_min == t.minute && local.tm_sec == t.second;
}

}  // namespace

std::optional<Date> instantOf(const ptp::WallTime& time) {
  const std::int64_t wall = utcSeconds(time);
  if (time.offsetMinutes) return Date(std::chrono::seconds(wall - *time.offsetMinutes * 60LL));
  static std::once_flag zoneRead;
  std::call_once(zoneRead, [] { ::tzset(); });
  // The offsets in force around that wall time; a wall time maps to
  // wall - offset for whichever of them shows it.
  std::optional<std::int64_t> best;
  std::optional<long> before;
  for (std::int64_t probe : {wall - 86400, wall, wall + 86400}) {
    auto offset = offsetAt(probe);
    if (!offset) continue;
    if (!before) before = offset;
    const std::int64_t candidate = wall - *offset;
    if (showsAs(candidate, time) && (!best || candidate < *best)) best = candidate;
  }
  if (!best && before) best = wall - *before;  // skipped by the clocks
  if (!best) return std::nullopt;
  return Date(std::chrono::seconds(*best));
}

std::optional<Date> creationDateOf(std::string_view captureDate, std::string_view modificationDate) {
  for (std::string_view text : {captureDate, modificationDate})
    if (auto wall = ptp::parseDate(text))
      if (auto instant = instantOf(*wall)) return instant;
  return std::nullopt;
}

}  // namespace imagecapture
