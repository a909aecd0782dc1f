// Writes a seed corpus for ptp_fuzzer: answers as a phone sends them, each
// transfer prefixed with its two-byte length.
#include <fstream>
#include <string>
#include <vector>

#include "ptp_codec.h"

using imagecapture::ptp::Bytes;

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  const std::string dir = argv[1];
  int n = 0;
  auto write = [&](const std::vector<Bytes>& transfers) {
    Bytes seed;
    for (const Bytes& t : transfers) {
      seed.push_back(static_cast<std::uint8_t>(t.size()));
      seed.push_back(static_cast<std::uint8_t>(t.size() >> 8));
      seed.insert(seed.end(), t.begin(), t.end());
    }
    std::ofstream(dir + "/seed" + std::to_string(n++), std::ios::binary)
        .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
  };
  auto response = [](std::uint16_t code) {
    Bytes bytes = imagecapture::ptp::commandContainer(code, 1, {});
    bytes[4] = 3;
    return bytes;
  };
  // An ObjectInfo with a name and two dates, in one transfer and split.
  Bytes info(52, 0);
  const std::u16string name = u"IMG_0001.HEIC", date = u"20211005T143000.0";
  for (const std::u16string* text : {&name, &date, &date}) {
    info.push_back(static_cast<std::uint8_t>(text->size() + 1));
    for (char16_t unit : *text) {
      info.push_back(static_cast<std::uint8_t>(unit));
      info.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    info.insert(info.end(), {0, 0});
  }
  info.push_back(0);
  Bytes whole = imagecapture::ptp::dataHeader(0x1009, 1, info.size());
  whole.insert(whole.end(), info.begin(), info.end());
  write({whole, response(0x2001)});
  write({imagecapture::ptp::dataHeader(0x1009, 1, info.size()), info, response(0x2001)});
  write({imagecapture::ptp::dataHeader(0x1009, 1, 5000000000ull), info, response(0x2001)});
  write({imagecapture::ptp::dataHeader(0x1009, 1, 300000), response(0x2007)});
  write({response(0x2019)});
  // The bulk catalogue's records as they stand: one file, a 64-bit size.
  Bytes wide = info;
  wide.insert(wide.begin() + 12, 4, 0);
  Bytes records = {1, 0, 0, 0, static_cast<std::uint8_t>(wide.size()), 0, 0, 0};
  records.insert(records.end(), wide.begin(), wide.end());
  std::ofstream(dir + "/records", std::ios::binary)
      .write(reinterpret_cast<const char*>(records.data()), static_cast<std::streamsize>(records.size()));
  return 0;
}
