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

// The number of a " (k)" that ends `text` (k >= 1, decimal, no leading
// zero), and where that suffix starts.
std::optional<std::size_t> numberSuffixStart(std::string_view text) {
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
  return open;
}

// The device name that `stored` is the numbered form of ("IMG_0001.HEIC"
// for "IMG_0001 (2).HEIC"), or nothing when it has no number.
std::optional<std::string> unnumberedName(std::string_view stored) {
  // numberedName puts " (k)" before the last dot of the name, unless it has
  // none or only a leading one: then at the end. A stored name with a dot
  // past its first byte can only be of the first kind, one without of the
  // second.
  auto dot = stored.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    auto start = numberSuffixStart(stored);
    if (!start || *start == 0) return std::nullopt;
    return std::string(stored.substr(0, *start));
  }
  auto start = numberSuffixStart(stored.substr(0, dot));
  if (!start || *start == 0) return std::nullopt;  // ".HEIC" is numbered ".HEIC (1)"
  return std::string(stored.substr(0, *start)) + std::string(stored.substr(dot));
}

}  // namespace

StoredCopies StoredCopies::read(const std::string& folder) {
  StoredCopies copies(folder);
  DirectoryHandle directory(::opendir(folder.c_str()));
  if (!directory) return copies;
  while (const dirent* entry = ::readdir(directory.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (auto device = unnumberedName(name)) copies.candidates_[*device].push_back(name);
    copies.candidates_[name].push_back(std::move(name));
  }
  return copies;
}

bool StoredCopies::holds(std::string_view name, std::optional<std::uint64_t> size,
                         std::optional<Date> modified) const {
  if (!size || !modified) return false;
  auto found = candidates_.find(std::string(name));
  if (found == candidates_.end()) return false;
  for (const std::string& candidate : found->second) {
    std::string path = folder_;
    if (path.empty() || path.back() != '/') path += '/';
    path += candidate;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (static_cast<std::uint64_t>(st.st_size) == *size &&
        st.st_mtime == modified->time_since_epoch().count())
      return true;
  }
  return false;
}

}  // namespace imagecapture
