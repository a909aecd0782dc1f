#include "worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace imagecapture {
namespace {

using namespace std::chrono_literals;

TEST(Worker, TasksRunInOrderOnOneThreadThatIsNotTheCaller) {
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::promise<void> done;
  {
    Worker worker;
    for (int i = 0; i < 50; ++i)
      worker.post([&, i] {
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
        if (i == 49) done.set_value();
      });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  }
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  for (auto id : threads) {
    EXPECT_EQ(id, threads.front());
    EXPECT_NE(id, std::this_thread::get_id());
  }
}

TEST(Worker, TickSetLaterStartsAtOnceAndRepeats) {
  Worker worker;
  worker.post([] {});  // the worker is idle and waiting before the tick exists
  std::this_thread::sleep_for(20ms);
  std::atomic<int> ticks{0};
  std::promise<void> third;
  worker.setTick(10ms, [&] {
    if (++ticks == 3) third.set_value();
  });
  EXPECT_EQ(third.get_future().wait_for(10s), std::future_status::ready);
  worker.setTick(10ms, nullptr);
}

TEST(Worker, TickSoonRunsTheTickRightAfterTheCurrentTask) {
  Worker worker;
  std::vector<std::string> events;  // worker thread only
  std::promise<void> first;
  std::promise<void> ticked;
  int ticks = 0;
  worker.setTick(std::chrono::hours(1), [&] {
    if (++ticks == 1) first.set_value();
    if (ticks == 2) {
      events.push_back("tick");
      ticked.set_value();
    }
  });
  ASSERT_EQ(first.get_future().wait_for(10s), std::future_status::ready);  // the next is an hour away
  worker.post([&] {
    events.push_back("task");
    worker.tickSoon();
  });
  ASSERT_EQ(ticked.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(events, (std::vector<std::string>{"task", "tick"}));
  worker.setTick(std::chrono::hours(1), nullptr);
}

TEST(Worker, StoppingRunsTheFinalizerOnTheWorkerAndDropsQueuedTasks) {
  std::atomic<bool> finalized{false};
  std::atomic<bool> stoppingSeen{false};
  std::thread::id finalizerThread;
  std::atomic<int> ran{0};
  std::promise<void> release;
  std::thread releaser;
  {
    Worker worker;
    std::promise<void> blocked;
    auto releaseFuture = release.get_future();
    worker.post([&] {
      blocked.set_value();
      releaseFuture.wait();
      ++ran;
    });
    worker.post([&] { ++ran; });  // still queued when the worker stops
    worker.setFinalizer([&] {
      finalizerThread = std::this_thread::get_id();
      stoppingSeen = worker.stopping();
      finalized = true;
    });
    blocked.get_future().wait();
    releaser = std::thread([&] {
      std::this_thread::sleep_for(20ms);
      release.set_value();
    });
  }  // the destructor waits for the running task, then finalizes
  releaser.join();
  EXPECT_TRUE(finalized);
  EXPECT_TRUE(stoppingSeen);
  EXPECT_NE(finalizerThread, std::this_thread::get_id());
  EXPECT_EQ(ran, 1);
}

TEST(Worker, StopGivesUpOnATaskThatDoesNotReturnAndSucceedsOnceItHas) {
  Worker worker;
  std::promise<void> blocked;
  std::promise<void> release;
  auto releaseFuture = release.get_future();
  std::atomic<bool> finalized{false};
  worker.setFinalizer([&] { finalized = true; });
  worker.post([&] {
    blocked.set_value();
    releaseFuture.wait();  // a call stuck on a device
  });
  blocked.get_future().wait();
  EXPECT_FALSE(worker.stop(50ms));
  EXPECT_TRUE(worker.stopping());  // the stuck call is told to cancel
  EXPECT_FALSE(finalized);
  release.set_value();
  EXPECT_TRUE(worker.stop(std::chrono::milliseconds(60000)));
  EXPECT_TRUE(finalized);
}

}  // namespace
}  // namespace imagecapture
