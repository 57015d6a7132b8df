#include "ble/scripted/scripted_central_manager.h"

#include <algorithm>

namespace norvel::ble::scripted {

ScriptedCentralManager::ScriptedCentralManager(RequestLog& log, CentralManagerDelegate& delegate)
    : log_(log), delegate_(delegate) {}

std::vector<std::shared_ptr<Peripheral>> ScriptedCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<Uuid>& identifiers) {
  log_.add("retrievePeripherals " + describe(identifiers));
  std::vector<std::shared_ptr<Peripheral>> found;
  for (const auto& peripheral : known_) {
    if (std::find(identifiers.begin(), identifiers.end(), peripheral->identifier()) !=
        identifiers.end()) {
      found.push_back(peripheral);
    }
  }
  return found;
}

void ScriptedCentralManager::scanForPeripheralsWithServices(
    const std::optional<std::vector<Uuid>>& services, const ScanOptions& options) {
  log_.add(std::string("scan services=") + (services ? describe(*services) : "any") +
           " allowDuplicates=" + (options.allowDuplicates ? "true" : "false"));
}

void ScriptedCentralManager::stopScan() {
  log_.add("stopScan");
}

void ScriptedCentralManager::connectPeripheral(const std::shared_ptr<Peripheral>& peripheral) {
  log_.add("connect " + peripheral->identifier().toString());
}

void ScriptedCentralManager::addKnownPeripheral(std::shared_ptr<Peripheral> peripheral) {
  known_.push_back(std::move(peripheral));
}

void ScriptedCentralManager::deliverState(ManagerState state) {
  state_ = state;
  delegate_.centralManagerDidUpdateState(*this);
}

void ScriptedCentralManager::deliverDiscovery(const std::shared_ptr<Peripheral>& peripheral,
                                              const AdvertisementData& advertisementData,
                                              int rssi) {
  delegate_.centralManagerDidDiscoverPeripheral(*this, peripheral, advertisementData, rssi);
}

void ScriptedCentralManager::deliverConnected(Peripheral& peripheral) {
  delegate_.centralManagerDidConnectPeripheral(*this, peripheral);
}

void ScriptedCentralManager::deliverConnectFailure(Peripheral& peripheral,
                                                   std::optional<Error> error) {
  delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, error);
}

}  // namespace norvel::ble::scripted
