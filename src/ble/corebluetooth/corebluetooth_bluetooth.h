#pragma once

#include <memory>
#include <vector>

#include "ble/bluetooth.h"
#include "ble/corebluetooth/dispatch_main_queue.h"

namespace norvel::ble::corebluetooth {

class CbCentralManager;

// Bluetooth through CoreBluetooth. Its events arrive on libdispatch's main queue, the one
// DispatchMainQueue runs; the queue is taken so that every backend is made the same way.
class CoreBluetooth : public Bluetooth {
 public:
  explicit CoreBluetooth(DispatchMainQueue& queue);
  ~CoreBluetooth() override;

  CentralManager& makeCentralManager(CentralManagerDelegate& delegate) override;

  // Just before the process exits: cancels every connection a manager asked for, so that
  // the sensor is not left connected.
  void closeConnections();

 private:
  std::vector<std::unique_ptr<CbCentralManager>> managers_;
};

}  // namespace norvel::ble::corebluetooth
