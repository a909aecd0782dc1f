// A byte stream to one peer: a plain socket or a TLS session on top of one.
// The protocol code reads and writes through this interface only, so it can
// be driven over a socket pair in tests.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace emulated_phone {

struct ConstBuffer {
  const void* data;
  size_t size;
};

class Stream {
 public:
  virtual ~Stream() = default;
  // Reads exactly `size` bytes. False on end of stream or error.
  virtual bool readFull(void* data, size_t size) = 0;
  // Writes every piece, in order, completely. False on error.
  virtual bool writeAll(std::initializer_list<ConstBuffer> pieces) = 0;
};

}  // namespace emulated_phone
