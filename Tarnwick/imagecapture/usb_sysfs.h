// What the USB system knows about a device at a "usb:BUS,DEV" port (bus and
// device number): its strings, which stay the same when it is plugged in again.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace imagecapture {

struct UsbStrings {
  std::string vendorId;  // four hex digits
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// Bus and device number of "usb:001,005"; nothing for other ports.
std::optional<std::pair<int, int>> parseUsbPort(std::string_view port);

// A text that changes whenever a USB device is attached, detached or
// enumerated again, read cheaply from the system (Linux: sysfs and
// /dev/bus/usb). Nothing where the system offers no such way.
std::optional<std::string> usbDevicesSignature();

// Reads the strings of the device from the system; nothing where the system
// does not offer them (only Linux's sysfs is read).
std::optional<UsbStrings> readUsbStrings(int bus, int device);

}  // namespace imagecapture
