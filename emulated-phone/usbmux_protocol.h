// usbmuxd's framing: a 16-byte little-endian header (total length, version,
// message type, tag) and, for message type 8, a property list.
#pragma once

#include <cstdint>
#include <string>

#include "plist_util.h"
#include "stream.h"

namespace emulated_phone {

constexpr uint32_t kUsbmuxPlistMessage = 8;
constexpr uint32_t kUsbmuxMaxMessage = 1 << 20;

struct UsbmuxMessage {
  uint32_t version = 0;
  uint32_t type = 0;
  uint32_t tag = 0;
  std::string payload;
};

// False at end of stream, on a short read, or on a length outside
// 16..kUsbmuxMaxMessage.
bool readUsbmuxMessage(Stream& stream, UsbmuxMessage* out);
// Writes `message` as an XML property list (the only form clients parse).
bool writeUsbmuxPlist(Stream& stream, uint32_t tag, plist_t message);

}  // namespace emulated_phone
