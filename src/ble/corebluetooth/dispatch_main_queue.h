#pragma once

#include <array>
#include <functional>

#include "ble/main_queue.h"

namespace norvel::ble::corebluetooth {

// The main queue as libdispatch's main queue, the queue CoreBluetooth delivers on when its
// central manager has no queue of its own. The deadline and the termination signals are
// dispatch work on it too, so every callback runs one at a time on the main thread.
class DispatchMainQueue : public MainQueue {
 public:
  // dispatch_after_f on the main queue; the task cannot be cancelled.
  void asyncAfter(Seconds delay, std::function<void()> task) override;
  // dispatch_main: the main thread serves the main queue until the process exits.
  [[noreturn]] void run();

  // Sets SIGINT, SIGTERM, SIGHUP and SIGQUIT to be ignored, so that they no longer kill
  // the process, and watches them with dispatch signal sources that call the handler on
  // the main queue.
  void handleTerminationSignals(std::function<void(int signal)> handler);

 private:
  struct SignalWatch {
    DispatchMainQueue* queue;
    int signal;
  };

  static void signalReceived(void* context);

  std::function<void(int)> signalHandler_;
  std::array<SignalWatch, 4> watches_{};
};

}  // namespace norvel::ble::corebluetooth
