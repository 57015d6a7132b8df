#pragma once

#import <CoreBluetooth/CoreBluetooth.h>

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "ble/central_manager.h"
#include "ble/corebluetooth/cb_event_bridge.h"
#include "ble/corebluetooth/cb_peripheral.h"

namespace norvel::ble::corebluetooth {

// A CBCentralManager created with no queue of its own, so that its events, and those of its
// peripherals, arrive on the main queue.
class CbCentralManager : public CentralManager {
 public:
  explicit CbCentralManager(CentralManagerDelegate& delegate);
  ~CbCentralManager() override;
  CbCentralManager(const CbCentralManager&) = delete;
  CbCentralManager& operator=(const CbCentralManager&) = delete;

  ManagerState state() const override;
  std::vector<Peripheral*> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) override;
  // No options unless duplicates are wanted: CoreBluetooth filters them by default.
  void scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>& services,
                                      const ScanOptions& options) override;
  void stopScan() override;
  void connectPeripheral(Peripheral& peripheral) override;

  // cancelPeripheralConnection: for every peripheral asked to connect.
  void cancelConnections();

  // The events, from the bridge.
  void didUpdateState();
  void didDiscover(CBPeripheral* peripheral, NSDictionary<NSString*, id>* advertisementData,
                   int rssi);
  void didConnect(CBPeripheral* peripheral);
  void didFailToConnect(CBPeripheral* peripheral, NSError* error);
  // The wrapper of a peripheral, made and kept on first sight.
  CbPeripheral& peripheralFor(CBPeripheral* peripheral);

 private:
  CentralManagerDelegate& delegate_;
  NorvelCBEventBridge* events_;
  CBCentralManager* central_;
  std::map<CBPeripheral*, std::unique_ptr<CbPeripheral>> peripherals_;
  std::vector<CBPeripheral*> connectRequests_;
};

}  // namespace norvel::ble::corebluetooth
