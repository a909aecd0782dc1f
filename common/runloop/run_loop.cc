#include "run_loop.h"

#include <utility>

namespace runloop {

RunLoop& RunLoop::current() {
  thread_local RunLoop loop;
  return loop;
}

void RunLoop::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) stop_requested_ = true;
  }
  wake_.notify_all();
}

size_t RunLoop::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

RunLoop::Result RunLoop::runUntil(Clock::time_point deadline,
                                  bool return_after_task) {
  std::unique_lock<std::mutex> lock(mutex_);
  running_ = true;
  stop_requested_ = false;
  Result result = Result::kTimedOut;
  for (;;) {
    wake_.wait_until(lock, deadline,
                     [this] { return stop_requested_ || !tasks_.empty(); });
    if (stop_requested_) {
      result = Result::kStopped;
      break;
    }
    if (tasks_.empty()) break;  // the deadline came
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
    if (stop_requested_) {
      result = Result::kStopped;
      break;
    }
    if (return_after_task) {
      result = Result::kHandledSource;
      break;
    }
    if (Clock::now() >= deadline) break;
  }
  running_ = false;
  stop_requested_ = false;
  return result;
}

}  // namespace runloop
