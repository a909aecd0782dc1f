// The names that one run's downloads get, decided from the catalogue alone
// (no USB, no files): a file keeps its name unless the folder holds it;
// partners (a Live Photo's movie beside its still, a RAW beside its JPEG:
// same phone folder, same name, another media extension) try the number
// that the first of them got in this run, or, in a run that completes an
// earlier import, the number under which the folder holds one of them, so
// a pair stays a pair by name;
// sidecars (IMG_0001.AAE) travel once per run, with the first of their media
// files that arrives, and try that file's number. Every object of the phone
// is a file of its own, also when a folder holds two of the same name: the
// second is numbered as any taken name would be, and two same-named
// sidecars both arrive.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image_capture.h"

namespace imagecapture {

struct CatalogueFile {
  std::uint32_t handle = 0;  // the phone's object handle: unique
  std::uint32_t parent = 0;  // the folder's handle
  std::string name;
  std::optional<std::uint64_t> size;  // announced
  std::optional<Date> date;
};

class ImportNaming {
 public:
  explicit ImportNaming(std::vector<CatalogueFile> files);

  const CatalogueFile* find(std::uint32_t handle) const;
  // The number `handle`'s name tries first: the one its first partner got
  // in this run; else the first number that `heldAs` (a partner ->
  // std::optional<int>) gives for one of its partners, in the phone's
  // order: the name under which the folder holds it from an earlier
  // import; else 0 (the name itself).
  template <typename HeldAs>
  int preferredNumber(std::uint32_t handle, HeldAs heldAs) const;
  int preferredNumber(std::uint32_t handle) const {
    return preferredNumber(handle, [](const CatalogueFile&) { return std::optional<int>(); });
  }
  // `handle` was stored under its name with `number`.
  void stored(std::uint32_t handle, int number);
  // The sidecars that go with `handle` now: those of its folder and stem
  // not taken yet in this run and not `alreadyHeld` (a copy the folder
  // holds from before). They are taken from now on, whatever becomes of them.
  template <typename Held>
  std::vector<const CatalogueFile*> takeSidecars(std::uint32_t handle, Held alreadyHeld);

  // The name a phone's file is stored under: its own, with what a folder
  // cannot hold ("/", NUL) written as "_", and "." or ".." or nothing as "_".
  static std::string storedName(std::string_view phoneName);

 private:
  using Group = std::pair<std::uint32_t, std::string>;  // folder, stem
  Group groupOf(const CatalogueFile& file) const;
  std::vector<const CatalogueFile*> sidecarCandidates(std::uint32_t handle) const;
  // The number `handle`'s group got in this run, if it got one.
  std::optional<int> numberInThisRun(std::uint32_t handle) const;
  // The media files named like `handle` with another extension, in order.
  std::vector<const CatalogueFile*> partners(std::uint32_t handle) const;

  std::vector<CatalogueFile> files_;
  std::map<std::uint32_t, std::size_t> byHandle_;
  std::map<Group, std::vector<std::size_t>> groups_;
  std::map<Group, int> numberOfGroup_;
  std::set<std::uint32_t> sidecarsTaken_;
};

template <typename HeldAs>
int ImportNaming::preferredNumber(std::uint32_t handle, HeldAs heldAs) const {
  if (auto number = numberInThisRun(handle)) return *number;
  for (const CatalogueFile* partner : partners(handle))
    if (std::optional<int> number = heldAs(*partner)) return *number;
  return 0;
}

template <typename Held>
std::vector<const CatalogueFile*> ImportNaming::takeSidecars(std::uint32_t handle, Held alreadyHeld) {
  std::vector<const CatalogueFile*> taken;
  for (const CatalogueFile* sidecar : sidecarCandidates(handle)) {
    if (!sidecarsTaken_.insert(sidecar->handle).second) continue;
    if (!alreadyHeld(*sidecar)) taken.push_back(sidecar);
  }
  return taken;
}

}  // namespace imagecapture
