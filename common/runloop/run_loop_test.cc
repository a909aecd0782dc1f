#include "run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace runloop {
namespace {

using std::chrono::milliseconds;

TEST(RunLoop, RunsTasksFromOtherThreadsInOrderOnTheLoopThread) {
  RunLoop loop;
  std::vector<int> seen;
  std::vector<std::thread::id> threads;
  std::thread producer([&] {
    for (int i = 0; i < 100; ++i)
      loop.post([&, i] {
        seen.push_back(i);
        threads.push_back(std::this_thread::get_id());
      });
  });
  producer.join();
  loop.runUntil(Clock::now() + milliseconds(50), false);
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(RunLoop, ReturnsAfterOneTaskWhenAsked) {
  RunLoop loop;
  int ran = 0;
  loop.post([&] { ++ran; });
  loop.post([&] { ++ran; });
  EXPECT_EQ(loop.runUntil(Clock::now() + milliseconds(500), true),
            RunLoop::Result::kHandledSource);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(loop.pending(), 1u);
}

TEST(RunLoop, PastDeadlineStillRunsQueuedTaskButNeverBlocks) {
  RunLoop loop;
  int ran = 0;
  loop.post([&] { ++ran; });
  auto before = Clock::now();
  loop.runUntil(before - milliseconds(1), false);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(loop.runUntil(before - milliseconds(1), false),
            RunLoop::Result::kTimedOut);
}

TEST(RunLoop, WakesForATaskPostedWhileWaiting) {
  RunLoop loop;
  bool ran = false;
  std::thread later([&] {
    std::this_thread::sleep_for(milliseconds(20));
    loop.post([&] { ran = true; });
  });
  auto result = loop.runUntil(Clock::now() + std::chrono::seconds(10), true);
  later.join();
  EXPECT_EQ(result, RunLoop::Result::kHandledSource);
  EXPECT_TRUE(ran);
}

TEST(RunLoop, StopFromATaskEndsThePassAndDoesNotCarryOver) {
  RunLoop loop;
  int ran = 0;
  loop.post([&] {
    ++ran;
    loop.stop();
  });
  loop.post([&] { ++ran; });
  EXPECT_EQ(loop.runUntil(Clock::now() + std::chrono::seconds(10), false),
            RunLoop::Result::kStopped);
  EXPECT_EQ(ran, 1);
  loop.stop();  // not running: ignored
  EXPECT_EQ(loop.runUntil(Clock::now() + milliseconds(20), false),
            RunLoop::Result::kTimedOut);
  EXPECT_EQ(ran, 2);
}

TEST(RunLoop, StopFromAnotherThreadWakesTheLoop) {
  RunLoop loop;
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    // stop() before the loop runs is ignored, so keep asking until it takes.
    while (!done) {
      loop.stop();
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  EXPECT_EQ(loop.runUntil(Clock::now() + std::chrono::seconds(30), false),
            RunLoop::Result::kStopped);
  done = true;
  stopper.join();
}

TEST(RunLoop, CurrentIsPerThread) {
  RunLoop* main_loop = &RunLoop::current();
  RunLoop* other = nullptr;
  std::thread([&] { other = &RunLoop::current(); }).join();
  EXPECT_EQ(main_loop, &RunLoop::current());
  EXPECT_NE(main_loop, other);
}

}  // namespace
}  // namespace runloop
