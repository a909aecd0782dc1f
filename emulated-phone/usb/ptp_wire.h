// How PTP writes things on the wire: little-endian datasets, strings (a
// count byte, UTF-16LE code units, a terminating zero), dates, and the
// 12-byte container header (length, type, code, transaction).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emulated_phone::usb {

// A dataset being written, in PTP's byte order.
class Dataset {
 public:
  Dataset& u8(uint8_t v);
  Dataset& u16(uint16_t v);
  Dataset& u32(uint32_t v);
  Dataset& u64(uint64_t v);
  // A PTP string of these UTF-16 code units (at most 254 are kept).
  Dataset& string(const std::u16string& units);
  Dataset& string(const std::string& utf8);
  Dataset& array16(const std::vector<uint16_t>& values);
  Dataset& array32(const std::vector<uint32_t>& values);
  Dataset& bytes(const std::string& raw);
  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// UTF-8 to UTF-16 code units; a byte that starts no valid sequence is U+FFFD.
std::u16string utf16(const std::string& utf8);
// UTF-8 text in which "\uXXXX" (four hex digits) stands for one UTF-16 code
// unit, so that a name can hold what no file name can (an unpaired
// surrogate, a "/"). False for a malformed escape.
bool utf16WithEscapes(const std::string& text, std::u16string* out);

// Wall-clock time in the process's own time zone (set it to the phone's) as
// the phone writes dates: "YYYYMMDDThhmmss.0".
std::string ptpDate(int64_t unix_seconds);
// Exif's "YYYY:MM:DD HH:MM:SS" as the phone writes it; empty if malformed.
std::string ptpDateFromExif(const std::string& exif);

// The 12-byte header and the payload. A length that does not fit in 32 bits
// is written as 0xFFFFFFFE, as the phone does.
std::string container(uint16_t type, uint16_t code, uint32_t transaction, const std::string& payload,
                      uint64_t announced_payload);
inline std::string container(uint16_t type, uint16_t code, uint32_t transaction,
                             const std::string& payload) {
  return container(type, code, transaction, payload, payload.size());
}
std::string response(uint16_t code, uint32_t transaction, const std::vector<uint32_t>& params = {});

struct Command {
  uint16_t code = 0;
  uint32_t transaction = 0;
  std::vector<uint32_t> params;
  bool has_data = false;   // a data phase from the host came with it
  uint16_t data_code = 0;  // the operation code of that data container
  std::string data;        // its payload
  uint32_t param(size_t i) const { return i < params.size() ? params[i] : 0; }
};

// Parses a command container; false if it is not one.
bool parseCommand(const std::string& bytes, Command* out);
// The header fields of a container (at least 12 bytes).
uint32_t containerLength(const std::string& bytes);
uint16_t containerType(const std::string& bytes);
uint16_t containerCode(const std::string& bytes);
uint32_t containerTransaction(const std::string& bytes);

}  // namespace emulated_phone::usb
