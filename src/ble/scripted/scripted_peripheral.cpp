#include "ble/scripted/scripted_peripheral.h"

namespace norvel::ble::scripted {

std::string describe(const std::vector<Uuid>& uuids) {
  std::string text = "[";
  for (const Uuid& uuid : uuids)
    text += (text.size() > 1 ? "," : "") + uuid.toString();
  return text + "]";
}

void ScriptedPeripheral::discoverServices(const std::vector<Uuid>& serviceUUIDs) {
  log_.push_back("discoverServices " + describe(serviceUUIDs));
}

void ScriptedPeripheral::discoverCharacteristicsForService(
    const std::vector<Uuid>& characteristicUUIDs, const Service& service) {
  log_.push_back("discoverCharacteristics " + describe(characteristicUUIDs) + " of " +
                 service.stackKey);
}

void ScriptedPeripheral::readValueForCharacteristic(const Characteristic& characteristic) {
  log_.push_back("read " + characteristic.stackKey);
}

void ScriptedPeripheral::deliverServices(std::optional<std::vector<Service>> services,
                                         const std::optional<Error>& error) {
  services_ = std::move(services);
  if (delegate_ != nullptr)
    delegate_->peripheralDidDiscoverServices(*this, error);
}

void ScriptedPeripheral::deliverCharacteristics(const Service& service,
                                                const std::optional<Error>& error) {
  if (delegate_ != nullptr)
    delegate_->peripheralDidDiscoverCharacteristicsForService(*this, service, error);
}

void ScriptedPeripheral::deliverValue(const Characteristic& characteristic,
                                      const std::optional<Error>& error) {
  if (delegate_ != nullptr)
    delegate_->peripheralDidUpdateValueForCharacteristic(*this, characteristic, error);
}

}  // namespace norvel::ble::scripted
