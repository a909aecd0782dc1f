// Which files travel with a photo: the files of the same folder whose name
// differs only by its extension and that are not photos or videos themselves
// (IMG_0001.AAE beside IMG_0001.HEIC, but not the IMG_0001.MOV of a Live
// Photo, which is a file of its own).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace imagecapture {

struct FolderEntry {
  std::string name;
  std::string mimeType;  // as the camera reports it; may be empty
};

// The name without its extension ("IMG_0001" for "IMG_0001.HEIC").
std::string_view nameStem(std::string_view name);

// The sidecars of `mainName` among `folder`: their positions, in folder
// order. Entries named like `mainName` itself are not its sidecars.
std::vector<std::size_t> sidecarsOf(std::string_view mainName, const std::vector<FolderEntry>& folder);

}  // namespace imagecapture
