// What a download folder already holds of a device's files, as downloads
// leave them: a file under the device's name, or under the name that
// publishing numbers it with when that one is taken ("IMG_0001 (2).HEIC"),
// with the size the device announced and its capture time as modification
// time. Size and time are the whole proof (rsync's quick check): a different
// file with the same name, size and second cannot be told apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "image_capture.h"

namespace imagecapture {

class StoredCopies {
 public:
  // Reads the names in `folder` once; a folder that cannot be read holds
  // nothing.
  static StoredCopies read(const std::string& folder);

  // Whether the folder holds the device's file `name` of `size` bytes
  // captured at `modified`: one of the names that stand for it is a regular
  // file (not followed through a symbolic link) of that size, modified in
  // that second. Never when the size or the date is unknown.
  bool holds(std::string_view name, std::optional<std::uint64_t> size,
             std::optional<Date> modified) const;

 private:
  explicit StoredCopies(std::string folder) : folder_(std::move(folder)) {}

  std::string folder_;
  // Device name -> the names in the folder that may stand for it.
  std::unordered_map<std::string, std::vector<std::string>> candidates_;
};

}  // namespace imagecapture
