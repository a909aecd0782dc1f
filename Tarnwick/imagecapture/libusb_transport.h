// The USB side over libusb-1.0. Cameras are found by class: the first
// interface of the device's active configuration that is a still-image
// interface (class 6, subclass 1, protocol 1) with a bulk-in, a bulk-out
// and an interrupt-in endpoint, wherever it stands (a phone puts its usbmux
// interface first). The configuration is never changed: another program
// (usbmuxd) may be using the device.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "usb_transport.h"

struct libusb_context;

namespace imagecapture {

// What a configuration descriptor says of one interface setting.
struct UsbEndpointDescriptor {
  std::uint8_t address = 0;
  std::uint8_t attributes = 0;  // transfer type in the low two bits
  std::uint16_t maxPacketSize = 0;
};
struct UsbInterfaceDescriptor {
  int number = 0;
  int altSetting = 0;
  std::uint8_t interfaceClass = 0, subclass = 0, protocol = 0;
  std::vector<UsbEndpointDescriptor> endpoints;
};

struct StillImageInterface {
  int number = 0;
  int altSetting = 0;
  std::uint8_t bulkIn = 0, bulkOut = 0, interruptIn = 0;
  std::size_t packetSize = 512;  // of the bulk-in endpoint
};

// The first still-image interface setting with its three endpoints.
std::optional<StillImageInterface> findStillImageInterface(
    const std::vector<UsbInterfaceDescriptor>& configuration);

class LibusbBus final : public UsbBus {
 public:
  // Waits end early once `stop` is true. Nothing (with `error`) when libusb
  // cannot start.
  static std::unique_ptr<LibusbBus> create(const std::atomic<bool>& stop, std::string& error);
  ~LibusbBus() override;

  std::optional<std::vector<UsbCamera>> cameras() override;
  std::unique_ptr<UsbTransport> open(const UsbCamera& camera, UsbResult& failure) override;

 private:
  LibusbBus(libusb_context* context, const std::atomic<bool>& stop) : context_(context), stop_(stop) {}
  libusb_context* context_;
  const std::atomic<bool>& stop_;
};

}  // namespace imagecapture
