// Explicit little- and big-endian loads and stores of wire integers.
#pragma once

#include <cstdint>

namespace emulated_phone {

inline uint16_t loadLe16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t loadLe32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t loadLe64(const unsigned char* p) {
  return uint64_t(loadLe32(p)) | uint64_t(loadLe32(p + 4)) << 32;
}
inline uint32_t loadBe32(const unsigned char* p) {
  return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}
inline void storeLe16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void storeLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void storeLe64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void storeBe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (3 - i)));
}

}  // namespace emulated_phone
