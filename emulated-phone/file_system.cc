#include "file_system.h"

namespace emulated_phone {

std::string normalizeRemotePath(const std::string& raw) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= raw.size()) {
    size_t end = raw.find('/', start);
    if (end == std::string::npos) end = raw.size();
    std::string part = raw.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

}  // namespace emulated_phone
