#include "ble/scripted/scripted_peripheral.h"

namespace norvel::ble::scripted {

ScriptedPeripheral::ScriptedPeripheral(RequestLog& log, Uuid identifier,
                                       std::optional<std::string> name)
    : log_(log), identifier_(identifier), name_(std::move(name)) {}

void ScriptedPeripheral::setDelegate(PeripheralDelegate* delegate) {
  log_.add("setDelegate " + identifier_.toString());
  delegate_ = delegate;
}

void ScriptedPeripheral::discoverServices(const std::vector<Uuid>& serviceUUIDs) {
  log_.add("discoverServices " + identifier_.toString() + " " + describe(serviceUUIDs));
}

void ScriptedPeripheral::discoverCharacteristicsForService(
    const std::vector<Uuid>& characteristicUUIDs, Service& service) {
  log_.add("discoverCharacteristics " + describe(characteristicUUIDs) + " for " +
           service.uuid().toString());
}

void ScriptedPeripheral::readValueForCharacteristic(Characteristic& characteristic) {
  log_.add("readValue " + characteristic.uuid().toString());
}

void ScriptedPeripheral::deliverServices(Services services, std::optional<Error> error) {
  services_ = std::move(services);
  if (delegate_ != nullptr)
    delegate_->peripheralDidDiscoverServices(*this, error);
}

void ScriptedPeripheral::deliverCharacteristics(ScriptedService& service,
                                                ScriptedService::Characteristics characteristics,
                                                std::optional<Error> error) {
  service.setCharacteristics(std::move(characteristics));
  if (delegate_ != nullptr) {
    delegate_->peripheralDidDiscoverCharacteristicsForService(*this, service, error);
  }
}

void ScriptedPeripheral::deliverValue(ScriptedCharacteristic& characteristic,
                                      std::optional<Bytes> value, std::optional<Error> error) {
  characteristic.setValue(std::move(value));
  if (delegate_ != nullptr) {
    delegate_->peripheralDidUpdateValueForCharacteristic(*this, characteristic, error);
  }
}

}  // namespace norvel::ble::scripted
