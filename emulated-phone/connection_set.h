// The connections being served, so that stopping can cut them all and wait
// for their threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace emulated_phone {

class ConnectionSet {
 public:
  void add(int fd);
  // Called by a connection's thread before it closes `fd`.
  void remove(int fd);
  // Shuts every registered socket down, which wakes their threads.
  void shutdownAll();
  // Waits until every connection was removed; false on timeout.
  bool waitEmpty(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable empty_;
  std::set<int> fds_;
};

}  // namespace emulated_phone
