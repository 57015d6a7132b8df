#pragma once

#include <chrono>
#include <functional>

namespace norvel::ble {

// The single-threaded loop that runs every Bluetooth event and the run's deadline, one
// callback at a time.
class MainQueue {
 public:
  using Seconds = std::chrono::duration<double>;

  virtual ~MainQueue() = default;
  // Runs the task once, on this queue, when the monotonic clock has advanced by the delay.
  // Every task given runs: a later call never replaces or cancels an earlier one.
  virtual void asyncAfter(Seconds delay, std::function<void()> task) = 0;
};

}  // namespace norvel::ble
