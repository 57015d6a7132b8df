#pragma once

#include <optional>
#include <string>

#include "ble/bluetooth.h"
#include "ble/central_manager.h"
#include "ble/peripheral.h"
#include "ble/uuid.h"
#include "reader/run_end.h"

namespace norvel {

// Drives the central from the adapter's state to one read of the sensor's readings, by
// reacting to events: which event comes next tells how far the run has come, so no phase
// is kept. Every way out of a run goes through the RunEnd.
class NorvelReader : public ble::CentralManagerDelegate, public ble::PeripheralDelegate {
 public:
  NorvelReader(std::optional<std::string> targetUUID, ble::Bluetooth& bluetooth, RunEnd& runEnd);
  NorvelReader(const NorvelReader&) = delete;
  NorvelReader& operator=(const NorvelReader&) = delete;

  void centralManagerDidUpdateState(ble::CentralManager& central) override;
  void centralManagerDidDiscoverPeripheral(ble::CentralManager& central,
                                           ble::Peripheral& peripheral,
                                           const ble::AdvertisementData& advertisementData,
                                           int rssi) override;
  void centralManagerDidConnectPeripheral(ble::CentralManager& central,
                                          ble::Peripheral& peripheral) override;
  void centralManagerDidFailToConnectPeripheral(ble::CentralManager& central,
                                                ble::Peripheral& peripheral,
                                                const std::optional<ble::Error>& error) override;

  void peripheralDidDiscoverServices(ble::Peripheral& peripheral,
                                     const std::optional<ble::Error>& error) override;
  void peripheralDidDiscoverCharacteristicsForService(
      ble::Peripheral& peripheral, const ble::Service& service,
      const std::optional<ble::Error>& error) override;
  void peripheralDidUpdateValueForCharacteristic(ble::Peripheral& peripheral,
                                                 const ble::Characteristic& characteristic,
                                                 const std::optional<ble::Error>& error) override;

  const ble::Uuid serviceUUID;
  const ble::Uuid charDetailedUUID;
  const ble::Uuid charReadingsUUID;

 private:
  void powerOn(ble::CentralManager& central);
  void connectTo(ble::CentralManager& central, ble::Peripheral& peripheral);

  RunEnd& runEnd_;
  // The peripheral identifier from the command line, as given; absent when there was none.
  const std::optional<std::string> targetUUIDString_;
};

}  // namespace norvel
