// Stream over a connected socket. Does not own the descriptor.
#pragma once

#include "stream.h"

namespace emulated_phone {

class FdStream : public Stream {
 public:
  explicit FdStream(int fd) : fd_(fd) {}
  bool readFull(void* data, size_t size) override;
  bool writeAll(std::initializer_list<ConstBuffer> pieces) override;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace emulated_phone
