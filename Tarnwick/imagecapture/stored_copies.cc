#include "stored_copies.h"

#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <memory>

namespace imagecapture {

namespace {

struct DirectoryClose {
  void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryClose>;

constexpr std::uint64_t kQuarterHour = 15 * 60;
constexpr std::uint64_t kWidestShift = 26 * 3600;  // UTC-12 to UTC+14

// |a - b|, exact for any two values (a device may state any date).
std::uint64_t distance(std::int64_t a, std::int64_t b) {
  return a >= b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)
                : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}

// Whether two times may be two readings of one wall-clock time in two time
// zones: equal, or a whole number of quarter hours apart, at most 26 hours.
bool sameWallClockTime(std::int64_t modified, std::int64_t captured) {
  const std::uint64_t apart = distance(modified, captured);
  return apart <= kWidestShift && apart % kQuarterHour == 0;
}

struct Numbered {
  std::string name;  // the device's
  int number;
};

// The number of a " (k)" that ends `text` (k >= 1, decimal, no leading
// zero), and where that suffix starts.
std::optional<std::pair<std::size_t, int>> numberSuffix(std::string_view text) {
  if (text.empty() || text.back() != ')') return std::nullopt;
  auto open = text.rfind(" (");
  if (open == std::string_view::npos) return std::nullopt;
  std::string_view digits = text.substr(open + 2, text.size() - open - 3);
  if (digits.empty() || digits.front() == '0') return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  int number = 0;  // as numberedName takes it
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number, 10);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return std::pair(open, number);
}

// The device name that `stored` is the numbered form of, with its number
// ("IMG_0001.HEIC" and 2 for "IMG_0001 (2).HEIC"), or nothing when it has
// no number.
std::optional<Numbered> unnumberedName(std::string_view stored) {
  // numberedName puts " (k)" before the last dot of the name, unless it has
  // none or only a leading one: then at the end. A stored name with a dot
  // past its first byte can only be of the first kind, one without of the
  // second.
  auto dot = stored.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    auto suffix = numberSuffix(stored);
    if (!suffix || suffix->first == 0) return std::nullopt;
    return Numbered{std::string(stored.substr(0, suffix->first)), suffix->second};
  }
  auto suffix = numberSuffix(stored.substr(0, dot));
  if (!suffix || suffix->first == 0) return std::nullopt;  // ".HEIC" is numbered ".HEIC (1)"
  return Numbered{std::string(stored.substr(0, suffix->first)) + std::string(stored.substr(dot)),
                  suffix->second};
}

}  // namespace

StoredCopies StoredCopies::read(const std::string& folder) {
  StoredCopies copies(folder);
  DirectoryHandle directory(::opendir(folder.c_str()));
  if (!directory) return copies;
  while (const dirent* entry = ::readdir(directory.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (auto device = unnumberedName(name))
      copies.candidates_[device->name].push_back({name, device->number});
    copies.candidates_[name].push_back({std::move(name), 0});
  }
  return copies;
}

std::optional<int> StoredCopies::heldAs(std::string_view name, std::optional<std::uint64_t> size,
                                        std::optional<Date> captured) const {
  if (!size || !captured) return std::nullopt;
  auto found = candidates_.find(std::string(name));
  if (found == candidates_.end()) return std::nullopt;
  std::optional<std::pair<std::uint64_t, int>> best;  // distance in time, number
  for (const Candidate& candidate : found->second) {
    std::string path = folder_;
    if (path.empty() || path.back() != '/') path += '/';
    path += candidate.name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (static_cast<std::uint64_t>(st.st_size) != *size) continue;
    const std::int64_t modified = st.st_mtime, stamp = captured->time_since_epoch().count();
    if (!sameWallClockTime(modified, stamp)) continue;
    const std::pair<std::uint64_t, int> rank{distance(modified, stamp), candidate.number};
    if (!best || rank < *best) best = rank;
  }
  if (!best) return std::nullopt;
  return best->second;
}

}  // namespace imagecapture
