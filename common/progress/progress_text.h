// The text of a progress line: counts, bytes in human units, the rate, the
// time left when a total is known, and a label, cut to a terminal's width.
// Pure functions; progress_line.h draws the text on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace progress {

// What a program has done so far. A program that knows its totals (after
// a catalogue) sets them; one that finds its files as it goes leaves them
// unset.
struct Status {
  uint64_t files_done = 0;
  std::optional<uint64_t> files_total;
  uint64_t bytes_done = 0;
  std::optional<uint64_t> bytes_total;
  // What is being worked on (a folder, a file name): raw bytes, escaped
  // when drawn.
  std::string label;
};

// "999 B", "1.0 kB", "12.3 MB", "100 MB": decimal units, one decimal below
// 100 of a unit.
std::string formatBytes(uint64_t bytes);

// "0:07", "12:34", "1:02:03".
std::string formatDuration(uint64_t seconds);

struct Text {
  std::string text;
  size_t columns = 0;  // as a terminal shows it
};

// The line for `status`, fitted into `columns`, e.g.
//   "3/5 files, 12.3 MB of 40.0 MB, 2.1 MB/s, 0:13 left, IMG_0004.HEIC"
//   "1204 files, 3.2 GB, 21.4 MB/s, /DCIM/104APPLE"
// Bytes show once some have moved or a total is known; the rate with a
// known `bytes_per_second`; the time left with a total and a rate above 0.
// In the label, control bytes (0x00-0x1F, 0x7F, and C1 controls) and bytes
// that are not well-formed UTF-8 are written as \xHH. A line too wide
// keeps the end of its label after "..."; with no room for that the label
// goes, and then the counts are cut.
Text render(const Status& status, std::optional<double> bytes_per_second, size_t columns);

}  // namespace progress
