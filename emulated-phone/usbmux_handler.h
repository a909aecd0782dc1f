// Answers usbmuxd requests (ListDevices, Listen, ReadBUID, ReadPairRecord,
// SavePairRecord, DeletePairRecord, Connect) for the one emulated phone.
#pragma once

#include <cstdint>
#include <string>

#include "device.h"
#include "plist_util.h"

namespace emulated_phone {

struct UsbmuxReply {
  enum class Then {
    kContinue,        // read the next request on this connection
    kListen,          // keep the connection for attach/detach messages
    kLockdown,        // the connection is now a raw stream to lockdown
    kService,         // ... to the service in `service`
    kCloseAtOnce,     // ... to a service that drops it at once
  };
  PlistPtr answer;
  Then then = Then::kContinue;
  std::string service;
};

// usbmuxd result numbers.
enum UsbmuxResult : uint32_t {
  kResultOk = 0,
  kResultBadCommand = 1,
  kResultBadDevice = 2,
  kResultConnectionRefused = 3,
};

// True for the services that speak AFC.
bool isAfcService(const std::string& name);

UsbmuxReply handleUsbmuxRequest(Device& device, plist_t request, Device::Clock::time_point now);

// The messages a Listen connection carries.
PlistPtr attachedMessage(const Device& device);
PlistPtr detachedMessage();
PlistPtr resultMessage(uint32_t number);

}  // namespace emulated_phone
