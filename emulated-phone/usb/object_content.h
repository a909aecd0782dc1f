// Object contents the phone makes rather than reads: a "converted" file (the
// original's bytes, then zero filler up to the converter's estimate) and a
// synthetic large file whose bytes are computed from their offset.
#pragma once

#include <cstdint>
#include <memory>

#include "file_system.h"

namespace emulated_phone::usb {

// The first `size` bytes of `original`, then zeros up to `size`.
class PaddedFile : public OpenFile {
 public:
  PaddedFile(std::unique_ptr<OpenFile> original, uint64_t size)
      : original_(std::move(original)), size_(size) {}
  int64_t readAt(void* data, size_t size, uint64_t offset) override;
  uint64_t size() const override { return size_; }

 private:
  std::unique_ptr<OpenFile> original_;
  uint64_t size_;
};

// `size` bytes that cost nothing: the byte at offset o is byte (o % 8) of
// the little-endian 64-bit value o - o % 8, so every aligned 8-byte word
// holds its own offset.
class OffsetPatternFile : public OpenFile {
 public:
  explicit OffsetPatternFile(uint64_t size) : size_(size) {}
  int64_t readAt(void* data, size_t size, uint64_t offset) override;
  uint64_t size() const override { return size_; }

 private:
  uint64_t size_;
};

}  // namespace emulated_phone::usb
