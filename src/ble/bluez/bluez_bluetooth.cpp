#include "ble/bluez/bluez_bluetooth.h"

namespace norvel::ble::bluez {

CentralManager& BluezBluetooth::makeCentralManager(CentralManagerDelegate& delegate) {
  auto& manager = *managers_.emplace_back(std::make_unique<BluezCentralManager>(queue_, delegate));
  queue_.post([&manager] { manager.start(); });
  return manager;
}

void BluezBluetooth::closeConnections() {
  for (const auto& manager : managers_)
    manager->closeConnections();
}

}  // namespace norvel::ble::bluez
