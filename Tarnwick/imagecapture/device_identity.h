// How a camera on USB is presented: its name, product kind,
// transport and a UUID string that stays the same across replugging.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "usb_sysfs.h"

namespace imagecapture {

struct DeviceIdentity {
  std::string name;
  std::string productKind;
  std::string transportType;
  std::string uuid;
};

// `model`: the name to use when the USB strings give none; `port`:
// "usb:BUS,DEVICE"; `usb` the USB strings, when known.
DeviceIdentity identifyDevice(std::string_view model, std::string_view port,
                              const std::optional<UsbStrings>& usb);

// A name-based (version 5, SHA-1) UUID for `key`, upper-case like the
// platform's UUID strings.
std::string nameBasedUuid(std::string_view key);

}  // namespace imagecapture
