#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <vector>

#include "ble/bluez/sd_handles.h"
#include "ble/main_queue.h"

namespace norvel::ble::bluez {

// The main queue as the thread's default sd-event loop. The D-Bus connection is attached
// to the same loop, so the deadline, signals and bus traffic run one callback at a time.
class SdEventQueue : public MainQueue {
 public:
  // Throws std::system_error when the loop cannot be created.
  SdEventQueue();

  // Each call arms a timer of its own, so every task given runs once.
  void asyncAfter(Seconds delay, std::function<void()> task) override;
  // sd_event_loop: returns only when the loop is exited, with its exit code.
  int run();

  // Runs the task from the loop, soon, after every task posted before it. A request that
  // fails at once reports the failure this way, never from inside the request.
  void post(std::function<void()> task);

  // Blocks the signals that ask a process to end (SIGINT, SIGTERM, SIGHUP, SIGQUIT) and
  // delivers them on the loop to the handler instead.
  // Throws std::system_error when the loop cannot watch them.
  void handleTerminationSignals(std::function<void(int signal)> handler);

  sd_event* event() const { return event_.get(); }

 private:
  // A task waiting for its delay; the timer's userdata points at it.
  struct Timer {
    SdEventQueue* queue;
    EventSourcePtr source;
    std::function<void()> task;
  };

  static int timerDue(sd_event_source* source, std::uint64_t usec, void* userdata);
  static int postedTaskDue(sd_event_source* source, void* userdata);
  static int signalReceived(sd_event_source* source, const struct signalfd_siginfo* info,
                            void* userdata);

  EventPtr event_;
  // A list, so that a timer stays where it is while others come and go.
  std::list<Timer> timers_;
  EventSourcePtr postedSource_;
  std::deque<std::function<void()>> posted_;
  std::function<void(int)> signalHandler_;
  std::vector<EventSourcePtr> signalSources_;
};

}  // namespace norvel::ble::bluez
