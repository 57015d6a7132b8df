#include "ble/corebluetooth/cb_central_manager.h"

#include <algorithm>

#include "ble/corebluetooth/cb_conversions.h"

namespace norvel::ble::corebluetooth {

CbCentralManager::CbCentralManager(CentralManagerDelegate& delegate)
    : delegate_(delegate),
      events_([[NorvelCBEventBridge alloc] initWithManager:this]),
      // No queue: the main queue. The first state event follows from there.
      central_([[CBCentralManager alloc] initWithDelegate:events_ queue:nullptr]) {}

CbCentralManager::~CbCentralManager() {
  peripherals_.clear();
  [central_ release];
  [events_ release];
}

ManagerState CbCentralManager::state() const {
  return static_cast<ManagerState>([central_ state]);
}

std::vector<Peripheral*> CbCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<Uuid>& identifiers) {
  NSMutableArray<NSUUID*>* wanted = [NSMutableArray arrayWithCapacity:identifiers.size()];
  for (const Uuid& identifier : identifiers)
    [wanted addObject:nsUuidFrom(identifier)];
  std::vector<Peripheral*> known;
  for (CBPeripheral* peripheral in [central_ retrievePeripheralsWithIdentifiers:wanted])
    known.push_back(&peripheralFor(peripheral));
  return known;
}

void CbCentralManager::scanForPeripheralsWithServices(
    const std::optional<std::vector<Uuid>>& services, const ScanOptions& options) {
  NSDictionary<NSString*, id>* scanOptions =
      options.allowDuplicates
          ? @{CBCentralManagerScanOptionAllowDuplicatesKey : @(YES)}
          : nil;
  [central_ scanForPeripheralsWithServices:services ? cbUuidsFrom(*services) : nil
                                   options:scanOptions];
}

void CbCentralManager::stopScan() {
  [central_ stopScan];
}

void CbCentralManager::connectPeripheral(Peripheral& peripheral) {
  // Every peripheral this manager hands out is a CbPeripheral.
  CBPeripheral* target = static_cast<CbPeripheral&>(peripheral).peripheral();
  if (std::find(connectRequests_.begin(), connectRequests_.end(), target) == connectRequests_.end())
    connectRequests_.push_back(target);
  [central_ connectPeripheral:target options:nil];
}

void CbCentralManager::cancelConnections() {
  for (CBPeripheral* peripheral : connectRequests_)
    [central_ cancelPeripheralConnection:peripheral];
}

void CbCentralManager::didUpdateState() {
  delegate_.centralManagerDidUpdateState(*this);
}

void CbCentralManager::didDiscover(CBPeripheral* peripheral,
                                   NSDictionary<NSString*, id>* advertisementData, int rssi) {
  delegate_.centralManagerDidDiscoverPeripheral(*this, peripheralFor(peripheral),
                                                advertisementFrom(advertisementData), rssi);
}

void CbCentralManager::didConnect(CBPeripheral* peripheral) {
  delegate_.centralManagerDidConnectPeripheral(*this, peripheralFor(peripheral));
}

void CbCentralManager::didFailToConnect(CBPeripheral* peripheral, NSError* error) {
  delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheralFor(peripheral),
                                                     errorFrom(error));
}

CbPeripheral& CbCentralManager::peripheralFor(CBPeripheral* peripheral) {
  auto& wrapper = peripherals_[peripheral];
  if (!wrapper)
    wrapper = std::make_unique<CbPeripheral>(peripheral, events_);
  return *wrapper;
}

}  // namespace norvel::ble::corebluetooth
