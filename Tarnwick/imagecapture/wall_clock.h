// A phone's wall-clock time as an instant. PTP dates carry no zone: they are
// read in the computer's zone (TZ). Where the clocks are set back, an hour
// comes twice: its times are always the earlier instant, whatever was read
// before (unlike mktime, whose guess depends on its last call). A time that
// the clocks skip is read with the offset that held before the change.
#pragma once

#include <optional>

#include "image_capture.h"
#include "ptp_codec.h"

namespace imagecapture {

std::optional<Date> instantOf(const ptp::WallTime& time);

// The date a camera file shows: its capture date, else its modification
// date, else none. A text that is not a date counts as none.
std::optional<Date> creationDateOf(std::string_view captureDate, std::string_view modificationDate);

}  // namespace imagecapture
