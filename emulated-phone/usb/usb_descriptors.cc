#include "usb_descriptors.h"

#include <vector>

namespace emulated_phone::usb {

namespace {

struct Endpoint {
  uint8_t address, attributes;  // 2 bulk, 3 interrupt
  uint16_t max_packet;
  uint8_t interval;
};
struct Interface {
  uint8_t cls, subclass, protocol;
  std::vector<Endpoint> endpoints;
};

const Interface kStillImage{6, 1, 1, {{0x81, 2, 512, 0}, {0x02, 2, 512, 0}, {0x83, 3, 64, 10}}};
const Interface kUsbmux{255, 254, 2, {{0x04, 2, 512, 0}, {0x85, 2, 512, 0}}};
const Interface kNetwork{255, 253, 1, {{0x86, 2, 512, 0}, {0x07, 2, 512, 0}}};
const Interface kAudioControl{1, 1, 0, {}};

// Configurations 1 to 4: PTP alone, the audio one, PTP with usbmux, and
// usbmux, PTP and the network.
const std::vector<std::vector<Interface>>& configurations() {
  static const std::vector<std::vector<Interface>> all = {
      {kStillImage}, {kAudioControl}, {kUsbmux, kStillImage}, {kUsbmux, kStillImage, kNetwork}};
  return all;
}

void put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}

}  // namespace

std::string phoneDescriptors() {
  std::string d;
  // USB 2.0, class per interface, 64-byte endpoint 0, 05ac:12a8, strings 1-3.
  d += std::string("\x12\x01", 2);
  put16(d, 0x0200);
  d += std::string("\x00\x00\x00\x40", 4);
  put16(d, 0x05ac);
  put16(d, 0x12a8);
  put16(d, 0x0001);
  d += std::string("\x01\x02\x03", 3);
  d.push_back(static_cast<char>(configurations().size()));
  uint8_t value = 0;
  for (const auto& interfaces : configurations()) {
    std::string body;
    uint8_t number = 0;
    for (const Interface& i : interfaces) {
      body += std::string("\x09\x04", 2);
      body.push_back(static_cast<char>(number++));
      body.push_back(0);
      body.push_back(static_cast<char>(i.endpoints.size()));
      body.push_back(static_cast<char>(i.cls));
      body.push_back(static_cast<char>(i.subclass));
      body.push_back(static_cast<char>(i.protocol));
      body.push_back(0);
      for (const Endpoint& e : i.endpoints) {
        body += std::string("\x07\x05", 2);
        body.push_back(static_cast<char>(e.address));
        body.push_back(static_cast<char>(e.attributes));
        put16(body, e.max_packet);
        body.push_back(static_cast<char>(e.interval));
      }
    }
    d += std::string("\x09\x02", 2);
    put16(d, static_cast<uint16_t>(9 + body.size()));
    d.push_back(static_cast<char>(interfaces.size()));
    d.push_back(static_cast<char>(++value));
    d += std::string("\x00\xc0\xfa", 3);  // no string, self-powered, 500 mA
    d += body;
  }
  return d;
}

int interfaceClass(int value, unsigned number) {
  if (value < 1 || value > kConfigurations) return -1;
  const auto& interfaces = configurations()[static_cast<size_t>(value - 1)];
  return number < interfaces.size() ? interfaces[number].cls : -1;
}

}  // namespace emulated_phone::usb
