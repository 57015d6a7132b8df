#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ble/bluetooth.h"
#include "ble/main_queue.h"
#include "reader/norvel_reader.h"
#include "reader/run_end.h"

namespace norvel::app {

// The whole run's deadline, counted from start-up: finding, connecting and reading.
inline constexpr ble::MainQueue::Seconds kRunDeadline{15.0};

// Creates the one reader of the run and arms the deadline on the main queue. The caller
// keeps the reader alive until the process ends and then runs the queue.
std::unique_ptr<NorvelReader> startRun(std::optional<std::string> target, ble::Bluetooth& bluetooth,
                                       ble::MainQueue& queue, RunEnd& runEnd);

}  // namespace norvel::app
