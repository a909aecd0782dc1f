#include "oskavel.h"

namespace {
void put_escaped(FILE* stream, unsigned char byte) {
  fprintf(stream, "\\x%02X", byte);
}

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kLastPrintable = 0x7E;
constexpr unsigned char kDelete = 0x7F;
}  // namespace

void print_safe_path(FILE* stream, const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p >= kFirstPrintable && *p <= kLastPrintable) {
      fputc(*p, stream);
    } else {
      put_escaped(stream, *p);
    }
  }
}

void print_report_text(FILE* stream, const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < kFirstPrintable || *p == kDelete) {
      put_escaped(stream, *p);
    } else {
      fputc(*p, stream);
    }
  }
}

// Well-formed UTF-8: shortest forms only, no surrogates, nothing past
// U+10FFFF, no NUL.
bool is_utf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (c == 0) {
      return false;
    } else if (c < 0x80) {
      ++p;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (size_t i = 2; i < length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += length;
  }
  return true;
}
