#include "ptp_wire.h"

#include <ctime>

#include "byte_order.h"
#include "ptp_codes.h"

namespace emulated_phone::usb {

namespace {

const unsigned char* raw(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool digits(const std::string& s, size_t at, size_t n) {
  for (size_t i = at; i < at + n; ++i)
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

Dataset& Dataset::u8(uint8_t v) {
  data_.push_back(static_cast<char>(v));
  return *this;
}
Dataset& Dataset::u16(uint16_t v) {
  unsigned char b[2];
  storeLe16(b, v);
  data_.append(reinterpret_cast<char*>(b), sizeof b);
  return *this;
}
Dataset& Dataset::u32(uint32_t v) {
  unsigned char b[4];
  storeLe32(b, v);
  data_.append(reinterpret_cast<char*>(b), sizeof b);
  return *this;
}
Dataset& Dataset::u64(uint64_t v) {
  unsigned char b[8];
  storeLe64(b, v);
  data_.append(reinterpret_cast<char*>(b), sizeof b);
  return *this;
}
Dataset& Dataset::string(const std::u16string& units) {
  if (units.empty()) return u8(0);
  const size_t n = std::min<size_t>(units.size(), 254);
  u8(static_cast<uint8_t>(n + 1));
  for (size_t i = 0; i < n; ++i) u16(static_cast<uint16_t>(units[i]));
  return u16(0);
}
Dataset& Dataset::string(const std::string& utf8) { return string(utf16(utf8)); }
Dataset& Dataset::array16(const std::vector<uint16_t>& values) {
  u32(static_cast<uint32_t>(values.size()));
  for (uint16_t v : values) u16(v);
  return *this;
}
Dataset& Dataset::array32(const std::vector<uint32_t>& values) {
  u32(static_cast<uint32_t>(values.size()));
  for (uint32_t v : values) u32(v);
  return *this;
}
Dataset& Dataset::bytes(const std::string& raw_bytes) {
  data_ += raw_bytes;
  return *this;
}

std::u16string utf16(const std::string& utf8) {
  std::u16string units;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t n = 1;
    const size_t want = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (want == 1) {
      cp = c;
    } else if (want > 1 && i + want <= utf8.size()) {
      uint32_t v = c & (0x7F >> want);
      bool ok = true;
      for (size_t k = 1; ok && k < want; ++k) {
        const unsigned char d = static_cast<unsigned char>(utf8[i + k]);
        ok = (d & 0xC0) == 0x80;
        v = (v << 6) | (d & 0x3F);
      }
      if (ok && v <= 0x10FFFF) {
        cp = v;
        n = want;
      }
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  return units;
}

bool utf16WithEscapes(const std::string& text, std::u16string* out) {
  out->clear();
  size_t plain = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !(text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'u')) continue;
    *out += utf16(text.substr(plain, i - plain));
    if (i == text.size()) break;
    uint32_t unit = 0;
    for (size_t k = i + 2; k < i + 6; ++k) {
      const int d = k < text.size() ? hexDigit(text[k]) : -1;
      if (d < 0) return false;
      unit = unit << 4 | static_cast<uint32_t>(d);
    }
    out->push_back(static_cast<char16_t>(unit));
    i += 5;
    plain = i + 1;
  }
  return true;
}

std::string ptpDate(int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm local{};
  if (::localtime_r(&t, &local) == nullptr) return "";
  char text[40];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%S.0", &local);
  return text;
}

std::string ptpDateFromExif(const std::string& exif) {
  // "YYYY:MM:DD HH:MM:SS"
  if (exif.size() < 19 || !digits(exif, 0, 4) || exif[4] != ':' || !digits(exif, 5, 2) ||
      exif[7] != ':' || !digits(exif, 8, 2) || exif[10] != ' ' || !digits(exif, 11, 2) ||
      exif[13] != ':' || !digits(exif, 14, 2) || exif[16] != ':' || !digits(exif, 17, 2))
    return "";
  if (exif.compare(0, 4, "0000") == 0) return "";  // the "no date" Exif writes
  return exif.substr(0, 4) + exif.substr(5, 2) + exif.substr(8, 2) + "T" + exif.substr(11, 2) +
         exif.substr(14, 2) + exif.substr(17, 2) + ".0";
}

std::string container(uint16_t type, uint16_t code, uint32_t transaction, const std::string& payload,
                      uint64_t announced_payload) {
  const uint64_t total = 12 + announced_payload;
  Dataset d;
  d.u32(total >= 0xFFFFFFFFu ? 0xFFFFFFFEu : static_cast<uint32_t>(total)).u16(type).u16(code).u32(transaction);
  return d.data() + payload;
}

std::string response(uint16_t code, uint32_t transaction, const std::vector<uint32_t>& params) {
  Dataset d;
  for (uint32_t p : params) d.u32(p);
  return container(ptp::kResponse, code, transaction, d.data());
}

uint32_t containerLength(const std::string& bytes) { return loadLe32(raw(bytes)); }
uint16_t containerType(const std::string& bytes) { return loadLe16(raw(bytes) + 4); }
uint16_t containerCode(const std::string& bytes) { return loadLe16(raw(bytes) + 6); }
uint32_t containerTransaction(const std::string& bytes) { return loadLe32(raw(bytes) + 8); }

bool parseCommand(const std::string& bytes, Command* out) {
  if (bytes.size() < 12 || bytes.size() > 32 || (bytes.size() - 12) % 4 != 0) return false;
  if (containerLength(bytes) != bytes.size() || containerType(bytes) != ptp::kCommand) return false;
  *out = Command{};
  out->code = containerCode(bytes);
  out->transaction = containerTransaction(bytes);
  for (size_t at = 12; at + 4 <= bytes.size(); at += 4) out->params.push_back(loadLe32(raw(bytes) + at));
  return true;
}

}  // namespace emulated_phone::usb
