// How an object of the phone comes to the computer: GetObject, or for an
// original of 4 GiB or more the phone's own GetPartialObject64 in ranges at
// 64-bit offsets. Each range is a data phase whose container states its
// length; a single GetObject that long can only be read to its last short
// packet, and then the catalogue's 64-bit size tells whether all came.
#pragma once

#include <cstdint>
#include <optional>

#include "ptp_transactions.h"

namespace imagecapture {

// Ranges of this many bytes: far below what a container can state.
inline constexpr std::uint64_t kObjectRange = 256u << 20;

// Reads bytes [offset, offset + length) of object `handle` into `sink`, in
// ranges of at most `range` bytes. The outcome is the last range's, with
// `announced` = `length` and `received` = the bytes of every range; it stops
// at the first range that is not answered OK with exactly its bytes.
PtpOutcome readObjectRange(PtpTransactions& ptp, std::uint32_t handle, std::uint64_t offset,
                           std::uint64_t length, DataSink& sink, std::uint64_t range = kObjectRange);

// Reads object `handle`, whose catalogue gave `size`, into `sink`: in ranges
// when `ranges` (the phone sends originals, so the size is the file's) and
// no container could state the size, unless the phone refuses them; else
// with GetObject. `announced` is then the length the data should have had:
// its container's, or where that gave none, `size`.
PtpOutcome readObject(PtpTransactions& ptp, std::uint32_t handle, std::optional<std::uint64_t> size,
                      bool ranges, DataSink& sink);

}  // namespace imagecapture
