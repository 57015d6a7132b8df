// The central manager's events: adapter state, lookup of the sensor, connection.
#include "reader/norvel_reader.h"
#include "reader/peripheral_match.h"

namespace norvel {

void NorvelReader::centralManagerDidUpdateState(ble::CentralManager& central) {
  switch (central.state()) {
    case ble::ManagerState::poweredOn:
      powerOn(central);
      return;
    case ble::ManagerState::unauthorized:
      runEnd_.fail("Error: Bluetooth permission denied\n", 2);
      return;
    default:
      // Not usable yet: wait for a later state report or the deadline.
      return;
  }
}

void NorvelReader::powerOn(ble::CentralManager& central) {
  if (hasTargetIdentifier()) {
    if (auto identifier = ble::Uuid::parse(*targetUUIDString_)) {
      auto known = central.retrievePeripheralsWithIdentifiers({*identifier});
      if (!known.empty()) {
        connectTo(central, *known.front());
        return;
      }
    }
  }
  central.scanForPeripheralsWithServices(std::nullopt, ble::ScanOptions{.allowDuplicates = false});
}

void NorvelReader::centralManagerDidDiscoverPeripheral(
    ble::CentralManager& central, ble::Peripheral& peripheral,
    const ble::AdvertisementData& advertisementData, int /*rssi*/) {
  const std::string name = candidateName(peripheral.name(), advertisementData);
  if (!peripheralQualifies(targetUUIDString_, peripheral.identifier(), name))
    return;
  central.stopScan();
  connectTo(central, peripheral);
}

void NorvelReader::connectTo(ble::CentralManager& central, ble::Peripheral& peripheral) {
  targetPeripheral_ = &peripheral;
  peripheral.setDelegate(this);
  central.connectPeripheral(peripheral);
}

void NorvelReader::centralManagerDidConnectPeripheral(ble::CentralManager& /*central*/,
                                                      ble::Peripheral& peripheral) {
  peripheral.discoverServices({serviceUUID});
}

void NorvelReader::centralManagerDidFailToConnectPeripheral(
    ble::CentralManager& /*central*/, ble::Peripheral& /*peripheral*/,
    const std::optional<ble::Error>& error) {
  const std::string reason = error ? error->localizedDescription : "unknown";
  runEnd_.fail("Error: Failed to connect: " + reason + "\n", 1);
}

}  // namespace norvel
