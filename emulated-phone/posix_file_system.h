// FileSystem over a local folder: remote "/" is the folder itself.
#pragma once

#include "file_system.h"

namespace emulated_phone {

class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(std::string root) : root_(std::move(root)) {}
  FsStatus facts(const std::string& path, FileFacts* out) override;
  FsStatus list(const std::string& path, std::vector<std::string>* names) override;
  FsStatus open(const std::string& path, std::unique_ptr<OpenFile>* out) override;

 private:
  std::string local(const std::string& path) const;
  std::string root_;
};

}  // namespace emulated_phone
