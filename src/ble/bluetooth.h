#pragma once

#include "ble/central_manager.h"

namespace norvel::ble {

// A Bluetooth LE stack: makes the central manager whose events go to the delegate, and owns
// it for the stack's lifetime.
class Bluetooth {
 public:
  virtual ~Bluetooth() = default;
  virtual CentralManager& makeCentralManager(CentralManagerDelegate& delegate) = 0;
};

}  // namespace norvel::ble
