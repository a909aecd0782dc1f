#include "sidecars.h"

#include <algorithm>
#include <array>

namespace imagecapture {

namespace {

bool isPhotoOrVideo(const FolderEntry& entry) {
  const std::string_view type = entry.mimeType;
  if (type.rfind("image/", 0) == 0 || type.rfind("video/", 0) == 0) return true;
  // Cameras that do not know the type still name their media plainly.
  static constexpr std::array<std::string_view, 16> kMedia = {
      "heic", "heif", "jpg", "jpeg", "png", "dng", "tif", "tiff",
      "mov",  "mp4",  "m4v", "avi",  "gif", "cr2", "nef", "arw"};
  std::string_view stem = nameStem(entry.name);
  if (stem.size() == entry.name.size()) return false;
  std::string extension(entry.name.substr(stem.size() + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return std::find(kMedia.begin(), kMedia.end(), extension) != kMedia.end();
}

}  // namespace

std::string_view nameStem(std::string_view name) {
  auto dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

std::vector<std::size_t> sidecarsOf(std::string_view mainName, const std::vector<FolderEntry>& folder) {
  std::vector<std::size_t> sidecars;
  const std::string_view stem = nameStem(mainName);
  for (std::size_t i = 0; i < folder.size(); ++i) {
    const FolderEntry& entry = folder[i];
    if (entry.name == mainName || entry.name.size() == stem.size()) continue;
    if (nameStem(entry.name) != stem || isPhotoOrVideo(entry)) continue;
    sidecars.push_back(i);
  }
  return sidecars;
}

}  // namespace imagecapture
