#include "ble/corebluetooth/corebluetooth_bluetooth.h"

#include "ble/corebluetooth/cb_central_manager.h"

namespace norvel::ble::corebluetooth {

CoreBluetooth::CoreBluetooth(DispatchMainQueue& /*queue*/) {}

CoreBluetooth::~CoreBluetooth() = default;

CentralManager& CoreBluetooth::makeCentralManager(CentralManagerDelegate& delegate) {
  @autoreleasepool {
    return *managers_.emplace_back(std::make_unique<CbCentralManager>(delegate));
  }
}

void CoreBluetooth::closeConnections() {
  @autoreleasepool {
    for (const auto& manager : managers_)
      manager->cancelConnections();
  }
}

}  // namespace norvel::ble::corebluetooth
