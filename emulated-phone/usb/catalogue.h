// The served folder as the phone's catalogue: every file and folder an
// object with a handle, in the phone's order. Where the folder is laid out
// as current iOS lays out its store (a top folder DCIM holding only month
// folders "YYYYMM__", "YYYYMM_a", ...), DCIM is handle 1 and hidden: it
// hangs from the storage itself, the month folders from it, and files come
// newest (highest handle) first. Any other layout is shown as it is, in
// name order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "file_system.h"

namespace emulated_phone::usb {

struct CatalogueSetup {
  std::set<std::string> duplicated;       // names listed twice in their folder
  std::map<std::string, uint64_t> large;  // synthetic files: path under the root -> bytes
};

struct CatalogueObject {
  uint32_t handle = 0;
  uint32_t parent = 0;  // the folder holding it; 0 at the root
  std::string path;     // in the file system; empty for a synthetic object
  std::string name;
  bool folder = false;
  bool synthetic = false;  // a --large file, or a folder made to hold one
  uint64_t size = 0;
  int64_t modified = 0;  // seconds
  std::vector<uint32_t> children;  // in the phone's order
};

class Catalogue {
 public:
  static Catalogue scan(FileSystem& files, const CatalogueSetup& setup);

  const CatalogueObject* find(uint32_t handle) const;
  const std::vector<CatalogueObject>& objects() const { return objects_; }
  bool currentIos() const { return current_ios_; }
  // What ObjectInfo names as the parent: the storage id for the hidden DCIM.
  uint32_t shownParent(const CatalogueObject& object, uint32_t storage) const;
  // Association 0xFFFFFFFF: the month folders under the hidden DCIM, or the
  // root's entries.
  std::vector<uint32_t> topLevel() const;
  // Association 0: each folder followed by its files, then its sub-folders
  // (the hidden DCIM first).
  std::vector<uint32_t> wholeTree() const;

 private:
  void walk(uint32_t folder, std::vector<uint32_t>* out) const;

  std::vector<CatalogueObject> objects_;  // handle = index + 1
  std::vector<uint32_t> root_;
  bool current_ios_ = false;
};

// "YYYYMM__" or a sibling made for clashing names, "YYYYMM_a" ... "YYYYMM_z".
bool isMonthFolderName(const std::string& name);

}  // namespace emulated_phone::usb
