// Scripted stand-ins for the platform layers, for tests of the program's logic.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace media {

class FakeImagePropertyReader final : public ImagePropertyReader {
 public:
  std::optional<PropertyDictionary> result;
  std::vector<std::string> opened;

  std::optional<PropertyDictionary> copyPropertiesOfFirstImage(const std::string& path) override {
    opened.push_back(path);
    return result;
  }
};

class FakeVideoMetadataReader final : public VideoMetadataReader {
 public:
  VideoMetadata result;
  std::vector<std::string> opened;

  VideoMetadata readMetadata(const std::string& path) override {
    opened.push_back(path);
    return result;
  }
};

}  // namespace media
