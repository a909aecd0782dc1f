#include "connection_set.h"

#include <sys/socket.h>
#include <unistd.h>

#include <system_error>

namespace emulated_phone {

ConnectionSet::~ConnectionSet() {
  for (Entry& e : entries_)
    if (e.thread.joinable()) e.thread.join();
}

bool ConnectionSet::start(int fd, std::function<void(int)> serve) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = entries_.emplace_back();
  entry.fd = fd;
  try {
    entry.thread = std::thread([this, &entry, serve = std::move(serve)] {
      serve(entry.fd);
      std::lock_guard<std::mutex> lock(mutex_);
      // Closed under the lock, so stopAll never shuts down a reused number.
      ::close(entry.fd);
      entry.done = true;
      ended_.notify_all();
    });
  } catch (const std::system_error&) {
    ::close(fd);
    entries_.pop_back();
    return false;
  }
  return true;
}

void ConnectionSet::reap() {
  std::list<Entry> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), entries_, it);
      it = next;
    }
  }
  for (Entry& e : finished) e.thread.join();
}

bool ConnectionSet::stopAll(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (Entry& e : entries_)
    if (!e.done) ::shutdown(e.fd, SHUT_RDWR);
  bool all = ended_.wait_for(lock, timeout, [this] {
    for (const Entry& e : entries_)
      if (!e.done) return false;
    return true;
  });
  lock.unlock();
  if (all) reap();
  return all;
}

size_t ConnectionSet::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace emulated_phone
