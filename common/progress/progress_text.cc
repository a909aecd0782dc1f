#include "progress_text.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "utf8.h"

namespace progress {
namespace {

constexpr char kSeparator[] = ", ";
constexpr size_t kSeparatorColumns = 2;
constexpr char kEllipsis[] = "...";
constexpr size_t kEllipsisColumns = 3;
// A time left this long says nothing.
constexpr double kLongestTimeLeft = 100.0 * 3600;
// From here on a character may take two columns (wide East Asian forms,
// emoji); counting two for all of them may cut a little early, never late.
constexpr uint32_t kFirstPossiblyWide = 0x1100;

// One piece of a label as drawn: a character, or a byte written as \xHH.
struct Unit {
  std::string text;
  size_t columns;
};

Unit escaped(unsigned char byte) {
  char text[5];
  snprintf(text, sizeof text, "\\x%02X", byte);
  return {text, 4};
}

bool is_control(uint32_t code_point) {
  return code_point < 0x20 || code_point == 0x7F || (code_point >= 0x80 && code_point <= 0x9F);
}

std::vector<Unit> label_units(std::string_view label) {
  std::vector<Unit> units;
  while (!label.empty()) {
    uint32_t code_point = 0;
    const size_t length = utf8::decode(label, &code_point);
    if (length == 0) {
      units.push_back(escaped(static_cast<unsigned char>(label[0])));
      label.remove_prefix(1);
    } else if (is_control(code_point)) {
      for (size_t i = 0; i < length; ++i) units.push_back(escaped(static_cast<unsigned char>(label[i])));
      label.remove_prefix(length);
    } else {
      units.push_back({std::string(label.substr(0, length)), code_point >= kFirstPossiblyWide ? 2u : 1u});
      label.remove_prefix(length);
    }
  }
  return units;
}

// The counts, the bytes, the rate and the time left: all ASCII, so one
// byte is one column.
std::string counts(const Status& status, std::optional<double> bytes_per_second) {
  std::string text = std::to_string(status.files_done);
  if (status.files_total) text += '/', text += std::to_string(*status.files_total);
  text += status.files_done == 1 && !status.files_total ? " file" : " files";
  if (status.bytes_done == 0 && !status.bytes_total) return text;

  text += kSeparator;
  text += formatBytes(status.bytes_done);
  if (status.bytes_total) text += " of ", text += formatBytes(*status.bytes_total);
  if (!bytes_per_second || !(*bytes_per_second >= 0)) return text;
  text += kSeparator;
  text += formatBytes(static_cast<uint64_t>(std::llround(*bytes_per_second)));
  text += "/s";
  if (status.bytes_total && *bytes_per_second > 0 && status.bytes_done <= *status.bytes_total) {
    const double left =
        std::ceil(static_cast<double>(*status.bytes_total - status.bytes_done) / *bytes_per_second);
    if (left < kLongestTimeLeft) {
      text += kSeparator;
      text += formatDuration(static_cast<uint64_t>(left));
      text += " left";
    }
  }
  return text;
}

}  // namespace

std::string formatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  constexpr uint64_t kStep = 1000;
  if (bytes < kStep) return std::to_string(bytes) + " B";
  char text[32];
  double value = static_cast<double>(bytes);
  for (const char* unit : kUnits) {
    value /= kStep;
    // Rounded as printed, so that 999,999 bytes read "1.0 MB", not "1000 kB".
    if (value < 99.95) {
      snprintf(text, sizeof text, "%.1f %s", value, unit);
      return text;
    }
    if (value < 999.5) {
      snprintf(text, sizeof text, "%.0f %s", value, unit);
      return text;
    }
  }
  snprintf(text, sizeof text, "%.0f EB", value);  // not reached with 64 bits
  return text;
}

std::string formatDuration(uint64_t seconds) {
  char text[32];
  const uint64_t hours = seconds / 3600, minutes = seconds / 60 % 60, rest = seconds % 60;
  if (hours > 0) {
    snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, hours, minutes, rest);
  } else {
    snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, minutes, rest);
  }
  return text;
}

Text render(const Status& status, std::optional<double> bytes_per_second, size_t columns) {
  std::string fixed = counts(status, bytes_per_second);
  const std::vector<Unit> units = label_units(status.label);
  size_t label_columns = 0;
  for (const Unit& unit : units) label_columns += unit.columns;

  const size_t before_label = fixed.size() + kSeparatorColumns;
  if (!units.empty() && before_label + label_columns <= columns) {
    std::string text = fixed + kSeparator;
    for (const Unit& unit : units) text += unit.text;
    return {text, before_label + label_columns};
  }
  if (!units.empty() && before_label + kEllipsisColumns < columns) {
    // The end of the label says most (the innermost folder, a file name).
    const size_t room = columns - before_label - kEllipsisColumns;
    size_t taken = 0, first = units.size();
    while (first > 0 && taken + units[first - 1].columns <= room) taken += units[--first].columns;
    if (taken > 0) {
      std::string text = fixed + kSeparator + kEllipsis;
      for (size_t i = first; i < units.size(); ++i) text += units[i].text;
      return {text, before_label + kEllipsisColumns + taken};
    }
  }
  if (fixed.size() > columns) fixed.resize(columns);
  return {fixed, fixed.size()};
}

}  // namespace progress
