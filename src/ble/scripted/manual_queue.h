#pragma once

#include <functional>
#include <map>

#include "ble/main_queue.h"

namespace norvel::ble::scripted {

// A main queue on a clock that moves only when the test advances it. Like the real loop, it
// keeps every task it is given until the task has run.
class ManualQueue : public MainQueue {
 public:
  void asyncAfter(Seconds delay, std::function<void()> task) override {
    tasks_.emplace(now_ + delay, std::move(task));
  }

  // Moves the clock forward, running each task that falls due, in the order they fall due.
  void advance(Seconds duration) {
    const Seconds end = now_ + duration;
    while (!tasks_.empty() && tasks_.begin()->first <= end) {
      now_ = tasks_.begin()->first;
      auto task = std::move(tasks_.begin()->second);
      tasks_.erase(tasks_.begin());
      task();
    }
    now_ = end;
  }

 private:
  Seconds now_{0};
  std::multimap<Seconds, std::function<void()>> tasks_;
};

}  // namespace norvel::ble::scripted
