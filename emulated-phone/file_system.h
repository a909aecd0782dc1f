// The phone's storage as the AFC service sees it: remote paths ("/DCIM/...")
// in, folder listings, file facts and readable files out. Abstract so that
// the AFC service can be tested over a scripted folder tree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emulated_phone {

enum class FsStatus { kOk, kNotFound, kNotFolder, kIsFolder, kDenied, kIoError };

// What a path leads to. For a link: what it points to, and the link itself.
struct FileFacts {
  bool is_link = false;
  std::string link_target;
  bool is_folder = false;
  uint64_t size = 0;
  uint64_t links = 1;
  uint64_t blocks = 0;
  uint64_t modified_ns = 0;
  uint64_t born_ns = 0;
};

class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Reads up to `size` bytes at `offset`; fewer only at the end of the file.
  // -1 on a read error.
  virtual int64_t readAt(void* data, size_t size, uint64_t offset) = 0;
  virtual uint64_t size() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // `path` is normalized: it starts with "/" and has no "", "." or ".." parts.
  virtual FsStatus facts(const std::string& path, FileFacts* out) = 0;
  // The names in a folder, without "." and "..", in a stable order.
  virtual FsStatus list(const std::string& path, std::vector<std::string>* names) = 0;
  virtual FsStatus open(const std::string& path, std::unique_ptr<OpenFile>* out) = 0;
};

// A remote path as a normalized absolute path inside the served root: "."
// and empty parts dropped, ".." going up but never above "/".
std::string normalizeRemotePath(const std::string& raw);

}  // namespace emulated_phone
