#include "device_scan.h"

namespace imagecapture {

ScanChanges compareScan(const std::set<std::string>& known, const std::optional<ScanResult>& scan) {
  ScanChanges changes;
  if (!scan) return changes;
  for (const auto& key : known)
    if (!scan->count(key)) changes.gone.push_back(key);
  for (const auto& [key, value] : *scan)
    if (!known.count(key)) changes.added.push_back(key);
  return changes;
}

}  // namespace imagecapture
