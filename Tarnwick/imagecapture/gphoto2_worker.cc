#include "gphoto2_worker.h"

#include <cstdarg>
#include <cstdio>

namespace imagecapture {

Gphoto2Worker::Gphoto2Worker() {
  context_ = gp_context_new();
  gp_context_set_cancel_func(
      context_,
      [](GPContext*, void* data) {
        return static_cast<Gphoto2Worker*>(data)->stopping_.load() ? GP_CONTEXT_FEEDBACK_CANCEL
                                                                  : GP_CONTEXT_FEEDBACK_OK;
      },
      this);
  gp_context_set_error_func(
      context_,
      [](GPContext*, const char* text, void* data) {
        static_cast<Gphoto2Worker*>(data)->lastError_ = text ? text : "";
      },
      this);
  gp_context_set_progress_funcs(
      context_, [](GPContext*, float, const char*, void*) -> unsigned int { return 0; },
      [](GPContext*, unsigned int, float, void* data) {
        auto* worker = static_cast<Gphoto2Worker*>(data);
        if (worker->progressHook_) worker->progressHook_();
      },
      [](GPContext*, unsigned int, void*) {}, this);
  thread_ = std::thread([this] { loop(); });
}

Gphoto2Worker::~Gphoto2Worker() {
  stopping_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (abilities_) gp_abilities_list_free(abilities_);
  gp_context_unref(context_);
}

bool Gphoto2Worker::stop(std::chrono::milliseconds grace) {
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

void Gphoto2Worker::post(Task task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void Gphoto2Worker::setTick(std::chrono::milliseconds period, Task tick) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    period_ = period;
    tick_ = std::move(tick);
    nextTick_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

void Gphoto2Worker::tickSoon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nextTick_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

void Gphoto2Worker::setFinalizer(Task finalizer) {
  std::lock_guard<std::mutex> lock(mutex_);
  finalizer_ = std::move(finalizer);
}

CameraAbilitiesList* Gphoto2Worker::abilities() {
  if (!abilities_) {
    gp_abilities_list_new(&abilities_);
    gp_abilities_list_load(abilities_, context_);
  }
  return abilities_;
}

std::string Gphoto2Worker::describe(int result) {
  std::string text = gp_result_as_string(result);
  text += " (" + std::to_string(result) + ")";
  if (!lastError_.empty()) {
    text += ": " + lastError_;
    lastError_.clear();
  }
  return text;
}

void Gphoto2Worker::loop() {
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
