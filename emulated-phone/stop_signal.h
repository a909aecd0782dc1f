// The emulator-wide "we are stopping" flag, with sleeps that end early when
// it is raised.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace emulated_phone {

class StopSignal {
 public:
  void raise() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      raised_ = true;
    }
    changed_.notify_all();
  }
  bool raised() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_;
  }
  // Sleeps for `duration`; false when the signal was raised first.
  bool sleepFor(std::chrono::milliseconds duration) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, duration, [this] { return raised_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool raised_ = false;
};

}  // namespace emulated_phone
