#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ble/central_manager.h"
#include "ble/scripted/request_log.h"
#include "ble/scripted/scripted_peripheral.h"

namespace norvel::ble::scripted {

// A central manager whose requests are only logged; the test sets the adapter state and
// the known peripherals, and delivers the manager's events in any order.
class ScriptedCentralManager : public CentralManager {
 public:
  ScriptedCentralManager(RequestLog& log, CentralManagerDelegate& delegate);

  ManagerState state() const override { return state_; }
  std::vector<std::shared_ptr<Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) override;
  void scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>& services,
                                      const ScanOptions& options) override;
  void stopScan() override;
  void connectPeripheral(const std::shared_ptr<Peripheral>& peripheral) override;

  // Peripherals the stack already knows, found by retrieval.
  void addKnownPeripheral(std::shared_ptr<Peripheral> peripheral);

  void deliverState(ManagerState state);
  void deliverDiscovery(const std::shared_ptr<Peripheral>& peripheral,
                        const AdvertisementData& advertisementData = {}, int rssi = -60);
  void deliverConnected(Peripheral& peripheral);
  void deliverConnectFailure(Peripheral& peripheral, std::optional<Error> error);

 private:
  RequestLog& log_;
  CentralManagerDelegate& delegate_;
  ManagerState state_ = ManagerState::unknown;
  std::vector<std::shared_ptr<Peripheral>> known_;
};

}  // namespace norvel::ble::scripted
