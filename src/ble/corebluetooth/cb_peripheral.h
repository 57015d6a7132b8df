#pragma once

#import <CoreBluetooth/CoreBluetooth.h>

#include <optional>
#include <string>
#include <vector>

#include "ble/peripheral.h"

namespace norvel::ble::corebluetooth {

// One CBPeripheral, retained for the rest of the run: CoreBluetooth drops the connection of
// a peripheral that nobody keeps.
class CbPeripheral : public Peripheral {
 public:
  // `events` receives the CBPeripheral's events once a delegate is set.
  CbPeripheral(CBPeripheral* peripheral, id<CBPeripheralDelegate> events);
  ~CbPeripheral() override;
  CbPeripheral(const CbPeripheral&) = delete;
  CbPeripheral& operator=(const CbPeripheral&) = delete;

  // The identifier this Mac gave the device; another Mac gives it another.
  Uuid identifier() const override;
  std::optional<std::string> name() const override;
  void setDelegate(PeripheralDelegate* delegate) override;

  void discoverServices(const std::vector<Uuid>& serviceUUIDs) override;
  const std::optional<std::vector<Service>>& services() const override { return services_; }
  void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                         const Service& service) override;
  void readValueForCharacteristic(const Characteristic& characteristic) override;

  CBPeripheral* peripheral() const { return peripheral_; }

  // The CBPeripheral's events, passed on to the delegate.
  void didDiscoverServices(NSError* error);
  void didDiscoverCharacteristics(CBService* service, NSError* error);
  void didUpdateValue(CBCharacteristic* characteristic, NSError* error);

 private:
  Service serviceFrom(CBService* service);
  Characteristic characteristicFrom(CBCharacteristic* characteristic);
  // A stack key is the attribute's index among those this peripheral has described. They are
  // all kept, so a key always names the same object.
  std::string stackKeyOf(CBAttribute* attribute);
  CBAttribute* attributeAt(const std::string& stackKey) const;

  CBPeripheral* peripheral_;
  id<CBPeripheralDelegate> events_;
  NSMutableArray<CBAttribute*>* attributes_;
  PeripheralDelegate* delegate_ = nullptr;
  std::optional<std::vector<Service>> services_;
};

}  // namespace norvel::ble::corebluetooth
