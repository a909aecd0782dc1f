// What a download folder already holds of a device's files, as downloads
// leave them: a file under the device's name, or under the name that
// publishing numbers it with when that one is taken ("IMG_0001 (2).HEIC"),
// with the size the device announced and its capture time as modification
// time. Size and time are the whole proof (rsync's quick check): a different
// file with the same name, size and second cannot be told apart.
//
// A device's dates are its wall-clock time, read in the computer's time
// zone: after the computer changed zones, the same capture time is another
// instant. So a modification time that differs from the capture time by a
// whole number of quarter hours, at most 26 hours (the offsets between time
// zones, UTC-12 to UTC+14), still counts; a different file with the same
// name and size taken that many quarter hours apart cannot be told apart
// either.
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

  // The number of the name under which the folder holds the device's file
  // `name` of `size` bytes captured at `captured` (0: the name itself): one
  // of the names that stand for it is a regular file (not followed through
  // a symbolic link) of that size, modified in that second or a time-zone
  // shift from it. Of several, the closest in time, then the lowest number.
  // Never when the size or the date is unknown.
  std::optional<int> heldAs(std::string_view name, std::optional<std::uint64_t> size,
                            std::optional<Date> captured) const;
  bool holds(std::string_view name, std::optional<std::uint64_t> size,
             std::optional<Date> captured) const {
    return heldAs(name, size, captured).has_value();
  }

 private:
  explicit StoredCopies(std::string folder) : folder_(std::move(folder)) {}

  struct Candidate {
    std::string name;  // in the folder
    int number;
  };
  std::string folder_;
  // Device name -> the names in the folder that may stand for it.
  std::unordered_map<std::string, std::vector<Candidate>> candidates_;
};

}  // namespace imagecapture
