// Wall-clock times of the process's time zone turned into instants, with the
// C library's zone database (TZ, /etc/localtime).
#pragma once

#include <cstdint>

namespace media {

// `wall` is a local date and time counted as if it were UTC: seconds since
// 1970-01-01 00:00:00 of the local calendar. Returns the instant (seconds
// since the epoch) at which local clocks showed it.
//  - Overlap (clocks set back, the time occurs twice): the later instant.
//  - Gap (clocks set forward, the time never occurs): the time is read with
//    the offset in force before the gap, so 02:30 in a gap from 02:00 to
//    03:00 gives the instant that is 03:30 after the change.
std::int64_t localWallToInstant(std::int64_t wall);

// The process zone's offset from UTC, in seconds, at `instant`.
std::int64_t localOffsetAt(std::int64_t instant);

}  // namespace media
