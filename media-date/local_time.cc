#include "local_time.h"

#include <ctime>

namespace media {

std::int64_t localOffsetAt(std::int64_t instant) {
  const std::time_t t = static_cast<std::time_t>(instant);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;  // BSD and glibc field, also on macOS
}

std::int64_t localWallToInstant(std::int64_t wall) {
  tzset();  // the TZ variable may have changed since the last call
  // Zones change their offset at most once within a day in practice: the
  // offsets a day before and a day after bound the candidates.
  constexpr std::int64_t kDay = 86400;
  const std::int64_t before = localOffsetAt(wall - kDay);
  const std::int64_t after = localOffsetAt(wall + kDay);
  const std::int64_t withBefore = wall - before;
  const std::int64_t withAfter = wall - after;
  const bool beforeFits = localOffsetAt(withBefore) == before;
  const bool afterFits = localOffsetAt(withAfter) == after;
  if (beforeFits && afterFits) return withBefore > withAfter ? withBefore : withAfter;
  if (beforeFits) return withBefore;
  if (afterFits) return withAfter;
  // In a gap neither offset shows this wall time: read it with the earlier one.
  return withBefore;
}

}  // namespace media
