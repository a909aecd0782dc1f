// Which camera files are media, and how their dates are written.
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <string_view>

namespace tarnwick {

// The lower-case extensions, without the dot, of the files that are imported.
const std::set<std::string, std::less<>>& supportedExtensions();

// The extension of a name read as a file path: the text after the last dot of
// its last component, without the dot; empty when there is none. A name that
// only starts with a dot (".heic") has none.
std::string_view pathExtension(std::string_view name);

// True when the lower-cased extension of `name` is a supported one.
bool isMediaName(std::string_view name);

// The instant in UTC, whole seconds: 2024-05-01T10:00:00Z. Any second count
// is written exactly: a year past 9999 gets more digits, one before year 0
// (astronomical numbering) a minus sign.
std::string iso8601DateText(std::chrono::sys_seconds date);

}  // namespace tarnwick
