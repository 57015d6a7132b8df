#include "app/run_start.h"

namespace norvel::app {

std::unique_ptr<NorvelReader> startRun(std::optional<std::string> target, ble::Bluetooth& bluetooth,
                                       ble::MainQueue& queue, RunEnd& runEnd) {
  auto reader = std::make_unique<NorvelReader>(std::move(target), bluetooth, runEnd);
  // The deadline looks at no state: wherever the run stands, it ends it the same way.
  queue.asyncAfter(kRunDeadline,
                   [&runEnd] { runEnd.fail("Error: Timeout searching for Norvel sensor\n", 1); });
  return reader;
}

}  // namespace norvel::app
