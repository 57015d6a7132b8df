#include "ble/bluez/bluez_bluetooth.h"

namespace norvel::ble::bluez {

std::shared_ptr<CentralManager> BluezBluetooth::makeCentralManager(
    CentralManagerDelegate& delegate) {
  auto manager = std::make_shared<BluezCentralManager>(queue_, delegate);
  manager->start();
  managers_.push_back(manager);
  return manager;
}

void BluezBluetooth::closeConnections() {
  for (const auto& manager : managers_)
    manager->closeConnections();
}

}  // namespace norvel::ble::bluez
