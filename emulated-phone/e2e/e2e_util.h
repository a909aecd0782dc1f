// Helpers of the end-to-end tests: a served folder under /tmp, running a
// peer tool against the emulator.
#pragma once

#include <string>

namespace emulated_phone::testing {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file (creating its folders) below the tree.
  void write(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

// Bytes that differ from chunk to chunk, so misplaced chunks show.
std::string patternBytes(size_t size);

struct ToolResult {
  int status = -1;
  std::string output;  // standard output and standard error
};
// Runs a shell command with USBMUXD_SOCKET_ADDRESS set to `address`.
ToolResult runTool(const std::string& command, const std::string& address);

}  // namespace emulated_phone::testing
