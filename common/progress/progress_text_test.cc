#include "progress_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using progress::Status;

TEST(ProgressTextTest, BytesAndDurations) {
  const std::pair<uint64_t, const char*> bytes[] = {
      {0, "0 B"},         {999, "999 B"},   {1000, "1.0 kB"},      {99949, "99.9 kB"},
      {99950, "100 kB"},  {999499, "999 kB"}, {999500, "1.0 MB"}, {1234567890, "1.2 GB"},
      {std::numeric_limits<uint64_t>::max(), "18.4 EB"}};
  for (const auto& [value, text] : bytes) EXPECT_EQ(progress::formatBytes(value), text) << value;
  const std::pair<uint64_t, const char*> durations[] = {
      {0, "0:00"}, {59, "0:59"}, {3599, "59:59"}, {3600, "1:00:00"}, {360000, "100:00:00"}};
  for (const auto& [value, text] : durations) EXPECT_EQ(progress::formatDuration(value), text);
}

TEST(ProgressTextTest, RenderFitsTheWidth) {
  struct Row {
    uint64_t files;
    std::optional<uint64_t> files_total;
    uint64_t bytes;
    std::optional<uint64_t> bytes_total;
    const char* label;
    std::optional<double> rate;
    size_t columns;
    const char* text;
    size_t shown;  // columns on the terminal
  };
  const Row rows[] = {
      {0, {}, 0, {}, "", {}, 80, "0 files", 7},
      {1, {}, 0, {}, "", 5.0, 80, "1 file", 6},
      {1, 5, 0, {}, "", {}, 80, "1/5 files", 9},
      {3, {}, 70000, {}, "", {}, 80, "3 files, 70.0 kB", 16},
      {3, {}, 2500000, {}, "/DCIM/100APPLE", 2e6, 80,
       "3 files, 2.5 MB, 2.0 MB/s, /DCIM/100APPLE", 41},
      // Totals known: files of the total, bytes of the total, time left.
      {3, 5, 12300000, 40000000, "IMG_0004.HEIC", 2.1e6, 80,
       "3/5 files, 12.3 MB of 40.0 MB, 2.1 MB/s, 0:14 left, IMG_0004.HEIC", 65},
      {0, 5, 0, 40000000, "", 0.0, 80, "0/5 files, 0 B of 40.0 MB, 0 B/s", 32},
      {0, {}, 1, 1000000000, "", 1.0, 80, "0 files, 1 B of 1.0 GB, 1 B/s", 29},
      // Nothing a phone names can move the cursor or break the line.
      {0, {}, 0, {}, "a\tb\x7f\xc2\x85\xff Ф\x1b[2J", {}, 80,
       "0 files, a\\x09b\\x7F\\xC2\\x85\\xFF Ф\\x1B[2J", 40},
      // Too wide: the end of the label stays; an escape or a wide
      // character is never split; then the label goes, then the counts.
      {3, {}, 70000, {}, "/DCIM/100APPLE", {}, 30, "3 files, 70.0 kB, .../100APPLE", 30},
      {3, {}, 0, {}, "ab\x01" "cd", {}, 15, "3 files, ...cd", 14},
      {0, {}, 0, {}, "写真写真", {}, 14, "0 files, ...真", 14},
      {3, {}, 0, {}, "/DCIM", {}, 12, "3 files", 7},
      {3, {}, 0, {}, "/DCIM", {}, 5, "3 fil", 5},
      {3, {}, 0, {}, "/DCIM", {}, 0, "", 0},
  };
  for (const Row& row : rows) {
    const Status status{row.files, row.files_total, row.bytes, row.bytes_total, row.label};
    const progress::Text text = progress::render(status, row.rate, row.columns);
    EXPECT_EQ(text.text, row.text) << &row - rows;
    EXPECT_EQ(text.columns, row.shown) << &row - rows;
  }
}

}  // namespace
