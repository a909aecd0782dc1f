// Whether a transfer brought the whole file: a driver that loses part of a
// file without an error must not leave a shortened copy that is reported as
// downloaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace imagecapture {

// The size a device reports for files it cannot size in 32 bits (PTP).
inline constexpr std::uint64_t kUnknownPtpSize = 0xFFFFFFFFu;

// Nothing when `received` bytes are what the device announced (or it
// announced no usable size); otherwise a description of the shortfall.
std::optional<std::string> transferShortfall(std::optional<std::uint64_t> announced,
                                             std::uint64_t received);

}  // namespace imagecapture
