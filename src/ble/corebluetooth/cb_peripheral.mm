#include "ble/corebluetooth/cb_peripheral.h"

#include <charconv>

#include "ble/corebluetooth/cb_conversions.h"
#include "ble/trace.h"

namespace norvel::ble::corebluetooth {

CbPeripheral::CbPeripheral(CBPeripheral* peripheral, id<CBPeripheralDelegate> events)
    : peripheral_([peripheral retain]),
      events_(events),
      attributes_([[NSMutableArray alloc] init]) {}

CbPeripheral::~CbPeripheral() {
  [peripheral_ setDelegate:nil];
  [attributes_ release];
  [peripheral_ release];
}

Uuid CbPeripheral::identifier() const {
  return uuidFrom([peripheral_ identifier]);
}

std::optional<std::string> CbPeripheral::name() const {
  return textFrom([peripheral_ name]);
}

void CbPeripheral::setDelegate(PeripheralDelegate* delegate) {
  delegate_ = delegate;
  [peripheral_ setDelegate:delegate != nullptr ? events_ : nil];
}

void CbPeripheral::discoverServices(const std::vector<Uuid>& serviceUUIDs) {
  [peripheral_ discoverServices:cbUuidsFrom(serviceUUIDs)];
}

void CbPeripheral::discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                                     const Service& service) {
  CBAttribute* attribute = attributeAt(service.stackKey);
  if ([attribute isKindOfClass:[CBService class]])
    [peripheral_ discoverCharacteristics:cbUuidsFrom(characteristicUUIDs)
                              forService:static_cast<CBService*>(attribute)];
  else
    trace("discoverCharacteristics: no service %s of this peripheral, ignoring",
          service.stackKey.c_str());
}

void CbPeripheral::readValueForCharacteristic(const Characteristic& characteristic) {
  CBAttribute* attribute = attributeAt(characteristic.stackKey);
  if ([attribute isKindOfClass:[CBCharacteristic class]])
    [peripheral_ readValueForCharacteristic:static_cast<CBCharacteristic*>(attribute)];
  else
    trace("readValue: no characteristic %s of this peripheral, ignoring",
          characteristic.stackKey.c_str());
}

void CbPeripheral::didDiscoverServices(NSError* error) {
  NSArray<CBService*>* services = [peripheral_ services];
  services_.reset();
  if (services != nil) {
    services_.emplace();
    for (CBService* service in services)
      services_->push_back(serviceFrom(service));
  }
  if (delegate_ != nullptr)
    delegate_->peripheralDidDiscoverServices(*this, errorFrom(error));
  else
    trace("services discovered with no delegate, ignoring");
}

void CbPeripheral::didDiscoverCharacteristics(CBService* service, NSError* error) {
  const Service described = serviceFrom(service);
  // services() shows the characteristics too, as CBPeripheral's services do.
  if (services_) {
    for (Service& known : *services_) {
      if (known.stackKey == described.stackKey)
        known = described;
    }
  }
  if (delegate_ != nullptr)
    delegate_->peripheralDidDiscoverCharacteristicsForService(*this, described, errorFrom(error));
  else
    trace("characteristics discovered with no delegate, ignoring");
}

void CbPeripheral::didUpdateValue(CBCharacteristic* characteristic, NSError* error) {
  if (delegate_ != nullptr)
    delegate_->peripheralDidUpdateValueForCharacteristic(*this, characteristicFrom(characteristic),
                                                         errorFrom(error));
  else
    trace("value read with no delegate, ignoring");
}

Service CbPeripheral::serviceFrom(CBService* service) {
  Service described{uuidFrom([service UUID]), stackKeyOf(service), std::nullopt};
  if (NSArray<CBCharacteristic*>* characteristics = [service characteristics]) {
    described.characteristics.emplace();
    for (CBCharacteristic* characteristic in characteristics)
      described.characteristics->push_back(characteristicFrom(characteristic));
  }
  return described;
}

Characteristic CbPeripheral::characteristicFrom(CBCharacteristic* characteristic) {
  return {uuidFrom([characteristic UUID]), stackKeyOf(characteristic),
          bytesFrom([characteristic value])};
}

std::string CbPeripheral::stackKeyOf(CBAttribute* attribute) {
  NSUInteger index = [attributes_ indexOfObjectIdenticalTo:attribute];
  if (index == NSNotFound) {
    index = [attributes_ count];
    [attributes_ addObject:attribute];
  }
  return std::to_string(index);
}

CBAttribute* CbPeripheral::attributeAt(const std::string& key) const {
  std::size_t index = 0;
  const auto [end, failure] = std::from_chars(key.data(), key.data() + key.size(), index);
  if (failure != std::errc() || end != key.data() + key.size() || index >= [attributes_ count])
    return nil;
  return [attributes_ objectAtIndex:index];
}

}  // namespace norvel::ble::corebluetooth
