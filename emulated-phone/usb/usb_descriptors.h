// The phone's USB descriptors, as the sysfs "descriptors" file holds them:
// the device descriptor, then each of its configurations. Like an iPhone it
// offers four: 1 the still-image interface alone (6/1/1: bulk in 0x81, bulk
// out 0x02, interrupt in 0x83), 2 an audio one, 3 usbmux (vendor class
// 255/254/2) and still image, 4 usbmux, still image and network. usbmuxd
// makes 4 the active one, so the camera is not interface 0 there.
#pragma once

#include <cstdint>
#include <string>

namespace emulated_phone::usb {

constexpr int kConfigurations = 4;
// What usbmuxd leaves active, and what the kernel chooses without it.
constexpr int kUsbmuxConfiguration = 4;
constexpr int kPtpOnlyConfiguration = 1;

// The descriptors as bytes.
std::string phoneDescriptors();
// The class of interface `number` in configuration `value` (1 to 4); -1 if
// there is none.
int interfaceClass(int value, unsigned number);

}  // namespace emulated_phone::usb
