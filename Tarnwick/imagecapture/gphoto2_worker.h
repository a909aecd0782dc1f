// The one thread that makes every libgphoto2 call: the library's driver
// loading is not thread-safe and a camera must stay on one thread. It runs
// posted tasks in order and, between them, a periodic tick.
#pragma once

#include <gphoto2/gphoto2.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace imagecapture {

class Gphoto2Worker {
 public:
  using Task = std::function<void()>;

  Gphoto2Worker();
  // Cancels what libgphoto2 is doing, runs the finalizer and joins.
  ~Gphoto2Worker();
  Gphoto2Worker(const Gphoto2Worker&) = delete;
  Gphoto2Worker& operator=(const Gphoto2Worker&) = delete;

  // From any thread.
  void post(Task task);
  // Runs `tick` on the worker every `period`, the first time at once.
  void setTick(std::chrono::milliseconds period, Task tick);
  // Brings the next tick forward to right after the current task.
  void tickSoon();
  // Runs on the worker when it stops.
  void setFinalizer(Task finalizer);

  // True once the worker has been told to stop: work in progress is dropped.
  bool stopping() const { return stopping_.load(); }

  // Tells the worker to stop (cancelling what libgphoto2 is doing) and waits
  // at most `grace` for it to run the finalizer and end. False when it is
  // still busy, stuck in a call that does not return: then the worker must
  // not be destroyed, and the process ends without waiting for it.
  bool stop(std::chrono::milliseconds grace);

  // Worker thread only.
  GPContext* context() const { return context_; }
  CameraAbilitiesList* abilities();  // loaded on first use, then kept
  // Runs `hook` whenever libgphoto2 reports progress, until cleared.
  void setProgressHook(std::function<void()> hook) { progressHook_ = std::move(hook); }
  // The description of a failed call: libgphoto2's text for the code and the
  // last message that the library reported.
  std::string describe(int result);

 private:
  void loop();

  GPContext* context_ = nullptr;
  CameraAbilitiesList* abilities_ = nullptr;
  std::string lastError_;  // worker only
  std::function<void()> progressHook_;  // worker only
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  Task tick_;
  Task finalizer_;
  std::chrono::milliseconds period_{500};
  std::chrono::steady_clock::time_point nextTick_{};
  bool stop_ = false;
  bool finished_ = false;  // the loop has ended and the finalizer has run
  std::condition_variable done_;
  std::thread thread_;
};

}  // namespace imagecapture
