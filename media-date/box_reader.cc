#include "box_reader.h"

#include <algorithm>
#include <array>

namespace media {

std::string fourccText(std::uint32_t code) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto c = static_cast<std::uint8_t>(code >> shift);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {  // Latin-1 to UTF-8; 0xA9 is the copyright sign in both
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::optional<BoxHeader> readBoxHeader(ByteSource& source, std::uint64_t at, std::uint64_t limit) {
  limit = std::min(limit, source.size());
  if (at > limit || limit - at < 8) return std::nullopt;
  std::array<std::uint8_t, 8> head{};
  if (!source.readAt(at, head)) return std::nullopt;
  ByteReader r(head);
  const std::uint64_t size32 = r.u32();
  BoxHeader box;
  box.type = r.u32();
  box.start = at;
  std::uint64_t headerSize = 8;
  std::uint64_t size = size32;
  if (size32 == 1) {
    if (limit - at < 16) return std::nullopt;
    std::array<std::uint8_t, 8> large{};
    if (!source.readAt(at + 8, large)) return std::nullopt;
    size = ByteReader(large).u64();
    headerSize = 16;
  } else if (size32 == 0) {
    size = limit - at;
  }
  if (box.type == fourcc("uuid")) headerSize += 16;
  if (size < headerSize || size > limit - at) return std::nullopt;
  box.payloadStart = at + headerSize;
  box.end = at + size;
  return box;
}

void forEachBox(ByteSource& source, std::uint64_t begin, std::uint64_t end,
                const std::function<bool(const BoxHeader&)>& visit, std::size_t maxBoxes) {
  std::uint64_t at = begin;
  for (std::size_t n = 0; n < maxBoxes && at < end; ++n) {
    const std::optional<BoxHeader> box = readBoxHeader(source, at, end);
    if (!box || !visit(*box)) return;
    at = box->end;
  }
}

std::uint64_t ByteReader::sized(int bytes) {
  switch (bytes) {
    case 0: return 0;
    case 1: return u8();
    case 2: return u16();
    case 4: return u32();
    case 8: return u64();
    default: ok_ = false; return 0;
  }
}

std::span<const std::uint8_t> ByteReader::bytes(std::size_t n) {
  if (!ok_ || n > bytes_.size() - pos_) {
    ok_ = false;
    return {};
  }
  auto out = bytes_.subspan(pos_, n);
  pos_ += n;
  return out;
}

std::uint64_t ByteReader::take(std::size_t n) {
  const auto b = bytes(n);
  std::uint64_t v = 0;
  for (std::uint8_t byte : b) v = v << 8 | byte;
  return v;
}

}  // namespace media
