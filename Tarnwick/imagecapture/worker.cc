#include "worker.h"

namespace imagecapture {

Worker::Worker() {
  thread_ = std::thread([this] { loop(); });
}

Worker::~Worker() {
  stopping_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Worker::stop(std::chrono::milliseconds grace) {
  stopping_.store(true);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stop_ = true;
    wake_.notify_all();
    if (!done_.wait_for(lock, grace, [this] { return finished_; })) return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

void Worker::post(Task task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void Worker::setTick(std::chrono::milliseconds period, Task tick) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    period_ = period;
    tick_ = std::move(tick);
    nextTick_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

void Worker::tickSoon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nextTick_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

void Worker::setFinalizer(Task finalizer) {
  std::lock_guard<std::mutex> lock(mutex_);
  finalizer_ = std::move(finalizer);
}

void Worker::loop() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    auto wakeAt = tick_ ? nextTick_ : Clock::now() + std::chrono::hours(1);
    wake_.wait_until(lock, wakeAt, [&] {
      return stop_ || !tasks_.empty() || (tick_ && Clock::now() >= nextTick_);
    });
    if (stop_) break;
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
    if (tick_ && Clock::now() >= nextTick_) {
      Task tick = tick_;
      lock.unlock();
      tick();
      lock.lock();
      nextTick_ = Clock::now() + period_;
    }
  }
  Task finalizer = std::move(finalizer_);
  tasks_.clear();
  lock.unlock();
  if (finalizer) finalizer();
  lock.lock();
  finished_ = true;
  done_.notify_all();
}

}  // namespace imagecapture
