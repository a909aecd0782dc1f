#include "usbmux_protocol.h"

#include <cstring>

#include "byte_order.h"

namespace emulated_phone {

bool readUsbmuxMessage(Stream& stream, UsbmuxMessage* out) {
  unsigned char header[16];
  if (!stream.readFull(header, sizeof header)) return false;
  uint32_t length = loadLe32(header);
  if (length < sizeof header || length > kUsbmuxMaxMessage) return false;
  out->version = loadLe32(header + 4);
  out->type = loadLe32(header + 8);
  out->tag = loadLe32(header + 12);
  out->payload.resize(length - sizeof header);
  return out->payload.empty() || stream.readFull(out->payload.data(), out->payload.size());
}

bool writeUsbmuxPlist(Stream& stream, uint32_t tag, plist_t message) {
  std::string xml = toXml(message);
  if (xml.size() > kUsbmuxMaxMessage - 16) return false;
  unsigned char header[16];
  storeLe32(header, static_cast<uint32_t>(xml.size() + sizeof header));
  storeLe32(header + 4, 1);
  storeLe32(header + 8, kUsbmuxPlistMessage);
  storeLe32(header + 12, tag);
  return stream.writeAll({{header, sizeof header}, {xml.data(), xml.size()}});
}

}  // namespace emulated_phone
