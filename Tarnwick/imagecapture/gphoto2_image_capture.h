// The image-capture layer over libgphoto2. Every library call runs on one
// worker thread; notifications are posted to the main run loop.
#pragma once

#include <chrono>
#include <memory>

#include "image_capture.h"
#include "run_loop.h"

namespace imagecapture {

class Gphoto2Worker;

class Gphoto2ImageCapture {
 public:
  // Notifications go to `mainLoop`, which the caller's thread turns.
  explicit Gphoto2ImageCapture(runloop::RunLoop& mainLoop);
  // Cancels a transfer in progress (its temporary file is removed), closes
  // open sessions and stops the worker. Destroy the browser first.
  ~Gphoto2ImageCapture();
  Gphoto2ImageCapture(const Gphoto2ImageCapture&) = delete;
  Gphoto2ImageCapture& operator=(const Gphoto2ImageCapture&) = delete;

  std::unique_ptr<DeviceBrowser> makeDeviceBrowser();

  // Cancels a transfer in progress and closes open sessions, waiting at most
  // `grace`. False when libgphoto2 is stuck in a call that does not return
  // (a stalled transfer): the temporary files of the run are removed all the
  // same, and the caller must end the process without destroying this object.
  bool stop(std::chrono::milliseconds grace);

 private:
  runloop::RunLoop& mainLoop_;
  std::unique_ptr<Gphoto2Worker> worker_;
};

}  // namespace imagecapture
