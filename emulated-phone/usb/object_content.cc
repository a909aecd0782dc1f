#include "object_content.h"

#include <algorithm>
#include <cstring>

namespace emulated_phone::usb {

int64_t PaddedFile::readAt(void* data, size_t size, uint64_t offset) {
  if (offset >= size_) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
  size_t got = 0;
  if (offset < original_->size()) {
    const int64_t r = original_->readAt(data, n, offset);
    if (r < 0) return -1;
    got = static_cast<size_t>(r);
    // A short read inside the original is the original's end: filler follows.
  }
  std::memset(static_cast<char*>(data) + got, 0, n - got);
  return static_cast<int64_t>(n);
}

int64_t OffsetPatternFile::readAt(void* data, size_t size, uint64_t offset) {
  if (offset >= size_) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
  auto* out = static_cast<unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t o = offset + i;
    out[i] = static_cast<unsigned char>((o - o % 8) >> (8 * (o % 8)));
  }
  return static_cast<int64_t>(n);
}

}  // namespace emulated_phone::usb
