#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ble/central_manager.h"
#include "ble/scripted/scripted_peripheral.h"

namespace norvel::ble::scripted {

// A central manager whose requests are only logged. The test adds the peripherals it owns and
// delivers its events by calling the delegate, any of them in any order; deliverState also
// sets the state the manager reports.
class ScriptedCentralManager : public CentralManager {
 public:
  explicit ScriptedCentralManager(CentralManagerDelegate& delegate) : delegate(delegate) {}

  ManagerState state() const override { return state_; }
  std::vector<Peripheral*> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) override;
  void scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>& services,
                                      const ScanOptions& options) override;
  void stopScan() override { log.push_back("stopScan"); }
  void connectPeripheral(Peripheral& peripheral) override {
    log.push_back("connect " + peripheral.identifier().toString());
  }

  ScriptedPeripheral& add(Uuid identifier, std::optional<std::string> name, bool known = false) {
    return peripherals_.emplace_back(log, identifier, std::move(name), known);
  }
  void deliverState(ManagerState state) {
    state_ = state;
    delegate.centralManagerDidUpdateState(*this);
  }

  CentralManagerDelegate& delegate;
  RequestLog log;

 private:
  ManagerState state_ = ManagerState::unknown;
  // A deque, so that the references handed out stay valid as peripherals are added.
  std::deque<ScriptedPeripheral> peripherals_;
};

}  // namespace norvel::ble::scripted
