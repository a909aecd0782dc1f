// The phone on umockdev's USB bus: a usb_device in the testbed's sysfs with
// an iPhone's descriptors, whose device node answers usbfs ioctls from the
// UsbLink. Clients must run under umockdev's preload with this process's
// UMOCKDEV_DIR (children inherit it), and so must this process itself, or
// its uevents never reach them.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "usb_link.h"

namespace emulated_phone::usb {


// The testbed: umockdev's fake sysfs and /dev, which every phone on it shares.
class UmockdevBus {
 public:
  UmockdevBus();
  ~UmockdevBus();
  UmockdevBus(const UmockdevBus&) = delete;
  UmockdevBus& operator=(const UmockdevBus&) = delete;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

class UmockdevPhone {
 public:
  UmockdevPhone(UmockdevBus& bus, UsbLink& link, UsbSetup setup);
  ~UmockdevPhone();
  UmockdevPhone(const UmockdevPhone&) = delete;
  UmockdevPhone& operator=(const UmockdevPhone&) = delete;

  // Adds the device to the testbed (an add uevent); false with *error when
  // that fails.
  bool start(std::string* error);
  // The cable is pulled: the link's URBs fail, the device leaves with a
  // remove uevent.
  void unplug();
  // Plugged in again under a new device number: the link starts afresh and
  // the device comes back with an add uevent. Ioctls on a node opened
  // before fail with ENODEV.
  bool plugIn(int device_number, std::string* error);
  // Runs `change` on the link under the device's lock (from any thread),
  // then brings the node's readiness and the bus up to date. A thread of
  // its own calls the link's tick() when its nextWake() comes.
  void withLink(const std::function<void(UsbLink&)>& change);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace emulated_phone::usb
