#include "connection_set.h"

#include <sys/socket.h>

namespace emulated_phone {

void ConnectionSet::add(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  fds_.insert(fd);
}

void ConnectionSet::remove(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  fds_.erase(fd);
  if (fds_.empty()) empty_.notify_all();
}

void ConnectionSet::shutdownAll() {
  // The descriptors stay open until their threads remove them, so none of
  // these can be a reused number.
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
}

bool ConnectionSet::waitEmpty(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return empty_.wait_for(lock, timeout, [this] { return fds_.empty(); });
}

}  // namespace emulated_phone
