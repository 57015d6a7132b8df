#include "ble/scripted/manual_queue.h"

#include <algorithm>

namespace norvel::ble::scripted {

void ManualQueue::asyncAfter(Seconds delay, std::function<void()> task) {
  tasks_.push_back({now_ + delay, std::move(task)});
}

void ManualQueue::advance(Seconds duration) {
  const Seconds end = now_ + duration;
  for (;;) {
    auto next = std::min_element(tasks_.begin(), tasks_.end(),
                                 [](const Task& a, const Task& b) { return a.due < b.due; });
    if (next == tasks_.end() || next->due > end)
      break;
    now_ = next->due;
    auto task = std::move(next->run);
    tasks_.erase(next);
    task();
  }
  now_ = end;
}

}  // namespace norvel::ble::scripted
