#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ble/peripheral.h"

namespace norvel::ble::scripted {

// Every request made of the scripted stack, in order, one readable line each.
using RequestLog = std::vector<std::string>;

// "[A,B]" with each UUID in canonical text.
std::string describe(const std::vector<Uuid>& uuids);

// A peripheral whose requests are only logged. The test delivers its events, in any order and
// as often as it likes, with whatever lists, values and errors a real stack could give; they
// reach the delegate only once one is set, as on a real stack.
class ScriptedPeripheral : public Peripheral {
 public:
  ScriptedPeripheral(RequestLog& log, Uuid identifier, std::optional<std::string> name, bool known)
      : known(known), log_(log), identifier_(identifier), name_(std::move(name)) {}

  Uuid identifier() const override { return identifier_; }
  std::optional<std::string> name() const override { return name_; }
  void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
  void discoverServices(const std::vector<Uuid>& serviceUUIDs) override;
  const std::optional<std::vector<Service>>& services() const override { return services_; }
  void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                         const Service& service) override;
  void readValueForCharacteristic(const Characteristic& characteristic) override;

  void deliverServices(std::optional<std::vector<Service>> services,
                       const std::optional<Error>& error = std::nullopt);
  void deliverCharacteristics(const Service& service,
                              const std::optional<Error>& error = std::nullopt);
  void deliverValue(const Characteristic& characteristic,
                    const std::optional<Error>& error = std::nullopt);

  // Whether the stack already knows it, so that retrieval by identifier finds it.
  const bool known;

 private:
  RequestLog& log_;
  Uuid identifier_;
  std::optional<std::string> name_;
  PeripheralDelegate* delegate_ = nullptr;
  std::optional<std::vector<Service>> services_;
};

}  // namespace norvel::ble::scripted
