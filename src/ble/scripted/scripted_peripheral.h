#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/peripheral.h"
#include "ble/scripted/request_log.h"
#include "ble/scripted/scripted_gatt.h"

namespace norvel::ble::scripted {

// A peripheral whose requests are only logged; the test delivers its events, in any order
// and as often as it likes, with whatever lists, values and errors the real stack could give.
class ScriptedPeripheral : public Peripheral {
 public:
  using Services = std::optional<std::vector<std::shared_ptr<Service>>>;

  ScriptedPeripheral(RequestLog& log, Uuid identifier, std::optional<std::string> name);

  Uuid identifier() const override { return identifier_; }
  std::optional<std::string> name() const override { return name_; }
  void setDelegate(PeripheralDelegate* delegate) override;
  void discoverServices(const std::vector<Uuid>& serviceUUIDs) override;
  Services services() const override { return services_; }
  void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                         Service& service) override;
  void readValueForCharacteristic(Characteristic& characteristic) override;

  // Events go to the delegate only if one was set, as on a real stack.
  void deliverServices(Services services, std::optional<Error> error = std::nullopt);
  void deliverCharacteristics(ScriptedService& service,
                              ScriptedService::Characteristics characteristics,
                              std::optional<Error> error = std::nullopt);
  void deliverValue(ScriptedCharacteristic& characteristic, std::optional<Bytes> value,
                    std::optional<Error> error = std::nullopt);

 private:
  RequestLog& log_;
  Uuid identifier_;
  std::optional<std::string> name_;
  PeripheralDelegate* delegate_ = nullptr;
  Services services_;
};

}  // namespace norvel::ble::scripted
