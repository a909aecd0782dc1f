#include "e2e/e2e_util.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace emulated_phone::testing {

TempTree::TempTree() {
  char tmpl[] = "/tmp/emulated-phone-tree-XXXXXX";
  if (::mkdtemp(tmpl)) path_ = tmpl;
}

TempTree::~TempTree() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void TempTree::write(const std::string& relative, const std::string& content) const {
  std::filesystem::path file = std::filesystem::path(path_) / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary).write(content.data(), static_cast<long>(content.size()));
}

std::string patternBytes(size_t size) {
  std::string out(size, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

ToolResult runTool(const std::string& command, const std::string& address) {
  std::string full = "USBMUXD_SOCKET_ADDRESS='" + address + "' timeout 20 " + command + " 2>&1";
  ToolResult result;
  struct PipeCloser {
    void operator()(FILE* f) const {
      if (f) pclose(f);
    }
  };
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return result;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.output.append(buf, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace emulated_phone::testing
