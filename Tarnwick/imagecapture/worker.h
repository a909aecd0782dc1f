// The one thread that talks to the cameras: every USB transfer and every
// file write of the layer happens there. It runs posted tasks in order and,
// between them, a periodic tick.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace imagecapture {

class Worker {
 public:
  using Task = std::function<void()>;

  Worker();
  // Tells the running task to stop, runs the finalizer and joins.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

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
  // The flag itself, for waits that must end when it is raised.
  const std::atomic<bool>& stopFlag() const { return stopping_; }

  // Tells the worker to stop (the running task sees `stopping`) and waits
  // at most `grace` for it to run the finalizer and end. False when it is
  // still busy, stuck in a call that does not return: then the worker must
  // not be destroyed, and the process ends without waiting for it.
  bool stop(std::chrono::milliseconds grace);


 private:
  void loop();

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
