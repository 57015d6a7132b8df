#pragma once

#include <optional>

#include "ble/bluetooth.h"
#include "ble/scripted/scripted_central_manager.h"

namespace norvel::ble::scripted {

// The stack behind the unit tests: it owns the one scripted central manager.
class ScriptedBluetooth : public Bluetooth {
 public:
  CentralManager& makeCentralManager(CentralManagerDelegate& delegate) override {
    return central_.emplace(delegate);
  }
  // The manager made last; the reader makes it as it starts.
  ScriptedCentralManager& central() { return central_.value(); }

 private:
  std::optional<ScriptedCentralManager> central_;
};

}  // namespace norvel::ble::scripted
