// The layer's run loop over the program's runloop::RunLoop: the layers post
// their notifications there, and a pass runs at most one of them.
#pragma once

#include "image_capture.h"
#include "run_loop.h"

namespace imagecapture {

class MainRunLoop : public RunLoop {
 public:
  explicit MainRunLoop(runloop::RunLoop& loop) : loop_(loop) {}
  void runOnceBefore(std::chrono::steady_clock::time_point limit) override {
    loop_.runUntil(limit, /*return_after_task=*/true);
  }

 private:
  runloop::RunLoop& loop_;
};

}  // namespace imagecapture
