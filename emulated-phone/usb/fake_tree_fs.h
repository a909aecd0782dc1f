// A scripted folder tree for the phone's tests: paths to contents, a path
// ending in "/" a folder; every entry modified at `kFakeTreeTime`.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "file_system.h"

namespace emulated_phone::usb {

constexpr uint64_t kFakeTreeTime = 1714557600;  // 2024-05-01T10:00:00Z

struct TextFile : OpenFile {
  explicit TextFile(std::string t) : text(std::move(t)) {}
  std::string text;
  int64_t readAt(void* data, size_t size, uint64_t offset) override {
    const size_t n = offset >= text.size() ? 0 : std::min<size_t>(size, text.size() - offset);
    text.copy(static_cast<char*>(data), n, offset);
    return static_cast<int64_t>(n);
  }
  uint64_t size() const override { return text.size(); }
};

class FakeTreeFs : public FileSystem {
 public:
  explicit FakeTreeFs(std::map<std::string, std::string> files) : files_(std::move(files)) {}
  FsStatus facts(const std::string& path, FileFacts* out) override {
    out->modified_ns = kFakeTreeTime * 1000000000u;
    out->is_folder = path == "/" || files_.count(path + "/");
    if (out->is_folder) return FsStatus::kOk;
    auto it = files_.find(path);
    if (it == files_.end()) return FsStatus::kNotFound;
    out->size = it->second.size();
    return FsStatus::kOk;
  }
  FsStatus list(const std::string& path, std::vector<std::string>* names) override {
    const std::string prefix = path == "/" ? "/" : path + "/";
    for (const auto& [name, _] : files_) {
      if (name.rfind(prefix, 0) != 0 || name == prefix) continue;
      const std::string rest = name.substr(prefix.size());
      const auto slash = rest.find('/');
      if (slash == std::string::npos || slash + 1 == rest.size()) names->push_back(rest.substr(0, slash));
    }
    return FsStatus::kOk;
  }
  FsStatus open(const std::string& path, std::unique_ptr<OpenFile>* out) override {
    *out = std::make_unique<TextFile>(files_.at(path));
    return FsStatus::kOk;
  }

 private:
  std::map<std::string, std::string> files_;
};

}  // namespace emulated_phone::usb
