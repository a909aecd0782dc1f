// The image-capture layer over our own PTP client on libusb: cameras are the
// USB devices with a still-image interface; a session is GetDeviceInfo,
// OpenSession and the wait for the phone's store (a locked or untrusted
// phone shows only a placeholder until it is unlocked and trusts the
// computer); the catalogue is every object of the store; a download streams
// GetObject into a temporary file that is published under a free name.
//
// Every USB transfer and file write runs on one worker thread; notifications
// are posted to the main run loop.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "image_capture.h"
#include "run_loop.h"
#include "usb_transport.h"

namespace imagecapture {

class Worker;

struct PtpCaptureOptions {
  // How long a phone that shows no store is given to be unlocked and to
  // trust the computer (its StoreRemoved of the placeholder) before it is
  // reported as locked. After that event, the store is waited for as long
  // as the run lasts: a big library takes a while to enumerate.
  std::chrono::milliseconds trustWait{30000};
  std::chrono::milliseconds pollPeriod{500};
  // Look at the bus only when the system's set of USB devices changed.
  bool watchUsbDevices = true;
};

using UsbBusFactory = std::function<std::unique_ptr<UsbBus>(const std::atomic<bool>& stop)>;

class PtpImageCapture {
 public:
  // Notifications go to `mainLoop`, which the caller's thread turns. The
  // bus is made on the worker by `makeBus` (libusb when not given).
  explicit PtpImageCapture(runloop::RunLoop& mainLoop, UsbBusFactory makeBus = {},
                           PtpCaptureOptions options = {});
  // Stops the worker (see stop). Destroy the browser first.
  ~PtpImageCapture();
  PtpImageCapture(const PtpImageCapture&) = delete;
  PtpImageCapture& operator=(const PtpImageCapture&) = delete;

  std::unique_ptr<DeviceBrowser> makeDeviceBrowser();

  // Ends a transfer in progress (the phone is sent the class Cancel
  // request; the temporary file goes), closes open sessions and stops the
  // worker, waiting at most `grace`. False when the worker is still stuck
  // in a call: the run's temporary files are removed all the same, and the
  // caller must end the process without destroying this object.
  bool stop(std::chrono::milliseconds grace);

 private:
  runloop::RunLoop& mainLoop_;
  UsbBusFactory makeBus_;
  PtpCaptureOptions options_;
  std::unique_ptr<Worker> worker_;
};

}  // namespace imagecapture
