#include "utf8.h"

namespace utf8 {

size_t decode(std::string_view text, uint32_t* code_point) {
  if (text.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char c = p[0];
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (c < 0x80) {
    *code_point = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    *code_point = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    *code_point = c & 0x0F;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    *code_point = c & 0x07;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (size_t i = 1; i < length; ++i) {
    if (i > 1 && (p[i] < 0x80 || p[i] > 0xBF)) return 0;
    *code_point = (*code_point << 6) | (p[i] & 0x3F);
  }
  return length;
}

bool isWellFormed(std::string_view text) {
  while (!text.empty()) {
    uint32_t code_point = 0;
    const size_t length = decode(text, &code_point);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

}  // namespace utf8
