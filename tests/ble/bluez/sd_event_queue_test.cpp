#include "ble/bluez/sd_event_queue.h"

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace norvel::ble::bluez {
namespace {

using Clock = std::chrono::steady_clock;

TEST(SdEventQueueTest, PostedTasksAndTimersRunFromTheLoopEachInTheirOrder) {
  SdEventQueue queue;
  std::vector<std::string> posted;
  std::vector<std::string> timers;
  queue.asyncAfter(MainQueue::Seconds(0.03), [&] {
    timers.push_back("30 ms");
    sd_event_exit(queue.event(), 7);
  });
  queue.asyncAfter(MainQueue::Seconds(0.01), [&] { timers.push_back("10 ms"); });
  queue.asyncAfter(MainQueue::Seconds(0), [&] { timers.push_back("0 ms"); });
  queue.post([&] {
    posted.push_back("first");
    queue.post([&] { posted.push_back("posted by first"); });
  });
  queue.post([&] { posted.push_back("second"); });
  EXPECT_TRUE(posted.empty());
  EXPECT_TRUE(timers.empty());

  EXPECT_EQ(queue.run(), 7);
  EXPECT_EQ(posted, (std::vector<std::string>{"first", "second", "posted by first"}));
  EXPECT_EQ(timers, (std::vector<std::string>{"0 ms", "10 ms", "30 ms"}));
}

TEST(SdEventQueueTest, TimerFiresOnTimeNotCoalescedLater) {
  SdEventQueue queue;
  const auto delay = std::chrono::milliseconds(50);
  const auto start = Clock::now();
  Clock::duration elapsed{};
  queue.asyncAfter(MainQueue::Seconds(delay), [&] {
    elapsed = Clock::now() - start;
    sd_event_exit(queue.event(), 0);
  });
  EXPECT_EQ(queue.run(), 0);
  EXPECT_GE(elapsed, delay);
  EXPECT_LT(elapsed, delay + std::chrono::milliseconds(50));
}

TEST(SdEventQueueTest, TerminationSignalsReachTheHandlerOnTheLoop) {
  SdEventQueue queue;
  std::vector<int> received;
  queue.handleTerminationSignals([&](int signal) {
    received.push_back(signal);
    if (received.size() == 2)
      sd_event_exit(queue.event(), 0);
  });
  queue.post([] {
    raise(SIGTERM);
    raise(SIGINT);
  });
  EXPECT_EQ(queue.run(), 0);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE((received == std::vector<int>{SIGINT, SIGTERM}) ||
              (received == std::vector<int>{SIGTERM, SIGINT}));
}

}  // namespace
}  // namespace norvel::ble::bluez
