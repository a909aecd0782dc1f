// A small run loop: work handed over from any thread runs on the one thread
// that turns the loop, one task at a time, inside a pass of the loop.
//
// Library callbacks arrive on the libraries' own threads; the platform layers
// post them here so that the programs' handlers always run on the main
// thread, exactly where the program waits for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace runloop {

using Clock = std::chrono::steady_clock;

class RunLoop {
 public:
  enum class Result {
    kHandledSource,  // one task ran and the caller asked to return after it
    kStopped,        // stop() was called during the pass
    kTimedOut,       // the deadline came
  };

  RunLoop() = default;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // The loop of the calling thread; created on first use.
  static RunLoop& current();

  // Queues a task for the loop's thread. Safe from any thread.
  void post(std::function<void()> task);

  // Runs queued tasks, in the order they were posted, until the deadline
  // passes or stop() is called; with return_after_task, returns as soon as
  // one task has run. A task already queued runs even when the deadline has
  // passed, so a pass with a past deadline polls without blocking.
  Result runUntil(Clock::time_point deadline, bool return_after_task);

  // Ends the pass in progress (from a task or from another thread). Has no
  // effect while the loop is not running.
  void stop();

  // Tasks queued and not yet run.
  size_t pending() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool running_ = false;
  bool stop_requested_ = false;
};

}  // namespace runloop
