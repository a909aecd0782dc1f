#include "oskavel.h"

namespace {
void put_escaped(FILE* stream, unsigned char byte) {
  fprintf(stream, "\\x%02X", byte);
}
}  // namespace

void print_safe_path(FILE* stream, const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p >= 0x20 && *p <= 0x7E) {
      fputc(*p, stream);
    } else {
      put_escaped(stream, *p);
    }
  }
}

void print_report_text(FILE* stream, const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) {
      put_escaped(stream, *p);
    } else {
      fputc(*p, stream);
    }
  }
}
