// What one look for cameras changes: the devices to report as added and as
// removed, from what was known before and what the look found.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace imagecapture {

// Cameras found by one look, by "port|model": model and port.
using ScanResult = std::map<std::string, std::pair<std::string, std::string>>;

struct ScanChanges {
  std::vector<std::string> gone;   // keys no longer there
  std::vector<std::string> added;  // keys not known before
};

// A look that failed (`scan` absent) tells nothing: no device is taken for
// gone because the library could not look this time.
ScanChanges compareScan(const std::set<std::string>& known, const std::optional<ScanResult>& scan);

}  // namespace imagecapture
