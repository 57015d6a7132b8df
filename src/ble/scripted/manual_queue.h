#pragma once

#include <functional>
#include <vector>

#include "ble/main_queue.h"

namespace norvel::ble::scripted {

// A main queue on a clock that moves only when the test advances it.
class ManualQueue : public MainQueue {
 public:
  void asyncAfter(Seconds delay, std::function<void()> task) override;
  // The loop has nothing to wait for in tests: the test drives events and time itself.
  int run() override { return 0; }

  // Moves the clock forward, running each task that falls due, in deadline order.
  void advance(Seconds duration);
  std::size_t pendingTasks() const { return tasks_.size(); }

 private:
  struct Task {
    Seconds due;
    std::function<void()> run;
  };
  Seconds now_{0};
  std::vector<Task> tasks_;
};

}  // namespace norvel::ble::scripted
