#pragma once

#include <memory>

#include "ble/central_manager.h"

namespace norvel::ble {

// A Bluetooth LE stack: makes the central manager whose events go to the delegate.
class Bluetooth {
 public:
  virtual ~Bluetooth() = default;
  virtual std::shared_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) = 0;
};

}  // namespace norvel::ble
