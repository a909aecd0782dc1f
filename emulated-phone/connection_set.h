// The connections being served, one thread each, so that stopping can cut
// them all and join their threads (a thread must be joined, not just done,
// before the process ends: the libraries free per-thread state on its exit).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace emulated_phone {

class ConnectionSet {
 public:
  ConnectionSet() = default;
  ConnectionSet(const ConnectionSet&) = delete;
  ConnectionSet& operator=(const ConnectionSet&) = delete;
  // Joins what is left; call stopAll() first.
  ~ConnectionSet();

  // Serves `fd` on a new thread with `serve`, then closes it. Takes over
  // `fd` also when no thread can be made (it is closed; false returned).
  bool start(int fd, std::function<void(int)> serve);
  // Joins the threads of connections that ended.
  void reap();
  // Shuts every open connection down, waits up to `timeout` for their
  // threads to end, and joins them. False when some did not end in time.
  bool stopAll(std::chrono::milliseconds timeout);
  size_t size();

 private:
  struct Entry {
    int fd;
    bool done = false;
    std::thread thread;
  };
  std::mutex mutex_;
  std::condition_variable ended_;
  std::list<Entry> entries_;
};

}  // namespace emulated_phone
