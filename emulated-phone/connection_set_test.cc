#include "connection_set.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace emulated_phone {
namespace {

using std::chrono::milliseconds;

TEST(ConnectionSet, StopCutsBlockedConnectionsAndJoinsThem) {
  ConnectionSet set;
  std::vector<int> peers;
  std::atomic<int> ended{0};
  for (int i = 0; i < 3; ++i) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peers.push_back(fds[1]);
    ASSERT_TRUE(set.start(fds[0], [&](int fd) {
      char c;
      while (::recv(fd, &c, 1, 0) > 0) {
      }
      ++ended;
    }));
  }
  EXPECT_TRUE(set.stopAll(milliseconds(5000)));
  EXPECT_EQ(ended, 3);
  EXPECT_EQ(set.size(), 0u);
  // Each served descriptor was closed: the peers see the end.
  for (int peer : peers) {
    char c;
    EXPECT_EQ(::recv(peer, &c, 1, 0), 0);
    ::close(peer);
  }
}

TEST(ConnectionSet, EndedConnectionsAreReaped) {
  ConnectionSet set;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ASSERT_TRUE(set.start(fds[0], [](int) {}));
  for (int i = 0; i < 500 && set.size() > 0; ++i) {
    set.reap();
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(set.size(), 0u);
  ::close(fds[1]);
}

TEST(ConnectionSet, StopReportsAConnectionThatDoesNotEnd) {
  ConnectionSet set;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::atomic<bool> release{false};
  ASSERT_TRUE(set.start(fds[0], [&](int) {
    while (!release) std::this_thread::sleep_for(milliseconds(1));
  }));
  EXPECT_FALSE(set.stopAll(milliseconds(20)));
  release = true;  // the destructor joins it
  ::close(fds[1]);
}

}  // namespace
}  // namespace emulated_phone
