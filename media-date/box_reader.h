// ISO base media file format (QuickTime, MP4, HEIF) box headers, and a
// bounds-checked reader for the bytes of small boxes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "byte_source.h"

namespace media {

constexpr std::uint32_t fourcc(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[3]));
}

// A four-character code as UTF-8 text; the byte 0xA9 that starts QuickTime's
// user-data codes reads as the copyright sign, other bytes as Latin-1.
std::string fourccText(std::uint32_t code);

struct BoxHeader {
  std::uint32_t type = 0;
  std::uint64_t start = 0;        // offset of the size field
  std::uint64_t payloadStart = 0;  // after size, type, 64-bit size and uuid
  std::uint64_t end = 0;           // one past the last byte
  std::uint64_t payloadSize() const { return end - payloadStart; }
};

// The header of the box at `at` inside a parent that ends at `limit`. A size
// of 0 means "to the end of the parent". Nothing when the header does not fit,
// the size is smaller than the header, or the box reaches past `limit`.
std::optional<BoxHeader> readBoxHeader(ByteSource& source, std::uint64_t at, std::uint64_t limit);

// Calls `visit` for each child box in [begin, end) until it returns false,
// the children run out, a header is malformed, or `maxBoxes` were visited.
void forEachBox(ByteSource& source, std::uint64_t begin, std::uint64_t end,
                const std::function<bool(const BoxHeader&)>& visit, std::size_t maxBoxes = 4096);

// Big-endian reads from a buffer. A read past the end yields 0 and marks the
// reader failed; everything after that also yields 0.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
  std::uint64_t u64() { return take(8); }
  // An unsigned field of 0, 1, 2, 4 or 8 bytes (0 reads as 0).
  std::uint64_t sized(int bytes);
  std::span<const std::uint8_t> bytes(std::size_t n);
  void skip(std::size_t n) { bytes(n); }

  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }

 private:
  std::uint64_t take(std::size_t n);
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace media
