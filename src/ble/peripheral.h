#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/error.h"
#include "ble/gatt.h"
#include "ble/uuid.h"

namespace norvel::ble {

class Peripheral;

// Events of one peripheral, delivered on the main queue.
class PeripheralDelegate {
 public:
  virtual ~PeripheralDelegate() = default;
  virtual void peripheralDidDiscoverServices(Peripheral& peripheral,
                                             const std::optional<Error>& error) = 0;
  virtual void peripheralDidDiscoverCharacteristicsForService(
      Peripheral& peripheral, Service& service, const std::optional<Error>& error) = 0;
  virtual void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                         Characteristic& characteristic,
                                                         const std::optional<Error>& error) = 0;
};

class Peripheral {
 public:
  virtual ~Peripheral() = default;

  // Stable for the same device across runs.
  virtual Uuid identifier() const = 0;
  virtual std::optional<std::string> name() const = 0;

  // The delegate is not owned; it must outlive the peripheral's events.
  virtual void setDelegate(PeripheralDelegate* delegate) = 0;

  virtual void discoverServices(const std::vector<Uuid>& serviceUUIDs) = 0;
  // Absent until services have been discovered.
  virtual std::optional<std::vector<std::shared_ptr<Service>>> services() const = 0;
  virtual void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                                 Service& service) = 0;
  virtual void readValueForCharacteristic(Characteristic& characteristic) = 0;
};

}  // namespace norvel::ble
